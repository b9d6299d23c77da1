#pragma once
// The image server: the listening socket and every connection it accepted, with the bounds
// they share. Each accepted connection receives one freshly built response, then the server
// shuts down its sending side and reads and discards what the client sends until the client
// closes or a short linger passes — so a late or long request never resets the image away.
// A client that takes no byte for the send timeout is reset, however long it has been
// connected, and one that reads on slowly has up to the ceiling; every connection frees itself
// and its block. At most kMaxConnections are sending at once, not counting stalled ones
// (clients that have taken no byte for the stall time), and kMaxOpen are open in all (those
// past their last byte only wait for the client to close); beyond either, new ones wait in the
// backlog. The responses not yet sent hold at most kMaxHeldBytes (plus the one being started):
// at that bound the newest stalled connections are reset to make room, and healthy ones are
// never touched. While the bound is reached and no client has stalled long enough to be reset,
// new connections are accepted and wait for room, the newest first.

#include "service/ImageSocket.h"
#include "service/SnapshotSource.h"

#include <QTimer>

#include <cstdint>
#include <memory>
#include <set>

class CImageServer
{
public:
    static constexpr int kMaxConnections = 64;
    static constexpr int kMaxOpen = 512;
    static constexpr std::int64_t kMaxHeldBytes = std::int64_t(128) << 20;
    static constexpr int kStallMs = 500; // no byte taken for this long: a stalled client
    // Connections the system completes and holds for us while we are busy. With a backlog of a
    // few, a burst of clients waits out the kernel's SYN retries, and a client that got a SYN
    // cookie but found the queue full (and sends nothing) waits for ever; so as many as the
    // system allows (it caps this at net.core.somaxconn).
    static constexpr int kListenBacklog = 4096;
    // A client that takes no byte of its image for this long is reset; one that keeps taking
    // bytes, however slowly, has up to the ceiling from the moment its image is built.
    static constexpr int kSendTimeoutMs = 30000;
    static constexpr int kCeilingMs = 10 * 60 * 1000;
    static constexpr int kLingerMs = 2000; // after the last byte, for the client to close
    static constexpr int kCheckIntervalMs = 100;
    static constexpr int kAcceptRetryMs = 250;
    static constexpr int kShutdownGraceMs = 800;

    // Responses are asked of source, which must outlive the server.
    explicit CImageServer(CSnapshotSource& source);
    // Every connection is closed.
    ~CImageServer();
    CImageServer(const CImageServer&) = delete;
    CImageServer& operator=(const CImageServer&) = delete;

    // Listens on nPort (0: any free port) on every interface, replacing the listening socket
    // there was; false, with the errno in LastError(), when that cannot be done. The
    // connections already accepted go on either way.
    bool Listen(unsigned nPort);
    // No new connections; those accepted go on.
    void StopListening();
    bool IsListening() const { return m_pListener != nullptr; }
    const CImageSocket* Listener() const { return m_pListener.get(); }
    unsigned Port() const;
    bool IsIPv6() const;
    int LastError() const { return m_nLastError; }

    // Connections open right now, and those sending a response.
    int LiveConnections() const { return int(m_connections.size()); }
    int SendingConnections() const { return m_nSending; }
    // Bytes of responses built and not yet wholly sent.
    std::int64_t HeldBytes() const { return m_nHeldBytes; }
    // Connections accepted that wait for room before their response is built.
    int WaitingForRoom() const;
    void CloseAllConnections();
    // At the end of the program: the responses being sent get up to nGraceMs to finish; what
    // is still unfinished then is reset, so no client takes a cut picture for a whole one.
    void FinishAllConnections(int nGraceMs);
    // Other bounds, for tests that cannot wait half a minute or need clients not to count as
    // stalled for a while.
    void SetTimeouts(int nSendTimeoutMs, int nLingerMs, int nStallMs = kStallMs,
                     int nCeilingMs = kCeilingMs);

private:
    friend class CImageSocket;

    // The listening socket has a connection pending.
    void OnAccept(CImageSocket& listener);
    void PauseAccepting();
    // Room is there: ask for the connection's image.
    void StartBuilding(CImageSocket& connection);
    bool NewestWaitingForRoom(const CImageSocket& connection) const;
    // Resets the newest stalled connections until the sending ones are within their bounds;
    // true when a new connection fits.
    bool MakeRoom();
    bool Stalled(const CImageSocket& connection) const;
    // One pass over every connection: room for those waiting, timeouts, the linger.
    void CheckAll();
    void Check(CImageSocket& connection);
    bool IsLive(const CImageSocket* p, std::uint64_t nSerial) const;
    // Bookkeeping of a connection that is going away.
    void Forget(CImageSocket& connection);

    CSnapshotSource& m_source;
    std::unique_ptr<CImageSocket> m_pListener;
    int m_nLastError = 0;
    std::set<CImageSocket*> m_connections;
    std::uint64_t m_nLastSerial = 0;
    int m_nSending = 0;
    std::int64_t m_nHeldBytes = 0;
    int m_nSendTimeoutMs = kSendTimeoutMs;
    int m_nCeilingMs = kCeilingMs;
    int m_nLingerMs = kLingerMs;
    int m_nStallMs = kStallMs;
    QTimer m_checkTimer;  // runs while there are connections
    QTimer m_acceptRetry; // accepting paused: when to look again
};
