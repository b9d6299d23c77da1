#pragma once
// Encodes composed pictures on a thread of its own, one after another, so that the thread
// that accepts connections, grabs and draws can take the next request meanwhile. Jobs are
// done in the order given; at most kMaxQueued wait, beyond that Submit waits for room, which
// bounds the memory pictures in waiting can take.

#include "imaging/JpegWriter.h"
#include "service/SnapshotBuilder.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class CSnapshotEncoder
{
public:
    static constexpr std::size_t kMaxQueued = 2;

    // Called on the encoding thread with the result, the response block and the picture
    // (for reuse).
    using Done = std::function<void(CSnapshotBuilder::CResult, std::unique_ptr<std::uint8_t[]>,
                                    std::unique_ptr<CDibSection>)>;

    CSnapshotEncoder() = default;
    // Waits for the job being encoded; jobs still waiting are dropped without being called.
    ~CSnapshotEncoder();
    CSnapshotEncoder(const CSnapshotEncoder&) = delete;
    CSnapshotEncoder& operator=(const CSnapshotEncoder&) = delete;

    void Submit(CSnapshotBuilder::CComposed composed, Done done);
    // Returns when every job given so far has been encoded (and its done called).
    void WaitUntilIdle();

private:
    struct Job
    {
        CSnapshotBuilder::CComposed composed;
        Done done;
    };
    void Run();

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Job> m_jobs;
    bool m_bStopping = false;
    bool m_bBusy = false; // a job is being encoded
    CJpegWriter m_writer; // used on the encoding thread only
    std::thread m_thread; // started with the first job
};
