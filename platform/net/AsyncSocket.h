#pragma once
// A non-blocking TCP socket whose readiness arrives as notifications on the UI thread, with
// the Windows meanings: accept, receive, send (only after connecting or accepting, and after a
// send that would block — never a busy loop), close (the peer ended its stream, or reset it).
// Every send uses MSG_NOSIGNAL, so a vanished peer never raises SIGPIPE.

#include <QPointer>
#include <QSocketNotifier>

#include <cstddef>
#include <cstdint>
#include <string>

class CAsyncSocket
{
public:
    static constexpr int SOCKET_ERROR = -1;
    enum : long
    {
        FD_READ = 0x01,
        FD_WRITE = 0x02,
        FD_OOB = 0x04,
        FD_ACCEPT = 0x08,
        FD_CONNECT = 0x10,
        FD_CLOSE = 0x20,
        FD_ALL = 63,
    };
    enum ShutdownHow
    {
        receives = 0,
        sends = 1,
        both = 2,
    };

    CAsyncSocket() = default;
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // A listening-capable stream socket bound to every local interface on nPort: IPv6 with
    // IPv4-mapped clients where the system has IPv6, plain IPv4 otherwise; SO_REUSEADDR on.
    // False (GetLastError tells why) on failure, and the object holds no socket.
    bool Create(unsigned nPort, long lEvent = FD_ALL);
    // The same, bound to one local address, written as numbers ("127.0.0.1", "::1"); an
    // address that is not one is EINVAL, one this machine does not have EADDRNOTAVAIL.
    bool Create(const char* pszAddress, unsigned nPort, long lEvent = FD_ALL);
    bool Listen(int nBacklog = 5);
    // Takes one pending connection into the given (unopened) object. False with the error:
    // EAGAIN when none is pending, EMFILE/ENFILE when descriptors ran out.
    bool Accept(CAsyncSocket& connected);
    // Bytes sent or SOCKET_ERROR (GetLastError() EWOULDBLOCK: a send notification follows).
    int Send(const void* pBuf, int nLen);
    // Bytes read, 0 at the end of the stream, or SOCKET_ERROR.
    int Receive(void* pBuf, int nLen);
    bool ShutDown(ShutdownHow how = sends);
    // Idempotent: the socket is closed and no notification arrives any more.
    void Close();
    // Closes with a reset, dropping whatever the system still holds to send.
    void Abort();

    // Stops (or resumes) read and accept notifications, e.g. while a peer has ended its stream.
    void EnableReadNotifications(bool bEnable);
    // True when the socket is IPv6 (and so, as created here, takes IPv4 clients as well).
    bool IsIPv6() const;
    // Bytes sent but not yet acknowledged by the peer (SIOCOUTQ); -1 when unknown.
    int PendingOutput() const;
    int GetSocket() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    int GetLastError() const { return m_nLastError; }
    unsigned GetLocalPort() const;
    // The peer's address as numbers (an IPv4 client of an IPv6 socket as IPv4) and its port;
    // "" when there is no peer.
    std::string GetPeerName(unsigned* pnPort = nullptr) const;

protected:
    virtual void OnAccept(int nErrorCode);
    virtual void OnReceive(int nErrorCode);
    virtual void OnSend(int nErrorCode);
    virtual void OnConnect(int nErrorCode);
    virtual void OnClose(int nErrorCode);
    virtual void OnOutOfBandData(int nErrorCode);

private:
    void Attach(int fd, long lEvent, bool bListening);
    void ArmWrite();
    void Readable();
    void Writable();

    int m_fd = -1;
    long m_lEvent = 0;
    bool m_bListening = false;
    int m_nLastError = 0;
    QPointer<QSocketNotifier> m_pRead;
    QPointer<QSocketNotifier> m_pWrite;
};
