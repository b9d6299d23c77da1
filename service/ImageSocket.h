#pragma once
// The image server's socket class, for the listening socket and for every connection. Each
// accepted connection receives one freshly built response, then the server shuts down its
// sending side and reads and discards what the client sends until the client closes or a
// short linger passes — so a late or long request never resets the image away. A client that
// takes no byte for the send timeout is reset, however long it has been connected, and one
// that reads on slowly has up to the ceiling; every connection frees itself and its block.
// At most kMaxConnections are sending at once, not counting stalled ones (clients that have
// taken no byte for kStallMs), and kMaxOpen are open in all (those past their last byte only
// wait for the client to close); beyond either, new ones wait in the backlog. The responses
// not yet sent hold at most kMaxHeldBytes (plus the one being started): at that bound the
// newest stalled connections are reset to make room, and healthy ones are never touched.
// While the bound is reached and no client has stalled long enough to be reset, new
// connections are accepted and wait for room, the newest first.

#include "platform/net/AsyncSocket.h"
#include "service/SnapshotSource.h"

#include <QElapsedTimer>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <set>

class CImageSocket : public CAsyncSocket
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

    CImageSocket();
    ~CImageSocket() override;

    void SetView(CSnapshotSource* pView) { m_pView = pView; }
    // Connections open right now, and closing them all (when the program ends).
    static int LiveConnections() { return int(s_connections.size()); }
    static int SendingConnections() { return s_nSending; }
    // Bytes of responses built and not yet wholly sent.
    static std::int64_t HeldBytes() { return s_nHeldBytes; }
    // Connections accepted that wait for room before their response is built.
    static int WaitingForRoom();
    static void CloseAllConnections();
    // At the end of the program: the responses being sent get up to nGraceMs to finish; what
    // is still unfinished then is reset, so no client takes a cut picture for a whole one.
    static void FinishAllConnections(int nGraceMs);
    static constexpr int kShutdownGraceMs = 800;
    // Other bounds for tests: shorter ones for tests that cannot wait half a minute, a longer
    // stall time for one that needs clients not to count as stalled for a while.
    static void SetTimeouts(int nSendTimeoutMs, int nLingerMs, int nStallMs = kStallMs,
                            int nCeilingMs = kCeilingMs);

    CSnapshotSource* m_pView = nullptr;
    std::unique_ptr<std::uint8_t[]> m_pResponse;
    int m_nRemaining = -1;
    int m_nSent = 0;

protected:
    void OnAccept(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnReceive(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

private:
    void Started();
    // Room is there: ask for the image.
    void StartBuilding();
    bool NewestWaitingForRoom() const;
    // The response has been built: send it.
    void Deliver(int nLength, std::unique_ptr<std::uint8_t[]> pResponse);
    void ResponseComplete();
    void Check();
    void PauseAccepting();
    void Destroy();
    bool Stalled() const;
    // Resets the newest stalled connections until the sending ones are within their bounds;
    // true when a new connection fits.
    static bool MakeRoom();
    void ReleaseResponse();

    bool m_bWaitingForImage = false;
    bool m_bWaitingForRoom = false;
    std::uint64_t m_nSerial = 0; // tells a connection from a later one at the same address
    bool m_bPeerClosed = false;
    bool m_bDraining = false;
    QElapsedTimer m_sinceAccept;
    QElapsedTimer m_sinceDelivered; // since the client had every byte
    QElapsedTimer m_sinceImage;     // since the image was built
    QElapsedTimer m_sinceTaken;     // since the client last took bytes
    std::int64_t m_nLastUntaken = 0;
    QElapsedTimer m_sinceProgress; // since the client last took bytes of its response
    std::int64_t m_nHeld = 0;      // this connection's share of s_nHeldBytes
    QTimer* m_pTimer = nullptr;    // connections: the periodic check; listener: the accept retry

    static std::set<CImageSocket*> s_connections;
    static std::uint64_t s_nLastSerial;
    static int s_nSending;
    static std::int64_t s_nHeldBytes;
    bool m_bCountedSending = false;
    static int s_nSendTimeoutMs;
    static int s_nCeilingMs;
    static int s_nLingerMs;
    static int s_nStallMs;
};
