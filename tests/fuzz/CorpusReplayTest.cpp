#include "fuzz/harness/Harnesses.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <vector>

namespace
{
int Replay(const char* pszCorpus, int (*harness)(const std::uint8_t*, std::size_t))
{
    int n = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(VISTREL_CORPORA) + "/" + pszCorpus))
    {
        SCOPED_TRACE(entry.path().string());
        std::ifstream f(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                                              std::istreambuf_iterator<char>());
        EXPECT_EQ(harness(bytes.data(), bytes.size()), 0);
        ++n;
    }
    return n;
}
} // namespace

TEST(FuzzCorpus, BmpReaderInputs)
{
    EXPECT_GT(Replay("dib", FuzzDib), 10);
}

TEST(FuzzCorpus, RegFileInputs)
{
    EXPECT_GE(Replay("regfile", FuzzRegFile), 4);
}

TEST(FuzzCorpus, StoreValueInputs)
{
    EXPECT_GE(Replay("store", FuzzStoreValues), 3);
}
