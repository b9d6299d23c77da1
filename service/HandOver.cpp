#include "service/HandOver.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

CHandOver::CHandOver() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (m_fd >= 0)
    {
        m_pNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, m_pNotifier.get(),
                         [this] { RunPosted(); });
    }
}

CHandOver::~CHandOver()
{
    m_pNotifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

void CHandOver::Post(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_work.push_back(std::move(fn));
    }
    if (m_fd < 0)
    {
        QMetaObject::invokeMethod(
            &m_context, [this] { RunPosted(); }, Qt::QueuedConnection);
        return;
    }
    const std::uint64_t one = 1;
    // A full counter (never in practice) still leaves the descriptor readable.
    [[maybe_unused]] const ssize_t n = ::write(m_fd, &one, sizeof one);
}

void CHandOver::RunPosted()
{
    if (m_fd >= 0)
    {
        // Only to reset the counter: the queue says what there is to run.
        std::uint64_t n = 0;
        [[maybe_unused]] const ssize_t r = ::read(m_fd, &n, sizeof n);
    }
    std::deque<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        work.swap(m_work);
    }
    for (auto& fn : work)
        fn();
}
