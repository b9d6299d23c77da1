#pragma once
// Who may connect: a list of addresses and networks ("127.0.0.1", "192.168.1.0/24", "::1",
// "fd00::/8"), separated by commas or spaces. An empty list allows everyone. An IPv4 client
// that reaches an IPv6 socket is matched as the IPv4 address it is.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CNetworkList
{
public:
    // The list, or nothing with *pError saying which entry is wrong and why.
    static std::optional<CNetworkList> Parse(const std::string& strText, std::string* pError);

    bool AllowsEveryone() const { return m_networks.empty(); }
    // An address as numbers, such as GetPeerName gives; false for one that is not.
    bool Allows(const std::string& strAddress) const;

private:
    struct CNetwork
    {
        bool bV6 = false;
        std::array<std::uint8_t, 16> bytes{};
        int nPrefix = 0;
    };
    static bool ParseAddress(const std::string& strText, CNetwork& network);
    std::vector<CNetwork> m_networks;
};
