#pragma once
// Work handed from other threads to the thread that made this object (the event loop's): it
// waits in a queue under a lock, and an eventfd wakes the loop, which runs it. Both the lock
// and the eventfd are seen by ThreadSanitizer, so what travels with the work is checked too
// (a queued Qt call is not: Qt's own locks are not instrumented).

#include <QSocketNotifier>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class CHandOver
{
public:
    CHandOver();
    // Work still waiting is dropped, never run.
    ~CHandOver();
    CHandOver(const CHandOver&) = delete;
    CHandOver& operator=(const CHandOver&) = delete;

    // From any thread: fn runs on the owner's thread, in the order posted.
    void Post(std::function<void()> fn);

private:
    void RunPosted();

    std::mutex m_lock;
    std::deque<std::function<void()>> m_work;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_pNotifier;
    QObject m_context; // without an eventfd, a queued call wakes the loop instead
};
