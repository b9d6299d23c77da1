#pragma once
// What Vistrel reads from its own key: each value's name, type and accepted range, so that a
// value written from outside (vistrel-reg) can be checked before it is stored rather than be
// ignored or misread at the next start.

#include <cstdint>
#include <string>
#include <vector>

class CSettingsSchema
{
public:
    // Why the value may not be stored ("" when it may): strKey is the key's path below the
    // root (such as "Software\\Quenlor\\Vistrel\\caption0"), nType a REG_ type. Values of keys
    // Vistrel does not read, and of the devices' keys, are not checked.
    static std::string Check(const std::string& strKey, const std::string& strName,
                             std::uint32_t nType, const std::vector<std::uint8_t>& data);
};
