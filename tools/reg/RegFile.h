#pragma once
// Registry files (.reg) as the registry editor writes them: "Windows Registry Editor Version
// 5.00" or "REGEDIT4" headers, UTF-8 or UTF-16LE with a byte-order mark, [KEY] and [-KEY]
// sections, "Name"="text", dword:, hex: and hex(N): values with line continuations, @ for
// the default value, "Name"=- deletions and ; comments.

#include "platform/registry/RegistryTypes.h"

#include <cstdint>
#include <string>
#include <vector>

class CRegFile
{
public:
    struct Value
    {
        std::string strName; // "" is the default value
        bool bDelete = false;
        DWORD nType = REG_NONE;
        std::vector<std::uint8_t> data;
        int nLine = 0;
    };
    struct Section
    {
        std::string strKey; // as written, root included
        bool bDelete = false;
        std::vector<Value> values;
        int nLine = 0;
    };

    // Parses the whole file; false with a message naming the line on the first error.
    bool Parse(const std::vector<std::uint8_t>& bytes, std::string& strError);
    // A 5.00 file in UTF-8 (CRLF line ends) of the given sections.
    static std::string Write(const std::vector<Section>& sections);
    // The text form of one value's data, as it follows "=" in a file.
    static std::string FormatData(DWORD nType, const std::vector<std::uint8_t>& data);

    std::vector<Section> m_sections;
};

// Turns "HKEY_LOCAL_MACHINE\a\b" or "HKLM\a\b" into "a\b"; false for any other root.
bool SplitMachineKey(const std::string& strKey, std::string& strSubKey);
