// Feeds arbitrary bytes to the .reg file reader, and writes back whatever it accepted: the
// written file must read again to the same sections.

#include "tools/reg/RegFile.h"

#include "fuzz/harness/Harnesses.h"

#include <cstdint>
#include <cstdlib>

int FuzzRegFile(const std::uint8_t* pData, std::size_t nSize)
{
    CRegFile file;
    std::string error;
    if (!file.Parse(std::vector<std::uint8_t>(pData, pData + nSize), error))
        return 0;
    const std::string written = CRegFile::Write(file.m_sections);
    CRegFile again;
    if (!again.Parse(std::vector<std::uint8_t>(written.begin(), written.end()), error))
        std::abort(); // what we write must read back
    if (again.m_sections.size() != file.m_sections.size())
        std::abort();
    for (std::size_t i = 0; i < file.m_sections.size(); ++i)
    {
        const auto& a = file.m_sections[i];
        const auto& b = again.m_sections[i];
        if (a.values.size() != b.values.size() || a.bDelete != b.bDelete)
            std::abort();
        for (std::size_t j = 0; j < a.values.size(); ++j)
            if (a.values[j].data != b.values[j].data || a.values[j].nType != b.values[j].nType ||
                a.values[j].bDelete != b.values[j].bDelete)
                std::abort();
    }
    return 1;
}
