#pragma once
// A number a forked child raises as it works and its parent reads: how far the child got, so
// that the parent can wait for it to be under way instead of sleeping and hoping.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <sys/mman.h>
#include <thread>

class CChildProgress
{
public:
    CChildProgress()
        : m_p(static_cast<std::atomic<std::int64_t>*>(mmap(nullptr, sizeof(std::int64_t),
                                                           PROT_READ | PROT_WRITE,
                                                           MAP_SHARED | MAP_ANONYMOUS, -1, 0)))
    {
        new (m_p) std::atomic<std::int64_t>(-1);
    }
    ~CChildProgress() { munmap(m_p, sizeof(std::int64_t)); }
    CChildProgress(const CChildProgress&) = delete;
    CChildProgress& operator=(const CChildProgress&) = delete;

    std::atomic<std::int64_t>& operator*() { return *m_p; }
    std::atomic<std::int64_t>* operator->() { return m_p; }
    // Waits until the child has reached n; false after a minute without.
    bool WaitFor(std::int64_t n)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (m_p->load() < n)
        {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }

private:
    std::atomic<std::int64_t>* m_p;
};
