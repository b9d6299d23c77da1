#include "service/SnapshotWorkers.h"

#include <algorithm>
#include <system_error>

CSnapshotWorkers::CSnapshotWorkers(unsigned nThreads, std::int64_t nPictureMemory)
    : m_nThreads(nThreads != 0 ? nThreads
                               : std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads)),
      m_budget(nPictureMemory)
{
}

CSnapshotWorkers::~CSnapshotWorkers()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bStopping = true;
        m_jobs.clear();
    }
    m_changed.notify_all();
    m_budget.Stop();
    for (std::thread& t : m_threads)
        t.join();
}

std::unique_ptr<CSnapshotBuilder::CFrame> CSnapshotWorkers::TakeFrame()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_frames.empty())
        return std::make_unique<CSnapshotBuilder::CFrame>();
    auto p = std::move(m_frames.back());
    m_frames.pop_back();
    return p;
}

void CSnapshotWorkers::GiveBack(std::unique_ptr<CSnapshotBuilder::CFrame> pFrame)
{
    if (!pFrame)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    // As many as can be in use at once are kept: the queue, and one for each thread.
    if (m_frames.size() < kMaxQueued + m_nThreads + 1)
        m_frames.push_back(std::move(pFrame));
}

void CSnapshotWorkers::Build(Job& job, CSnapshotBuilder::CThreadState& state)
{
    std::unique_ptr<std::uint8_t[]> pBlock;
    CSnapshotBuilder::CResult result = CSnapshotBuilder::Build(job.job, state, pBlock);
    GiveBack(std::move(job.job.pFrame));
    job.done(std::move(result), std::move(pBlock));
}

void CSnapshotWorkers::Submit(CSnapshotBuilder::CJob job, Done done)
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
        // Not one thread: the picture is built here rather than never.
        guard.unlock();
        CSnapshotBuilder::CThreadState state;
        state.pFiles = &m_files;
        state.pBudget = &m_budget;
        Job one{std::move(job), std::move(done)};
        Build(one, state);
        return;
    }
    m_changed.wait(guard, [this] { return m_jobs.size() < kMaxQueued; });
    m_jobs.push_back(Job{std::move(job), std::move(done)});
    guard.unlock();
    m_changed.notify_all();
}

void CSnapshotWorkers::Run()
{
    CSnapshotBuilder::CThreadState state; // this thread's writer, bytes and bitmaps
    state.pFiles = &m_files;
    state.pBudget = &m_budget;
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
        }
        m_changed.notify_all(); // room for the next job
        Build(job, state);
    }
}
