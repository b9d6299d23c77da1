#include "service/SnapshotEncoder.h"

#include "JpegDecode.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/TempDir.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace
{
CSnapshotBuilder::CComposed Picture(const std::string& strPath, BYTE nShade)
{
    CSnapshotBuilder::CComposed c;
    c.bNeedsEncoding = true;
    c.pSection = CDibSection::Create(64, 48);
    std::memset(c.pSection->Bits(), nShade, std::size_t(c.pSection->ImageBytes()));
    c.strHeader = "H:";
    c.strJpegPath = strPath;
    return c;
}
} // namespace

TEST(SnapshotEncoder, JobsAreEncodedAwayFromTheCallerOnSeveralThreadsEachIntoItsOwnResponse)
{
    CTempDir dir;
    CSnapshotEncoder encoder(2);
    std::mutex lock;
    std::map<int, std::vector<std::uint8_t>> done;
    std::set<std::thread::id> threads;
    const auto caller = std::this_thread::get_id();
    for (int i = 0; i < 12; ++i)
        encoder.Submit(Picture(dir.File("frame.jpg"), BYTE(i * 20)),
                       [&, i](CSnapshotBuilder::CResult r, std::unique_ptr<std::uint8_t[]> p,
                              std::unique_ptr<CDibSection> pSection)
                       {
                           EXPECT_TRUE(pSection) << "the picture comes back for reuse";
                           std::lock_guard<std::mutex> g(lock);
                           threads.insert(std::this_thread::get_id());
                           done[i] = std::vector<std::uint8_t>(p.get(), p.get() + r.nLength);
                       });
    encoder.WaitUntilIdle();
    EXPECT_EQ(threads.count(caller), 0u);
    EXPECT_EQ(encoder.Threads(), 2u);
    ASSERT_EQ(done.size(), 12u);
    for (const auto& [i, bytes] : done)
    {
        ASSERT_GT(bytes.size(), 2u);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 2), "H:");
        const auto decoded =
            DecodeJpegBytes(std::vector<std::uint8_t>(bytes.begin() + 2, bytes.end()));
        ASSERT_TRUE(decoded.bOk);
        EXPECT_NEAR(decoded.rgb[0], i * 20, 3) << "job " << i << " encoded its own picture";
    }
    // The threads write "frame.jpg" one at a time: it is whole, the body of the last job
    // written, never two interleaved.
    const auto file = ReadBytes(dir.File("frame.jpg"));
    EXPECT_TRUE(std::any_of(done.begin(), done.end(),
                            [&](const auto& job) {
                                return std::vector<std::uint8_t>(job.second.begin() + 2,
                                                                 job.second.end()) == file;
                            }));
}

TEST(SnapshotEncoder, StoppingDropsWaitingJobsWithoutHanging)
{
    CTempDir dir;
    std::atomic<int> nDone{0};
    {
        CSnapshotEncoder encoder;
        for (int i = 0; i < 3; ++i)
            encoder.Submit(Picture(dir.File("frame.jpg"), 9),
                           [&](CSnapshotBuilder::CResult, std::unique_ptr<std::uint8_t[]>,
                               std::unique_ptr<CDibSection>) { ++nDone; });
    }
    // Gone means gone: nothing is called after the encoder is destroyed.
    const int nAtEnd = nDone;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(nDone, nAtEnd);
    // A failing encode is a result too: the 503 block.
    CSnapshotEncoder encoder;
    CSnapshotBuilder::CResult result;
    std::string text;
    encoder.Submit(Picture(dir.File("missing/frame.jpg"), 9),
                   [&](CSnapshotBuilder::CResult r, std::unique_ptr<std::uint8_t[]> p,
                       std::unique_ptr<CDibSection>)
                   {
                       result = r;
                       text.assign(reinterpret_cast<char*>(p.get()), std::size_t(r.nLength));
                   });
    encoder.WaitUntilIdle();
    EXPECT_TRUE(result.bFailed);
    EXPECT_EQ(text.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u);
}
