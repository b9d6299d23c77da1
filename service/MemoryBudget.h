#pragma once
// The memory the pictures being built may take together. A build reserves what its picture
// needs before it allocates it, and waits while the others hold too much, so that large
// pictures asked for at once take turns instead of adding up; a picture that needs more than
// the whole budget is refused at once. Shared by the build threads.

#include <condition_variable>
#include <cstdint>
#include <mutex>

class CMemoryBudget
{
public:
    explicit CMemoryBudget(std::int64_t nBytes) : m_nTotal(nBytes) {}

    std::int64_t Total() const { return m_nTotal; }
    std::int64_t InUse() const;

    enum class Outcome
    {
        Reserved,
        TooLarge, // more than the whole budget: it would never fit
        Stopped,  // the budget was stopped while it waited
    };
    // Waits until nBytes fit beside what the others hold.
    Outcome Reserve(std::int64_t nBytes);
    void Release(std::int64_t nBytes);
    // Wakes every build that waits, and refuses those that come later: the program is ending.
    void Stop();

    // What a build holds, given back however the build ends.
    class CHold
    {
    public:
        CHold(CMemoryBudget* pBudget, std::int64_t nBytes);
        ~CHold();
        CHold(const CHold&) = delete;
        CHold& operator=(const CHold&) = delete;
        Outcome Result() const { return m_outcome; }

    private:
        CMemoryBudget* m_pBudget;
        std::int64_t m_nBytes;
        Outcome m_outcome;
    };

private:
    const std::int64_t m_nTotal;
    mutable std::mutex m_lock;
    std::condition_variable m_released;
    std::int64_t m_nInUse = 0;
    bool m_bStopped = false;
};
