#include "service/SnapshotEncoder.h"

#include <algorithm>
#include <system_error>

CSnapshotEncoder::CSnapshotEncoder(unsigned nThreads)
    : m_nThreads(nThreads != 0 ? nThreads
                               : std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads))
{
}

CSnapshotEncoder::~CSnapshotEncoder()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bStopping = true;
        m_jobs.clear();
    }
    m_changed.notify_all();
    for (std::thread& t : m_threads)
        t.join();
}

void CSnapshotEncoder::Submit(CSnapshotBuilder::CComposed composed, Done done)
{
    std::unique_lock<std::mutex> guard(m_lock);
    while (m_threads.size() < m_nThreads)
    {
        try
        {
            m_threads.emplace_back([this] { Run(); });
        }
        catch (const std::system_error&)
        {
            break; // the system gives no more threads: those there are do the work
        }
    }
    if (m_threads.empty())
    {
        // Not one thread: the picture is encoded here rather than never.
        guard.unlock();
        CSnapshotBuilder::CEncoding encoding;
        encoding.pFile = &m_file;
        std::unique_ptr<std::uint8_t[]> pBlock;
        CSnapshotBuilder::CResult result = CSnapshotBuilder::Encode(composed, encoding, pBlock);
        done(std::move(result), std::move(pBlock), std::move(composed.pSection));
        return;
    }
    m_changed.wait(guard, [this] { return m_jobs.size() < kMaxQueued; });
    m_jobs.push_back(Job{std::move(composed), std::move(done)});
    guard.unlock();
    m_changed.notify_all();
}

void CSnapshotEncoder::WaitUntilIdle()
{
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [this] { return m_jobs.empty() && m_nBusy == 0; });
}

void CSnapshotEncoder::Run()
{
    CSnapshotBuilder::CEncoding encoding; // this thread's writers and bytes
    encoding.pFile = &m_file;
    for (;;)
    {
        Job job;
        {
            std::unique_lock<std::mutex> guard(m_lock);
            m_changed.wait(guard, [this] { return m_bStopping || !m_jobs.empty(); });
            if (m_bStopping)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
            ++m_nBusy;
        }
        m_changed.notify_all(); // room for the next job
        std::unique_ptr<std::uint8_t[]> pBlock;
        CSnapshotBuilder::CResult result = CSnapshotBuilder::Encode(job.composed, encoding, pBlock);
        job.done(std::move(result), std::move(pBlock), std::move(job.composed.pSection));
        {
            std::lock_guard<std::mutex> guard(m_lock);
            --m_nBusy;
        }
        m_changed.notify_all();
    }
}
