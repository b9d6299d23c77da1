#include "platform/net/AsyncSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
void DisposeNotifier(QPointer<QSocketNotifier>& p)
{
    if (p)
    {
        p->setEnabled(false);
        // The notifier may be the one whose signal is being delivered right now.
        p->deleteLater();
    }
    p.clear();
}
} // namespace

CAsyncSocket::~CAsyncSocket()
{
    Close();
}

bool CAsyncSocket::Create(unsigned nPort, long lEvent)
{
    return Create(nullptr, nPort, lEvent);
}

bool CAsyncSocket::Create(const char* pszAddress, unsigned nPort, long lEvent)
{
    Close();
    m_nLastError = 0;
    in_addr v4{};
    in6_addr v6 = in6addr_any;
    const bool bAny = pszAddress == nullptr || *pszAddress == '\0';
    const bool bOnlyV4 = !bAny && ::inet_pton(AF_INET, pszAddress, &v4) == 1;
    if (nPort > 65535 || (!bAny && !bOnlyV4 && ::inet_pton(AF_INET6, pszAddress, &v6) != 1))
    {
        m_nLastError = EINVAL;
        return false;
    }
    int fd = bOnlyV4 ? -1 : ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool bV6 = fd >= 0;
    if (!bV6 && (bAny || bOnlyV4))
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        m_nLastError = errno;
        return false;
    }
    const int one = 1;
    const int zero = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int nBound;
    if (bV6)
    {
        // Every interface takes IPv4 clients too; one IPv6 address only its own.
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, bAny ? &zero : &one, sizeof zero);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = v6;
        a.sin6_port = htons(std::uint16_t(nPort));
        nBound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    else
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = bAny ? htonl(INADDR_ANY) : v4.s_addr;
        a.sin_port = htons(std::uint16_t(nPort));
        nBound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (nBound != 0)
    {
        m_nLastError = errno;
        ::close(fd);
        return false;
    }
    Attach(fd, lEvent, false);
    return true;
}

bool CAsyncSocket::Listen(int nBacklog)
{
    if (m_fd < 0 || ::listen(m_fd, nBacklog) != 0)
    {
        m_nLastError = m_fd < 0 ? EBADF : errno;
        return false;
    }
    m_bListening = true;
    return true;
}

void CAsyncSocket::Attach(int fd, long lEvent, bool bListening)
{
    m_fd = fd;
    m_lEvent = lEvent;
    m_bListening = bListening;
    m_pRead = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read);
    QObject::connect(m_pRead.data(), &QSocketNotifier::activated, m_pRead.data(),
                     [this] { Readable(); });
    m_pWrite = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write);
    m_pWrite->setEnabled(false);
    QObject::connect(m_pWrite.data(), &QSocketNotifier::activated, m_pWrite.data(),
                     [this] { Writable(); });
}

bool CAsyncSocket::Accept(CAsyncSocket& connected)
{
    m_nLastError = 0;
    if (m_fd < 0)
    {
        m_nLastError = EBADF;
        return false;
    }
    const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
    {
        m_nLastError = errno;
        return false;
    }
    connected.Close();
    connected.Attach(fd, m_lEvent, false);
    // A new connection is writable: its first send notification follows from the loop.
    connected.ArmWrite();
    return true;
}

int CAsyncSocket::Send(const void* pBuf, int nLen)
{
    if (m_fd < 0)
    {
        m_nLastError = EBADF;
        return SOCKET_ERROR;
    }
    const ssize_t n = ::send(m_fd, pBuf, std::size_t(nLen), MSG_NOSIGNAL);
    if (n < 0)
    {
        m_nLastError = errno;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        {
            m_nLastError = EWOULDBLOCK;
            ArmWrite();
        }
        return SOCKET_ERROR;
    }
    return int(n);
}

int CAsyncSocket::Receive(void* pBuf, int nLen)
{
    if (m_fd < 0)
    {
        m_nLastError = EBADF;
        return SOCKET_ERROR;
    }
    ssize_t n;
    do
        n = ::recv(m_fd, pBuf, std::size_t(nLen), 0);
    while (n < 0 && errno == EINTR);
    if (n < 0)
    {
        m_nLastError = errno == EAGAIN ? EWOULDBLOCK : errno;
        return SOCKET_ERROR;
    }
    return int(n);
}

bool CAsyncSocket::ShutDown(ShutdownHow how)
{
    const int nHow = how == receives ? SHUT_RD : how == sends ? SHUT_WR : SHUT_RDWR;
    if (m_fd < 0 || ::shutdown(m_fd, nHow) != 0)
    {
        m_nLastError = m_fd < 0 ? EBADF : errno;
        return false;
    }
    return true;
}

void CAsyncSocket::Close()
{
    DisposeNotifier(m_pRead);
    DisposeNotifier(m_pWrite);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_bListening = false;
}

void CAsyncSocket::Abort()
{
    if (m_fd >= 0)
    {
        const linger l{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    Close();
}

void CAsyncSocket::EnableReadNotifications(bool bEnable)
{
    if (m_pRead)
        m_pRead->setEnabled(bEnable);
}

int CAsyncSocket::PendingOutput() const
{
    int n = 0;
    if (m_fd < 0 || ::ioctl(m_fd, SIOCOUTQ, &n) != 0)
        return -1;
    return n;
}

bool CAsyncSocket::IsIPv6() const
{
    sockaddr_storage a{};
    socklen_t n = sizeof a;
    return m_fd >= 0 && ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &n) == 0 &&
           a.ss_family == AF_INET6;
}

unsigned CAsyncSocket::GetLocalPort() const
{
    sockaddr_storage a{};
    socklen_t n = sizeof a;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &n) != 0)
        return 0;
    if (a.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

std::string CAsyncSocket::GetPeerName(unsigned* pnPort) const
{
    sockaddr_storage a{};
    socklen_t n = sizeof a;
    if (m_fd < 0 || ::getpeername(m_fd, reinterpret_cast<sockaddr*>(&a), &n) != 0)
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    unsigned nPort = 0;
    if (a.ss_family == AF_INET6)
    {
        const auto* p = reinterpret_cast<const sockaddr_in6*>(&a);
        nPort = ntohs(p->sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&p->sin6_addr))
            ::inet_ntop(AF_INET, p->sin6_addr.s6_addr + 12, text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &p->sin6_addr, text, sizeof text);
    }
    else if (a.ss_family == AF_INET)
    {
        const auto* p = reinterpret_cast<const sockaddr_in*>(&a);
        nPort = ntohs(p->sin_port);
        ::inet_ntop(AF_INET, &p->sin_addr, text, sizeof text);
    }
    if (pnPort != nullptr)
        *pnPort = nPort;
    return text;
}

void CAsyncSocket::ArmWrite()
{
    if (m_pWrite && (m_lEvent & FD_WRITE))
        m_pWrite->setEnabled(true);
}

void CAsyncSocket::Writable()
{
    if (m_pWrite)
        m_pWrite->setEnabled(false);
    int nError = 0;
    socklen_t n = sizeof nError;
    if (m_fd >= 0)
        ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &nError, &n);
    OnSend(nError);
}

void CAsyncSocket::Readable()
{
    if (m_fd < 0)
        return;
    if (m_bListening)
    {
        if (m_lEvent & FD_ACCEPT)
            OnAccept(0);
        return;
    }
    // Tell data from the end of the stream and from a reset without consuming anything.
    char c;
    const ssize_t n = ::recv(m_fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0)
    {
        if (m_lEvent & FD_READ)
            OnReceive(0);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    const int nError = n == 0 ? 0 : errno;
    // The end of the stream stays readable for ever: stop listening for it before reporting.
    EnableReadNotifications(false);
    if (m_lEvent & FD_CLOSE)
        OnClose(nError);
}

void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
