#include "settings/SettingsSchema.h"

#include "platform/registry/RegistryTypes.h"
#include "settings/NetworkList.h"
#include "settings/Settings.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

namespace
{
struct CRule
{
    const char* pszName;
    DWORD nType;
    std::int64_t nMin; // for REG_DWORD, read as signed
    std::int64_t nMax;
    const char* pszMeaning;
};

constexpr std::int64_t kAny = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kAnyMin = std::numeric_limits<std::int32_t>::min();

const CRule kProductRules[] = {
    {"ServerPort", REG_DWORD, 1, 65535, "a port from 1 to 65535"},
    {"ServerEnabled", REG_DWORD, 0, 1, "0 (off) or 1 (on)"},
    {"ImageType", REG_DWORD, kAnyMin, kAny, "0 (JPEG) or 1 (BMP)"},
    {"HttpHeaders", REG_DWORD, 0, 1, "0 (off) or 1 (on)"},
    {"PreviewEnabled", REG_DWORD, 0, 1, "0 (off) or 1 (on)"},
    {"CaptureDevice", REG_DWORD, -1, kAny, "a device index from vistrel --list-devices, or -1"},
    {"ImageHeight", REG_DWORD, kAnyMin, kAny, "a size code"},
    {"ImageWidth", REG_DWORD, kAnyMin, kAny, "a size code"},
    {"JpegQuality", REG_DWORD, 0, 100, "a quality from 0 to 100"},
    {"UseCustomSize", REG_DWORD, 0, 1, "0 (off) or 1 (on)"},
    {"UseOverlay", REG_DWORD, 0, 1, "0 (off) or 1 (on)"},
    {"OverlayTransColor", REG_DWORD, 0, 0xFFFFFF, "a colour 0x00BBGGRR"},
    {CSettings::kDeviceIdValue, REG_SZ, 0, 0, "a device's identity"},
    {CSettings::kDeviceIdIndexValue, REG_DWORD, -1, kAny, "a device index"},
    {CSettings::kServerAddressValue, REG_SZ, 0, 0,
     "\"\", localhost or an address of this machine as numbers"},
    {CSettings::kServerAllowValue, REG_SZ, 0, 0, "addresses and networks, such as 192.168.1.0/24"},
};

const CRule kCaptionRules[] = {
    {"BackColor", REG_DWORD, 0, 0xFFFFFF, "a colour 0x00BBGGRR"},
    {"BackType", REG_DWORD, kAnyMin, kAny, "a background type"},
    {"Enabled", REG_DWORD, 0, 1, "0 (off) or 1 (on)"},
    {"FontInfo", REG_BINARY, 0, 0, "a font's description"},
    {"HPosType", REG_DWORD, kAnyMin, kAny, "a position type"},
    {"Text", REG_SZ, 0, 0, "a strftime format"},
    {"TextColor", REG_DWORD, 0, 0xFFFFFF, "a colour 0x00BBGGRR"},
    {"VPosType", REG_DWORD, kAnyMin, kAny, "a position type"},
    {"XPos", REG_DWORD, kAnyMin, kAny, "a position"},
    {"YPos", REG_DWORD, kAnyMin, kAny, "a position"},
};

bool SameText(const std::string& a, const std::string& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y)
                      { return std::tolower(std::uint8_t(x)) == std::tolower(std::uint8_t(y)); });
}

const char* TypeName(DWORD nType)
{
    return nType == REG_DWORD ? "REG_DWORD" : nType == REG_SZ ? "REG_SZ" : "REG_BINARY";
}

template <std::size_t N>
std::string CheckAgainst(const CRule (&rules)[N], const std::string& strKey,
                         const std::string& strName, DWORD nType,
                         const std::vector<std::uint8_t>& data)
{
    const auto it = std::find_if(std::begin(rules), std::end(rules),
                                 [&](const CRule& r) { return SameText(r.pszName, strName); });
    if (it == std::end(rules))
    {
        std::string names;
        for (const CRule& r : rules)
            names += std::string(names.empty() ? "" : ", ") + r.pszName;
        return "Vistrel reads no value \"" + strName + "\" in " + strKey + "; it reads " + names;
    }
    const CRule& rule = *it;
    if (rule.nType != nType)
        return std::string(rule.pszName) + " is " + TypeName(rule.nType) + " (" + rule.pszMeaning +
               "), not " + TypeName(nType == REG_DWORD || nType == REG_SZ ? nType : REG_BINARY);
    if (nType == REG_DWORD && data.size() == 4)
    {
        std::int32_t n;
        std::memcpy(&n, data.data(), 4);
        if (n < rule.nMin || n > rule.nMax)
            return std::string(rule.pszName) + " takes " + rule.pszMeaning + ", not " +
                   std::to_string(n);
    }
    if (nType == REG_SZ)
    {
        const std::string text(data.begin(), std::find(data.begin(), data.end(), 0));
        std::string strWhy;
        if (SameText(rule.pszName, CSettings::kServerAllowValue) &&
            !CNetworkList::Parse(text, &strWhy))
            return std::string(rule.pszName) + ": " + strWhy;
        if (SameText(rule.pszName, CSettings::kServerAddressValue) && !text.empty() &&
            text != "localhost" &&
            (text.find_first_of("/, ") != std::string::npos || !CNetworkList::Parse(text, nullptr)))
            return std::string(rule.pszName) + " takes " + rule.pszMeaning + ", not \"" + text +
                   "\"";
    }
    return {};
}
} // namespace

std::string CSettingsSchema::Check(const std::string& strKey, const std::string& strName,
                                   std::uint32_t nType, const std::vector<std::uint8_t>& data)
{
    const std::string product = CSettings::kProductKey;
    if (SameText(strKey, product))
        return CheckAgainst(kProductRules, strKey, strName, nType, data);
    for (int i = 0; i < CSettings::kCaptionCount; ++i)
        if (SameText(strKey, product + "\\" + CCaption::KeyName(i)))
            return CheckAgainst(kCaptionRules, strKey, strName, nType, data);
    return {};
}
