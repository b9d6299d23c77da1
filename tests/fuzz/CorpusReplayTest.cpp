#include "fuzz/harness/Harnesses.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <vector>

namespace
{
// Runs every kept input through the harness; how many there were, and how many were taken.
struct CReplayed
{
    int nInputs = 0;
    int nTaken = 0;
};

CReplayed Replay(const char* pszCorpus, int (*harness)(const std::uint8_t*, std::size_t))
{
    CReplayed n;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(VISTREL_CORPORA) + "/" + pszCorpus))
    {
        SCOPED_TRACE(entry.path().string());
        std::ifstream f(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                                              std::istreambuf_iterator<char>());
        n.nTaken += harness(bytes.data(), bytes.size());
        ++n.nInputs;
    }
    return n;
}
} // namespace

// Every input goes through without a crash (the sanitizer build also checks every read); and
// the harnesses still reach what they are for: a reader that refused everything, or a load
// that failed, would pass no other way.
TEST(FuzzCorpus, BmpReaderInputs)
{
    const CReplayed n = Replay("dib", FuzzDib);
    EXPECT_GT(n.nInputs, 10);
    // Most kept inputs are pictures that load and are drawn; the broken ones are refused.
    EXPECT_GT(n.nTaken, n.nInputs / 2) << n.nTaken << " of " << n.nInputs;
    EXPECT_LT(n.nTaken, n.nInputs);
}

TEST(FuzzCorpus, RegFileInputs)
{
    const CReplayed n = Replay("regfile", FuzzRegFile);
    EXPECT_GE(n.nInputs, 4);
    EXPECT_GT(n.nTaken, 50) << "of " << n.nInputs;
    EXPECT_LT(n.nTaken, n.nInputs);
}

TEST(FuzzCorpus, StoreValueInputs)
{
    // Whatever the stored values are, the settings load.
    const CReplayed n = Replay("store", FuzzStoreValues);
    EXPECT_GE(n.nInputs, 3);
    EXPECT_EQ(n.nTaken, n.nInputs);
}
