#pragma once
// Encodes composed pictures on threads of its own, so that the thread that accepts
// connections, grabs and draws can take the next request meanwhile. There are as many threads
// as processors, up to kMaxThreads: a JPEG of a large picture takes longer than drawing it.
// Jobs start in the order given and may finish in another; at most kMaxQueued wait, beyond
// that Submit waits for room, which bounds the memory pictures in waiting can take.

#include "service/SnapshotBuilder.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CSnapshotEncoder
{
public:
    static constexpr std::size_t kMaxQueued = 2;
    static constexpr unsigned kMaxThreads = 4;

    // Called on an encoding thread with the result, the response block and the picture
    // (for reuse).
    using Done = std::function<void(CSnapshotBuilder::CResult, std::unique_ptr<std::uint8_t[]>,
                                    std::unique_ptr<CDibSection>)>;

    // nThreads 0: one for each processor, up to kMaxThreads.
    explicit CSnapshotEncoder(unsigned nThreads = 0);
    // Waits for the jobs being encoded; jobs still waiting are dropped without being called.
    ~CSnapshotEncoder();
    CSnapshotEncoder(const CSnapshotEncoder&) = delete;
    CSnapshotEncoder& operator=(const CSnapshotEncoder&) = delete;

    void Submit(CSnapshotBuilder::CComposed composed, Done done);
    // Returns when every job given so far has been encoded (and its done called).
    void WaitUntilIdle();
    unsigned Threads() const { return m_nThreads; }

private:
    struct Job
    {
        CSnapshotBuilder::CComposed composed;
        Done done;
    };
    void Run();

    unsigned m_nThreads;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Job> m_jobs;
    bool m_bStopping = false;
    unsigned m_nBusy = 0;               // jobs being encoded
    CSnapshotBuilder::CJpegFile m_file; // "frame.jpg", shared by the threads
    std::vector<std::thread> m_threads; // started with the first job
};
