#include "platform/ui/QuitOnSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace
{
constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

sigset_t QuitSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int n : kQuitSignals)
        sigaddset(&set, n);
    return set;
}
} // namespace

void CQuitOnSignals::Block()
{
    const sigset_t set = QuitSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGUSR1, SIG_IGN);
    std::signal(SIGUSR2, SIG_IGN);
}

int CQuitOnSignals::Pending()
{
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    for (int n : kQuitSignals)
        if (sigismember(&pending, n) == 1)
            return n;
    return 0;
}

CQuitOnSignals::CQuitOnSignals(QObject* pParent) : QObject(pParent)
{
    const sigset_t set = QuitSignals();
    m_fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_fd < 0)
        return;
    m_pNotifier = new QSocketNotifier(qintptr(m_fd), QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this,
            [this]
            {
                signalfd_siginfo info;
                while (::read(m_fd, &info, sizeof info) == ssize_t(sizeof info))
                    emit Quit(int(info.ssi_signo));
            });
}

CQuitOnSignals::~CQuitOnSignals()
{
    if (m_fd >= 0)
        ::close(m_fd);
}
