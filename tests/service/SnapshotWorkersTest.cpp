#include "service/SnapshotWorkers.h"

#include "JpegDecode.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/TempDir.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace
{
// Bare JPEG responses of a flat grey frame, in the folder given.
std::shared_ptr<const CSnapshotBuilder::CScene> Scene(const std::string& strDirectory)
{
    auto p = std::make_shared<CSnapshotBuilder::CScene>();
    p->settings.CaptureDevice = 0;
    p->settings.HttpHeaders = 0;
    p->settings.ImageType = 0;
    p->strDirectory = strDirectory;
    return p;
}

CSnapshotBuilder::CJob Job(CSnapshotWorkers& workers,
                           const std::shared_ptr<const CSnapshotBuilder::CScene>& pScene,
                           BYTE nShade, std::uint64_t nSequence, int nWidth = 64, int nHeight = 48)
{
    CSnapshotBuilder::CJob job;
    job.pScene = pScene;
    job.nSequence = nSequence;
    job.pFrame = workers.TakeFrame();
    job.pFrame->nWidth = nWidth;
    job.pFrame->nHeight = nHeight;
    job.pFrame->rows.assign(job.pFrame->Stride() * std::size_t(nHeight), nShade);
    return job;
}

// Counts completions; waits for a number of them.
struct CCompletions
{
    std::mutex lock;
    std::condition_variable changed;
    int n = 0;
    void Add()
    {
        std::lock_guard<std::mutex> guard(lock);
        ++n;
        changed.notify_all();
    }
    bool WaitFor(int nCount)
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(60), [&] { return n >= nCount; });
    }
};
} // namespace

TEST(SnapshotWorkers, JobsAreBuiltAwayFromTheCallerOnSeveralThreadsInTheOrderTheFilesKeep)
{
    CTempDir dir;
    const auto pScene = Scene(dir.Path().string());
    std::mutex lock;
    std::map<int, std::vector<std::uint8_t>> done;
    std::set<std::thread::id> threads;
    CCompletions completions;
    {
        CSnapshotWorkers workers(2);
        for (int i = 0; i < 12; ++i)
            workers.Submit(Job(workers, pScene, BYTE(i * 20), std::uint64_t(i + 1)),
                           [&, i](CSnapshotBuilder::CResult r, std::unique_ptr<std::uint8_t[]> p)
                           {
                               {
                                   std::lock_guard<std::mutex> g(lock);
                                   threads.insert(std::this_thread::get_id());
                                   done[i] =
                                       std::vector<std::uint8_t>(p.get(), p.get() + r.nLength);
                               }
                               completions.Add();
                           });
        ASSERT_TRUE(completions.WaitFor(12));
        EXPECT_EQ(workers.Threads(), 2u);
    }
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    ASSERT_EQ(done.size(), 12u);
    for (const auto& [i, bytes] : done)
    {
        const auto decoded = DecodeJpegBytes(bytes);
        ASSERT_TRUE(decoded.bOk);
        EXPECT_NEAR(decoded.rgb[0], i * 20, 3) << "job " << i << " built its own picture";
    }
    // The threads write the working files one at a time, and whichever finishes last, they
    // hold the last picture taken, whole.
    EXPECT_EQ(ReadBytes(dir.File("frame.jpg")), done[11]);
    const auto frame = ReadBytes(dir.File("capframe.bmp"));
    ASSERT_EQ(frame.size(), 54u + 192u * 48u);
    EXPECT_EQ(frame[54], BYTE(11 * 20));

    // An older picture built after a newer one is served but not written over it; a picture
    // of 640x480 with the threads idle is one baseline stream, with no restart marker.
    CSnapshotWorkers one(1);
    std::vector<std::vector<std::uint8_t>> bodies;
    CCompletions two;
    for (const std::uint64_t nSequence : {20, 19})
        one.Submit(Job(one, pScene, BYTE(nSequence), nSequence, 640, 480),
                   [&](CSnapshotBuilder::CResult r, std::unique_ptr<std::uint8_t[]> p)
                   {
                       bodies.emplace_back(p.get(), p.get() + r.nLength);
                       two.Add();
                   });
    ASSERT_TRUE(two.WaitFor(2));
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(ReadBytes(dir.File("frame.jpg")), bodies[0]);
    for (const auto& body : bodies)
        for (std::size_t i = 0; i + 1 < body.size(); ++i)
            ASSERT_FALSE(body[i] == 0xFF && (body[i + 1] == 0xDD || (body[i + 1] & 0xF8) == 0xD0))
                << "marker " << int(body[i + 1]) << " at " << i;
}

TEST(SnapshotWorkers, StoppingDropsWaitingJobsWithoutHanging)
{
    CTempDir dir;
    const auto pScene = Scene(dir.Path().string());
    // One thread, held inside the first job's completion while two more wait: stopping
    // drops those two (their completions are let go uncalled) before the first one returns.
    std::atomic<int> nDone{0};
    std::atomic<bool> bRelease{false};
    auto pWaiting = std::make_shared<int>(0);
    std::weak_ptr<int> waiting = pWaiting;
    auto pWorkers = std::make_unique<CSnapshotWorkers>(1);
    pWorkers->Submit(Job(*pWorkers, pScene, 9, 1),
                     [&](CSnapshotBuilder::CResult, std::unique_ptr<std::uint8_t[]>)
                     {
                         ++nDone;
                         while (!bRelease)
                             std::this_thread::yield();
                     });
    for (int i = 0; i < 2; ++i)
        pWorkers->Submit(Job(*pWorkers, pScene, 9, std::uint64_t(2 + i)),
                         [&nDone, pWaiting](CSnapshotBuilder::CResult,
                                            std::unique_ptr<std::uint8_t[]>) { ++nDone; });
    pWaiting.reset();
    std::thread stopping([&] { pWorkers.reset(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!waiting.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(waiting.expired()) << "the waiting jobs were not dropped";
    bRelease = true;
    stopping.join();
    EXPECT_EQ(nDone, 1);
}
