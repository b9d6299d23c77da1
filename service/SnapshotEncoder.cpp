#include "service/SnapshotEncoder.h"

CSnapshotEncoder::~CSnapshotEncoder()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bStopping = true;
        m_jobs.clear();
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void CSnapshotEncoder::Submit(CSnapshotBuilder::CComposed composed, Done done)
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (!m_thread.joinable())
        m_thread = std::thread([this] { Run(); });
    m_changed.wait(guard, [this] { return m_jobs.size() < kMaxQueued; });
    m_jobs.push_back(Job{std::move(composed), std::move(done)});
    guard.unlock();
    m_changed.notify_all();
}

void CSnapshotEncoder::WaitUntilIdle()
{
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [this] { return m_jobs.empty() && !m_bBusy; });
}

void CSnapshotEncoder::Run()
{
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
            m_bBusy = true;
        }
        m_changed.notify_all(); // room for the next job
        std::unique_ptr<std::uint8_t[]> pBlock;
        CSnapshotBuilder::CResult result = CSnapshotBuilder::Encode(job.composed, m_writer, pBlock);
        job.done(std::move(result), std::move(pBlock), std::move(job.composed.pSection));
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_bBusy = false;
        }
        m_changed.notify_all();
    }
}
