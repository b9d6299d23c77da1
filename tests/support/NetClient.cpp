#include "tests/support/NetClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int ConnectTo(const char* pszHost, unsigned nPort, int nReceiveBuffer, const char* pszFrom)
{
    sockaddr_storage a{};
    socklen_t n;
    int family;
    if (inet_pton(AF_INET6, pszHost, &reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr) == 1)
    {
        auto* p = reinterpret_cast<sockaddr_in6*>(&a);
        p->sin6_family = AF_INET6;
        p->sin6_port = htons(std::uint16_t(nPort));
        n = sizeof *p;
        family = AF_INET6;
    }
    else
    {
        auto* p = reinterpret_cast<sockaddr_in*>(&a);
        p->sin_family = AF_INET;
        p->sin_port = htons(std::uint16_t(nPort));
        inet_pton(AF_INET, pszHost, &p->sin_addr);
        n = sizeof *p;
        family = AF_INET;
    }
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (nReceiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
    if (pszFrom != nullptr)
    {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, pszFrom, &from.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
        {
            ::close(fd);
            return -1;
        }
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), n) != 0)
    {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const void* p, std::size_t n)
{
    const auto* c = static_cast<const char*>(p);
    while (n > 0)
    {
        const ssize_t k = ::send(fd, c, n, MSG_NOSIGNAL);
        if (k <= 0)
            return false;
        c += k;
        n -= std::size_t(k);
    }
    return true;
}

CReadResult ReadAll(int fd, int nTimeoutMs)
{
    CReadResult r;
    QElapsedTimer t;
    t.start();
    char buffer[65536];
    for (;;)
    {
        const int nLeft = nTimeoutMs - int(t.elapsed());
        if (nLeft <= 0)
        {
            r.bTimedOut = true;
            return r;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, nLeft) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
        {
            r.bytes.insert(r.bytes.end(), buffer, buffer + n);
            continue;
        }
        if (n == 0)
            r.bEof = true;
        else if (errno != EINTR)
            r.bReset = true;
        else
            continue;
        return r;
    }
}

bool PumpUntil(const std::function<bool()>& done, int nTimeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done())
    {
        if (t.elapsed() > nTimeoutMs)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

CReadResult ReadSlowly(int fd, std::size_t nChunk, int nPauseMs)
{
    CReadResult r;
    std::vector<char> buffer(nChunk);
    for (;;)
    {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
        {
            r.bReset = n < 0;
            r.bEof = n == 0;
            return r;
        }
        r.bytes.insert(r.bytes.end(), buffer.begin(), buffer.begin() + n);
        std::this_thread::sleep_for(std::chrono::milliseconds(nPauseMs));
    }
}

std::vector<std::uint8_t> FetchWhilePumping(const char* pszHost, unsigned nPort, bool* pConnected)
{
    std::vector<std::uint8_t> bytes;
    std::atomic<bool> bDone{false};
    bool bConnected = false;
    std::thread t(
        [&]
        {
            const int fd = ConnectTo(pszHost, nPort);
            bConnected = fd >= 0;
            if (fd >= 0)
            {
                bytes = ReadAll(fd, 8000).bytes;
                ::close(fd);
            }
            bDone = true;
        });
    PumpUntil([&] { return bDone.load(); }, 10000);
    t.join();
    if (pConnected)
        *pConnected = bConnected;
    return bytes;
}

unsigned FreePort()
{
    // The server listens on IPv6 and IPv4 at once: the port must be free on both.
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    const int nOff = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &nOff, sizeof nOff);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    socklen_t n = sizeof a;
    unsigned nPort = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
        nPort = ntohs(a.sin6_port);
    ::close(fd);
    return nPort;
}

bool WaitUntilPeerCloses(int fd, int nTimeoutMs)
{
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, nTimeoutMs) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}
