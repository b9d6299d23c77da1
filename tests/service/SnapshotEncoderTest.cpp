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
CSnapshotBuilder::CComposed Picture(const std::string& strPath, BYTE nShade,
                                    std::uint64_t nSequence = 0, int nWidth = 64, int nHeight = 48)
{
    CSnapshotBuilder::CComposed c;
    c.bNeedsEncoding = true;
    c.nSequence = nSequence;
    c.pSection = CDibSection::Create(nWidth, nHeight);
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
        encoder.Submit(Picture(dir.File("frame.jpg"), BYTE(i * 20), std::uint64_t(i + 1)),
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
    // The threads write "frame.jpg" one at a time, and whichever finishes last, it holds the
    // last picture taken, whole.
    const auto file = ReadBytes(dir.File("frame.jpg"));
    EXPECT_EQ(file, std::vector<std::uint8_t>(done[11].begin() + 2, done[11].end()));

    // An older picture encoded after a newer one is served but not written over it; a picture
    // of 640x480 with the encoder idle is one baseline stream, with no restart marker.
    CSnapshotEncoder one(1);
    std::vector<std::vector<std::uint8_t>> bodies;
    for (const std::uint64_t nSequence : {20, 19})
        one.Submit(Picture(dir.File("frame.jpg"), BYTE(nSequence), nSequence, 640, 480),
                   [&](CSnapshotBuilder::CResult r, std::unique_ptr<std::uint8_t[]> p,
                       std::unique_ptr<CDibSection>)
                   { bodies.emplace_back(p.get() + 2, p.get() + r.nLength); });
    one.WaitUntilIdle();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(ReadBytes(dir.File("frame.jpg")), bodies[0]);
    for (const auto& body : bodies)
        for (std::size_t i = 0; i + 1 < body.size(); ++i)
            ASSERT_FALSE(body[i] == 0xFF && (body[i + 1] == 0xDD || (body[i + 1] & 0xF8) == 0xD0))
                << "marker " << int(body[i + 1]) << " at " << i;
}

TEST(SnapshotEncoder, StoppingDropsWaitingJobsWithoutHanging)
{
    CTempDir dir;
    // One thread, held inside the first job's completion while two more wait: stopping
    // drops those two (their completions are let go uncalled) before the first one returns.
    std::atomic<int> nDone{0};
    std::atomic<bool> bRelease{false};
    auto pWaiting = std::make_shared<int>(0);
    std::weak_ptr<int> waiting = pWaiting;
    auto pEncoder = std::make_unique<CSnapshotEncoder>(1);
    pEncoder->Submit(Picture(dir.File("frame.jpg"), 9),
                     [&](CSnapshotBuilder::CResult, std::unique_ptr<std::uint8_t[]>,
                         std::unique_ptr<CDibSection>)
                     {
                         ++nDone;
                         while (!bRelease)
                             std::this_thread::yield();
                     });
    for (int i = 0; i < 2; ++i)
        pEncoder->Submit(Picture(dir.File("frame.jpg"), 9),
                         [&nDone, pWaiting](CSnapshotBuilder::CResult,
                                            std::unique_ptr<std::uint8_t[]>,
                                            std::unique_ptr<CDibSection>) { ++nDone; });
    pWaiting.reset();
    std::thread stopping([&] { pEncoder.reset(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!waiting.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(waiting.expired()) << "the waiting jobs were not dropped";
    bRelease = true;
    stopping.join();
    EXPECT_EQ(nDone, 1);
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
