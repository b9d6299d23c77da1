#include "settings/NetworkList.h"

#include <arpa/inet.h>
#include <cstring>

bool CNetworkList::ParseAddress(const std::string& strText, CNetwork& network)
{
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, strText.c_str(), &v4) == 1)
    {
        network.bV6 = false;
        std::memcpy(network.bytes.data(), &v4, 4);
        return true;
    }
    if (::inet_pton(AF_INET6, strText.c_str(), &v6) != 1)
        return false;
    if (IN6_IS_ADDR_V4MAPPED(&v6))
    {
        network.bV6 = false;
        std::memcpy(network.bytes.data(), v6.s6_addr + 12, 4);
        return true;
    }
    network.bV6 = true;
    std::memcpy(network.bytes.data(), v6.s6_addr, 16);
    return true;
}

std::optional<CNetworkList> CNetworkList::Parse(const std::string& strText, std::string* pError)
{
    CNetworkList list;
    std::size_t nAt = 0;
    while (nAt < strText.size())
    {
        const std::size_t nStart = strText.find_first_not_of(", \t", nAt);
        if (nStart == std::string::npos)
            break;
        nAt = strText.find_first_of(", \t", nStart);
        const std::string entry = strText.substr(nStart, nAt - nStart);
        const std::size_t nSlash = entry.find('/');
        CNetwork network;
        const auto fail = [&](const char* pszWhy)
        {
            if (pError != nullptr)
                *pError = "\"" + entry + "\" " + pszWhy;
            return std::nullopt;
        };
        if (!ParseAddress(entry.substr(0, nSlash), network))
            return fail("is not an address (such as 192.168.1.20 or fd00::1)");
        const int nMax = network.bV6 ? 128 : 32;
        network.nPrefix = nMax;
        if (nSlash != std::string::npos)
        {
            const std::string prefix = entry.substr(nSlash + 1);
            if (prefix.empty() || prefix.size() > 3 ||
                prefix.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(prefix) > nMax)
                return fail(network.bV6 ? "has no prefix length from 0 to 128 after its /"
                                        : "has no prefix length from 0 to 32 after its /");
            network.nPrefix = std::stoi(prefix);
        }
        list.m_networks.push_back(network);
    }
    return list;
}

bool CNetworkList::Allows(const std::string& strAddress) const
{
    if (m_networks.empty())
        return true;
    CNetwork client;
    if (!ParseAddress(strAddress, client))
        return false;
    for (const CNetwork& network : m_networks)
    {
        if (network.bV6 != client.bV6)
            continue;
        const int nWhole = network.nPrefix / 8;
        const int nBits = network.nPrefix % 8;
        if (std::memcmp(network.bytes.data(), client.bytes.data(), std::size_t(nWhole)) != 0)
            continue;
        const std::uint8_t mask = std::uint8_t(0xFF00 >> nBits);
        if (nBits == 0 || (network.bytes[std::size_t(nWhole)] & mask) ==
                              (client.bytes[std::size_t(nWhole)] & mask))
            return true;
    }
    return false;
}
