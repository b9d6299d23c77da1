#pragma once
// The build threads: each takes a job (a grabbed frame and what to draw over it), writes the
// frame to its working file, draws, encodes and makes the response, while the thread that
// accepts connections and grabs frames takes the next request. As many threads as
// processors, up to kMaxThreads; jobs start in the order given and may finish in another. At
// most kMaxQueued wait, beyond that Submit waits for room, which bounds the memory pictures in
// waiting take. The frames jobs carry come from, and go back to, a small pool, so that a
// request does not allocate one.

#include "service/SnapshotBuilder.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class CSnapshotWorkers
{
public:
    static constexpr std::size_t kMaxQueued = 2;
    static constexpr unsigned kMaxThreads = 4;
    // What the pictures being built may take together (see CSnapshotBuilder::Build).
    static constexpr std::int64_t kPictureMemoryBytes = std::int64_t(256) << 20;

    // Called on a build thread with the result and the response block.
    using Done = std::function<void(CSnapshotBuilder::CResult, std::unique_ptr<std::uint8_t[]>)>;

    // nThreads 0: one for each processor, up to kMaxThreads.
    explicit CSnapshotWorkers(unsigned nThreads = 0,
                              std::int64_t nPictureMemory = kPictureMemoryBytes);
    // Waits for the jobs being built (those waiting for memory give up); jobs still queued
    // are dropped without being called.
    ~CSnapshotWorkers();
    CSnapshotWorkers(const CSnapshotWorkers&) = delete;
    CSnapshotWorkers& operator=(const CSnapshotWorkers&) = delete;

    // A frame for a job, from the pool (its rows as they were left).
    std::unique_ptr<CSnapshotBuilder::CFrame> TakeFrame();
    void Submit(CSnapshotBuilder::CJob job, Done done);
    unsigned Threads() const { return m_nThreads; }

private:
    struct Job
    {
        CSnapshotBuilder::CJob job;
        Done done;
    };
    void Run();
    void Build(Job& job, CSnapshotBuilder::CThreadState& state);
    void GiveBack(std::unique_ptr<CSnapshotBuilder::CFrame> pFrame);

    unsigned m_nThreads;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Job> m_jobs;
    bool m_bStopping = false;
    std::vector<std::unique_ptr<CSnapshotBuilder::CFrame>> m_frames; // free ones
    CSnapshotBuilder::CWorkingFiles m_files;
    CMemoryBudget m_budget;
    std::vector<std::thread> m_threads; // started with the first job
};
