#pragma once
// The image server: the listening socket and every connection it accepted, which it owns, with
// the bounds they share. Each connection receives one freshly built response, then its sending
// side is shut down and what the client sends is read and discarded until it closes or a
// short linger passes, so a late or long request never resets the picture away.
//
// A client is stalled when it has taken no byte of its picture for the stall time (its
// progress, as the system's send queue shrinks, not ours). The bounds:
//   - at most nMaxSending connections are building or sending at once, stalled ones not
//     counted; beyond that new ones wait in the listen backlog;
//   - the responses not yet sent hold at most nMaxHeldBytes (plus the one being started): at
//     that bound the newest stalled connections are reset to make room, never one that reads;
//     while it is reached and no client has stalled yet, new connections are accepted and wait
//     for room, the newest served first;
//   - at most nMaxOpen are open in all: at that limit the stalled connection that has taken
//     nothing for the longest is reset to admit a new one, or else the oldest connection still
//     waiting for its picture; what is admitted so waits until the backlog has been worked
//     off, and then the newest is served first. So idle clients, however many, never shut a
//     healthy one out; with none to reset, the next waits in the backlog;
//   - a client that takes no byte for the send timeout is reset, however long it has been
//     connected, and one that reads on slowly has up to the ceiling from its picture's build.

#include "service/Connection.h"
#include "service/Listener.h"
#include "service/SnapshotSource.h"
#include "settings/NetworkList.h"

#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct CServerLimits
{
    int nMaxSending = 64;
    int nMaxOpen = 512;
    std::int64_t nMaxHeldBytes = std::int64_t(128) << 20;
    int nStallMs = 500;
    int nSendTimeoutMs = 30000;
    int nCeilingMs = 10 * 60 * 1000;
    int nLingerMs = 2000; // after the last byte, for the client to close
};

class CImageServer
{
public:
    // Connections the system completes and holds for us while we are busy. With a backlog of a
    // few, a burst of clients waits out the kernel's SYN retries, and a client that got a SYN
    // cookie but found the queue full (and sends nothing) waits for ever; so as many as the
    // system allows (it caps this at net.core.somaxconn).
    static constexpr int kListenBacklog = 4096;
    static constexpr int kCheckIntervalMs = 100;
    static constexpr int kAcceptRetryMs = 250;
    static constexpr int kAcceptBatch = 4096; // connections taken in at most per notification

    // Responses are asked of source, which must outlive the server.
    explicit CImageServer(CSnapshotSource& source, const CServerLimits& limits = CServerLimits{});
    // Every connection is closed.
    ~CImageServer();
    CImageServer(const CImageServer&) = delete;
    CImageServer& operator=(const CImageServer&) = delete;

    // Listens on nPort (0: any free port) on every interface, or on one address (as numbers,
    // or "localhost": 127.0.0.1 and ::1), replacing the listening sockets there were; false,
    // with the errno in LastError(), when that cannot be done. The connections already
    // accepted go on either way.
    bool Listen(unsigned nPort, const std::string& strAddress = {});
    // No new connections; those accepted go on.
    void StopListening();
    bool IsListening() const { return !m_listeners.empty(); }
    unsigned Port() const;
    bool IsIPv6() const;
    int LastError() const { return m_nLastError; }
    const CServerLimits& Limits() const { return m_limits; }

    // Who may connect: a client outside is answered at once, before anything is built for it,
    // with a "403 Forbidden" status line when bHeaders, else with a close.
    void SetAllowed(CNetworkList allowed, bool bHeaders);
    // Called as each connection ends, with what became of it.
    struct CRecord
    {
        std::string strPeer; // address as numbers
        unsigned nPeerPort = 0;
        int nStatus = 0; // the response's HTTP status; 0 when none was sent (reset, refused)
        std::int64_t nBytes = 0;
        std::int64_t nMs = 0;
        bool bReset = false;
    };
    void SetRecorder(std::function<void(const CRecord&)> recorder)
    {
        m_recorder = std::move(recorder);
    }

    // Connections open right now.
    int LiveConnections() const { return int(m_connections.size()); }
    // Bytes of responses built and not yet wholly sent.
    std::int64_t HeldBytes() const;
    // Connections accepted that wait for room before their response is built.
    int WaitingForRoom() const;
    // The end: no new connections; those waiting for room or a picture are reset at once, and
    // the responses being sent get up to nGraceMs to finish; what is unfinished then is reset,
    // so no client takes a cut picture for a whole one. done is called from the event loop once
    // every connection has gone.
    void Finish(int nGraceMs, std::function<void()> done);

private:
    // A listening socket has a connection pending.
    void OnPending(CListener& listener);
    // Takes in one pending connection, when the bounds let it; false when none was taken
    // (nothing pending, or accepting paused). bServeWaiting is set when it waits for room at
    // the open limit.
    bool AcceptOne(CListener& listener, bool& bServeWaiting);
    void PauseAccepting(int nMs);
    // Milliseconds until the first connection that takes nothing counts as stalled (at most
    // kAcceptRetryMs).
    int UntilFirstStall() const;
    // Room is there: ask for the connection's picture.
    void StartBuilding(CConnection& connection);
    bool Stalled(const CConnection& connection) const;
    // The bytes held, with those the pictures being built will hold: each as large as the last
    // one delivered (as large as the bound before any was), so that pictures built at once
    // cannot go past the bound together.
    std::int64_t Projected() const;
    // Resets the newest stalled connections until the sending ones are within their bounds;
    // true when a new connection fits.
    bool MakeRoom();
    // Room may have come: the newest connection waiting for it goes first.
    void ServeWaiting();
    // At the limit of open connections: resets the one stalled longest, else the oldest one
    // waiting for room; true when it did.
    bool AdmitByResetting();
    // One pass over every connection: progress, room for those waiting, timeouts, the linger.
    void CheckAll();
    void Check(CConnection& connection);
    CConnection* Find(std::uint64_t nSerial) const;
    // A connection has ended: it is let go once the event loop is back (it may be in the middle
    // of its own notification now).
    void Retire(CConnection& connection);
    void FinishIfDone();

    CSnapshotSource& m_source;
    const CServerLimits m_limits;
    std::vector<std::unique_ptr<CListener>> m_listeners;
    CNetworkList m_allowed;
    bool m_bHeaders = true;
    std::function<void(const CRecord&)> m_recorder;
    int m_nLastError = 0;
    std::map<std::uint64_t, std::unique_ptr<CConnection>> m_connections; // by serial: oldest first
    std::vector<std::unique_ptr<CConnection>> m_retired;
    std::uint64_t m_nLastSerial = 0;
    std::int64_t m_nLastResponse = 0; // bytes of the last response delivered
    QTimer m_checkTimer;              // runs while there are connections
    QTimer m_acceptRetry;             // accepting paused: when to look again
    QTimer m_retireTimer;             // lets go of the retired ones
    QTimer m_serveWaiting;            // serves the newest waiting once accepting has paused
    // The end, once it has begun.
    std::function<void()> m_onFinished;
    QTimer m_finishDeadline;
    bool m_bEnding = false;
};
