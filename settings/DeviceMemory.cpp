#include "settings/DeviceMemory.h"

#include "platform/registry/RegistryHive.h"
#include "platform/registry/RegistryKey.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

std::string CDeviceMemory::KeyName(const std::string& strIdentity)
{
    std::string name = strIdentity.empty() ? std::string("unnamed") : strIdentity;
    for (char& c : name)
        if (c == '\\')
            c = '/';
    if (name.size() > CRegistryHive::kMaxNameLength)
        name.resize(CRegistryHive::kMaxNameLength);
    return name;
}

std::string CDeviceMemory::ControlsText(const CCaptureState& state)
{
    std::ostringstream out;
    for (const auto& [nId, nValue] : state.controls)
    {
        if (out.tellp() > 0)
            out << ',';
        out << std::hex << nId << '=' << std::dec << nValue;
    }
    return out.str();
}

void CDeviceMemory::ParseControls(const std::string& strText, CCaptureState& state)
{
    std::istringstream in(strText);
    std::string entry;
    while (std::getline(in, entry, ','))
    {
        const std::size_t nEq = entry.find('=');
        if (nEq == std::string::npos || nEq == 0 || nEq + 1 == entry.size())
            continue;
        const std::string id = entry.substr(0, nEq);
        const std::string value = entry.substr(nEq + 1);
        char* pEnd = nullptr;
        errno = 0;
        const unsigned long nId = std::strtoul(id.c_str(), &pEnd, 16);
        if (*pEnd != '\0' || errno != 0 || nId == 0 || nId > 0xFFFFFFFFul)
            continue;
        const long nValue = std::strtol(value.c_str(), &pEnd, 10);
        if (*pEnd != '\0' || errno != 0 || nValue < INT32_MIN || nValue > INT32_MAX)
            continue;
        state.controls[std::uint32_t(nId)] = std::int32_t(nValue);
    }
}

CCaptureState CDeviceMemory::Load(const std::string& strStore, const std::string& strIdentity,
                                  std::string* pProblem)
{
    CCaptureState state;
    CRegistryKey key;
    const std::string path = std::string(kDevicesKey) + "\\" + KeyName(strIdentity);
    HKEY hRoot = nullptr;
    if (RegOpenStoreA(strStore.c_str(), &hRoot) != ERROR_SUCCESS)
        return state;
    const LONG nOpen = RegOpenKeyExA(hRoot, path.c_str(), 0, KEY_READ, &key.m_hKey);
    RegCloseKey(hRoot);
    if (nOpen != ERROR_SUCCESS)
        return state;
    DWORD nWidth = 0;
    DWORD nHeight = 0;
    DWORD nPixelFormat = 0;
    // A size is taken whole or not at all, and only within what any camera makes.
    if (key.QueryDword(&nWidth, "Width") == ERROR_SUCCESS &&
        key.QueryDword(&nHeight, "Height") == ERROR_SUCCESS && nWidth > 0 && nHeight > 0 &&
        nWidth <= 16384 && nHeight <= 16384)
    {
        state.nWidth = int(nWidth);
        state.nHeight = int(nHeight);
    }
    if (key.QueryDword(&nPixelFormat, "PixelFormat") == ERROR_SUCCESS)
        state.nPixelFormat = nPixelFormat;
    std::string controls;
    DWORD nBytes = 0;
    const LONG n = key.QueryString(controls, "Controls", kMaxControlsBytes, &nBytes);
    if (n == ERROR_SUCCESS)
        ParseControls(controls, state);
    else if (n == ERROR_MORE_DATA && pProblem != nullptr)
        *pProblem = "the control settings kept for " + strIdentity + " are " +
                    std::to_string(nBytes - 1) + " characters long, more than the " +
                    std::to_string(kMaxControlsBytes - 1) + " they may have; they are not applied";
    return state;
}

LONG CDeviceMemory::Save(const std::string& strStore, const std::string& strIdentity,
                         const CCaptureState& state)
{
    CRegistryKey key;
    const std::string path = std::string(kDevicesKey) + "\\" + KeyName(strIdentity);
    LONG n = key.Create(strStore, path.c_str());
    if (n != ERROR_SUCCESS)
        return n;
    const std::string controls = ControlsText(state);
    return key.m_hKey->Hive().Atomically(
        [&]
        {
            LONG nFirst = key.SetDword(DWORD(state.nWidth), "Width");
            for (LONG nNext : {key.SetDword(DWORD(state.nHeight), "Height"),
                               key.SetDword(state.nPixelFormat, "PixelFormat"),
                               key.SetString(controls.c_str(), "Controls")})
                if (nFirst == ERROR_SUCCESS)
                    nFirst = nNext;
            return nFirst;
        });
}
