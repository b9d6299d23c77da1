#include "service/ImageServer.h"

#include <algorithm>
#include <cerrno>

CImageServer::CImageServer(CSnapshotSource& source, const CServerLimits& limits)
    : m_source(source), m_limits(limits)
{
    // One timer looks after every connection, and only while there are any.
    m_checkTimer.setInterval(kCheckIntervalMs);
    QObject::connect(&m_checkTimer, &QTimer::timeout, [this] { CheckAll(); });
    m_acceptRetry.setSingleShot(true);
    QObject::connect(&m_acceptRetry, &QTimer::timeout,
                     [this]
                     {
                         for (const auto& p : m_listeners)
                             p->EnableReadNotifications(true);
                     });
    // Connections accepted at the open limit wait until the backlog has been worked off,
    // then the newest is served first.
    m_serveWaiting.setSingleShot(true);
    m_serveWaiting.setInterval(0);
    QObject::connect(&m_serveWaiting, &QTimer::timeout, [this] { ServeWaiting(); });
    m_retireTimer.setSingleShot(true);
    m_retireTimer.setInterval(0);
    QObject::connect(&m_retireTimer, &QTimer::timeout, [this] { m_retired.clear(); });
    m_finishDeadline.setSingleShot(true);
    QObject::connect(&m_finishDeadline, &QTimer::timeout,
                     [this]
                     {
                         // What is still unfinished is reset: never a cut picture that looks
                         // whole.
                         std::vector<CConnection*> open;
                         for (auto& [nSerial, p] : m_connections)
                             open.push_back(p.get());
                         m_bEnding = true;
                         for (CConnection* p : open)
                             p->GetState() == CConnection::State::Draining ? p->End() : p->Reset();
                         m_bEnding = false;
                         FinishIfDone();
                     });
}

CImageServer::~CImageServer()
{
    StopListening();
    m_onFinished = nullptr;
    for (auto& [nSerial, p] : m_connections)
        p->Close();
    m_connections.clear();
}

bool CImageServer::Listen(unsigned nPort, const std::string& strAddress)
{
    StopListening();
    // This machine only is both loopback addresses, so that a client trying either gets in.
    const std::vector<std::string> addresses = strAddress == "localhost"
                                                   ? std::vector<std::string>{"127.0.0.1", "::1"}
                                                   : std::vector<std::string>{strAddress};
    std::vector<std::unique_ptr<CListener>> listeners;
    for (const std::string& address : addresses)
    {
        auto pListener = std::make_unique<CListener>([this](CListener& l) { OnPending(l); });
        // The second address takes the port the first was given.
        const unsigned nOn = listeners.empty() ? nPort : listeners.front()->GetLocalPort();
        if (!pListener->Create(address.c_str(), nOn) || !pListener->Listen(kListenBacklog))
        {
            // A machine without IPv6 has this machine at 127.0.0.1 alone.
            const int nError = pListener->GetLastError();
            if (!listeners.empty() && (nError == EADDRNOTAVAIL || nError == EAFNOSUPPORT))
                continue;
            m_nLastError = nError;
            return false;
        }
        listeners.push_back(std::move(pListener));
    }
    m_nLastError = 0;
    m_listeners = std::move(listeners);
    return true;
}

void CImageServer::StopListening()
{
    m_acceptRetry.stop();
    for (const auto& p : m_listeners)
        p->Close();
    m_listeners.clear();
}

unsigned CImageServer::Port() const
{
    return m_listeners.empty() ? 0 : m_listeners.front()->GetLocalPort();
}

bool CImageServer::IsIPv6() const
{
    return !m_listeners.empty() && m_listeners.front()->IsIPv6();
}

void CImageServer::SetAllowed(CNetworkList allowed, bool bHeaders)
{
    m_allowed = std::move(allowed);
    m_bHeaders = bHeaders;
}

std::int64_t CImageServer::HeldBytes() const
{
    std::int64_t n = 0;
    for (const auto& [nSerial, p] : m_connections)
        n += p->Held();
    return n;
}

int CImageServer::WaitingForRoom() const
{
    return int(std::count_if(
        m_connections.begin(), m_connections.end(),
        [](const auto& c) { return c.second->GetState() == CConnection::State::WaitingForRoom; }));
}

CConnection* CImageServer::Find(std::uint64_t nSerial) const
{
    const auto it = m_connections.find(nSerial);
    return it == m_connections.end() ? nullptr : it->second.get();
}

void CImageServer::Retire(CConnection& connection)
{
    const auto it = m_connections.find(connection.Serial());
    if (it == m_connections.end())
        return;
    if (m_recorder)
    {
        CRecord record;
        record.strPeer = connection.Peer(&record.nPeerPort);
        record.nStatus = connection.Status();
        record.nBytes = connection.Sent();
        record.nMs = connection.Age();
        record.bReset = connection.WasReset();
        m_recorder(record);
    }
    m_retired.push_back(std::move(it->second));
    m_connections.erase(it);
    m_retireTimer.start();
    if (m_connections.empty())
        m_checkTimer.stop();
    FinishIfDone();
}

bool CImageServer::Stalled(const CConnection& c) const
{
    // A picture wholly handed to the system but not taken by the client stalls as well.
    const auto state = c.GetState();
    return (state == CConnection::State::Sending ||
            (state == CConnection::State::Draining && c.Untaken() > 0)) &&
           c.SinceProgress() >= m_limits.nStallMs;
}

void CImageServer::OnPending(CListener& listener)
{
    // Everything pending is taken in one go (up to a batch), so that at the open limit the
    // backlog is worked off before any of what it held is built for.
    bool bServeWaiting = false;
    for (int i = 0; i < kAcceptBatch && AcceptOne(listener, bServeWaiting); ++i)
    {
    }
    if (bServeWaiting)
        m_serveWaiting.start();
}

bool CImageServer::AcceptOne(CListener& listener, bool& bServeWaiting)
{
    if (m_onFinished || m_listeners.empty())
        return false; // the end has begun
    // At the open limit a connection gives way to the new one: the one stalled longest, else
    // the oldest still waiting for its picture. With neither, the next waits in the backlog
    // until the first client that takes nothing counts as stalled.
    const bool bAtLimit = LiveConnections() >= m_limits.nMaxOpen;
    if (bAtLimit && !AdmitByResetting())
    {
        PauseAccepting(UntilFirstStall());
        return false;
    }
    const bool bRoom = !bAtLimit && MakeRoom();
    // Every slot taken by clients that read: the next ones wait in the backlog, in turn.
    if (!bRoom && !bAtLimit && Projected() < m_limits.nMaxHeldBytes)
    {
        PauseAccepting(kAcceptRetryMs);
        return false;
    }
    const std::uint64_t nSerial = m_nLastSerial + 1;
    auto pConnection =
        std::make_unique<CConnection>(nSerial, [this](CConnection& c) { Retire(c); });
    if (!listener.Accept(*pConnection))
    {
        const int nError = listener.GetLastError();
        if (nError == EMFILE || nError == ENFILE || nError == ENOBUFS || nError == ENOMEM)
            PauseAccepting(kAcceptRetryMs); // still pending: retrying at once would spin
        return false;                       // else nothing more is pending
    }
    m_nLastSerial = nSerial;
    CConnection& connection = *pConnection;
    m_connections.emplace(nSerial, std::move(pConnection));
    if (!m_checkTimer.isActive())
        m_checkTimer.start();
    // Read while the socket is open: the address is asked for again after it has closed.
    const std::string& strPeer = connection.Peer();
    if (!m_allowed.AllowsEveryone() && !m_allowed.Allows(strPeer))
    {
        // Refused before anything is built: the status line, then the usual end (what the
        // client sent is read, so that closing never resets the answer away).
        connection.Refuse(m_bHeaders);
        return true;
    }
    // Otherwise the connection waits for room, accepted, and the newest waiting one is served
    // first: at the bytes bound, when nobody has stalled long enough to be reset yet, and at
    // the open limit, once the backlog has been worked off. So a client that comes after a
    // burst of clients that never read is not queued behind all of them.
    if (bRoom)
        StartBuilding(connection);
    else if (bAtLimit)
        bServeWaiting = true;
    return true;
}

void CImageServer::PauseAccepting(int nMs)
{
    if (m_listeners.empty())
        return;
    for (const auto& p : m_listeners)
        p->EnableReadNotifications(false);
    m_acceptRetry.start(nMs);
}

int CImageServer::UntilFirstStall() const
{
    std::int64_t nSoonest = kAcceptRetryMs;
    for (const auto& [nSerial, p] : m_connections)
    {
        const auto state = p->GetState();
        if (state == CConnection::State::Sending || state == CConnection::State::Draining)
            nSoonest = std::min(nSoonest, m_limits.nStallMs - p->SinceProgress());
    }
    return int(std::max<std::int64_t>(nSoonest, 1));
}

void CImageServer::StartBuilding(CConnection& connection)
{
    connection.StartBuilding();
    // The picture may arrive later, when the connection has already gone (then it is
    // dropped), and the connection may be gone when this returns.
    const std::uint64_t nSerial = connection.Serial();
    m_source.BuildSnapshotLater(
        [this, nSerial](int nLength, std::unique_ptr<std::uint8_t[]> pResponse)
        {
            m_nLastResponse = std::max(nLength, 0);
            if (CConnection* p = Find(nSerial))
                p->Deliver(nLength, std::move(pResponse));
            ServeWaiting();
        });
}

std::int64_t CImageServer::Projected() const
{
    const std::int64_t nEach = m_nLastResponse > 0 ? m_nLastResponse : m_limits.nMaxHeldBytes;
    std::int64_t n = 0;
    for (const auto& [nSerial, p] : m_connections)
        n += p->GetState() == CConnection::State::Building ? nEach : p->Held();
    return n;
}

void CImageServer::ServeWaiting()
{
    for (auto it = m_connections.rbegin(); it != m_connections.rend(); ++it)
        if (it->second->GetState() == CConnection::State::WaitingForRoom)
        {
            if (MakeRoom())
                StartBuilding(*it->second);
            return;
        }
}

bool CImageServer::AdmitByResetting()
{
    CConnection* pIdlest = nullptr;
    CConnection* pOldestWaiting = nullptr;
    for (auto& [nSerial, p] : m_connections)
    {
        if (Stalled(*p) && (pIdlest == nullptr || p->SinceProgress() > pIdlest->SinceProgress()))
            pIdlest = p.get();
        if (pOldestWaiting == nullptr && p->GetState() == CConnection::State::WaitingForRoom)
            pOldestWaiting = p.get(); // the map is in serial order
    }
    CConnection* pVictim = pIdlest != nullptr ? pIdlest : pOldestWaiting;
    if (pVictim == nullptr)
        return false;
    pVictim->Reset();
    return true;
}

bool CImageServer::MakeRoom()
{
    for (;;)
    {
        int nActive = 0;
        CConnection* pNewestStalled = nullptr;
        for (auto& [nSerial, p] : m_connections)
        {
            const auto state = p->GetState();
            if (state != CConnection::State::Building && state != CConnection::State::Sending)
                continue;
            if (!Stalled(*p))
                ++nActive;
            else if (state == CConnection::State::Sending)
                pNewestStalled = p.get(); // the map is in serial order; only these hold bytes
        }
        if (nActive >= m_limits.nMaxSending)
            return false; // every slot is taken by a client that is reading
        if (Projected() < m_limits.nMaxHeldBytes)
            return true;
        if (pNewestStalled == nullptr)
            return false; // held by clients that are reading: they free it as they go
        // The newest stalled client goes first: those that waited longest are nearest to
        // being done, or to their timeout.
        pNewestStalled->Reset();
    }
}

void CImageServer::CheckAll()
{
    // A check may end connections, this one or others (making room), and start builds that
    // deliver at once: each is checked only while it still lives.
    std::vector<std::uint64_t> serials;
    serials.reserve(m_connections.size());
    for (const auto& [nSerial, p] : m_connections)
        serials.push_back(nSerial);
    for (std::uint64_t nSerial : serials)
        if (CConnection* p = Find(nSerial))
            Check(*p);
}

void CImageServer::Check(CConnection& c)
{
    switch (c.GetState())
    {
    case CConnection::State::WaitingForRoom:
    {
        // Waiting for room counts against the client, up to the send timeout; the newest
        // waiting goes first.
        const bool bNewest =
            std::none_of(m_connections.upper_bound(c.Serial()), m_connections.end(),
                         [](const auto& e)
                         { return e.second->GetState() == CConnection::State::WaitingForRoom; });
        if (c.InState() > m_limits.nSendTimeoutMs)
            c.Reset();
        else if (bNewest && MakeRoom())
            StartBuilding(c);
        return;
    }
    case CConnection::State::Building:
    case CConnection::State::Done:
        return; // building the picture is not the client's time
    case CConnection::State::Sending:
    case CConnection::State::Draining:
        break;
    }
    // The client's pace is the bytes it takes. It is reset only when it takes none for the
    // send timeout (between two successive takes, as a web server's send timeout), or when
    // it has had the whole ceiling for its picture.
    c.Observe();
    const bool bSending = c.GetState() == CConnection::State::Sending;
    if (c.Untaken() > 0 &&
        (c.SinceProgress() > m_limits.nSendTimeoutMs || c.SinceDelivered() > m_limits.nCeilingMs))
    {
        c.Reset(); // what the system still holds for it is dropped too, not trickled out
        return;
    }
    if (!bSending && c.Untaken() == 0 && c.InState() >= m_limits.nLingerMs)
        c.End();
}

void CImageServer::Finish(int nGraceMs, std::function<void()> done)
{
    StopListening();
    m_onFinished = std::move(done);
    // Nothing builds pictures any more: those still waiting for one are reset at once.
    std::vector<CConnection*> waiting;
    for (auto& [nSerial, p] : m_connections)
        if (p->GetState() == CConnection::State::WaitingForRoom ||
            p->GetState() == CConnection::State::Building)
            waiting.push_back(p.get());
    for (CConnection* p : waiting)
        p->Reset();
    m_finishDeadline.start(nGraceMs);
    // Calls done from the event loop, even when nothing was open.
    QTimer::singleShot(0, &m_finishDeadline, [this] { FinishIfDone(); });
}

void CImageServer::FinishIfDone()
{
    if (!m_onFinished || m_bEnding)
        return;
    // Done when nothing is still being sent; clients that only linger are let go.
    for (const auto& [nSerial, p] : m_connections)
        if (p->GetState() == CConnection::State::Sending)
            return;
    std::vector<CConnection*> lingering;
    for (auto& [nSerial, p] : m_connections)
        lingering.push_back(p.get());
    m_bEnding = true; // each end comes back here through Retire
    for (CConnection* p : lingering)
        p->End();
    m_bEnding = false;
    if (!m_connections.empty())
        return;
    m_finishDeadline.stop();
    auto done = std::move(m_onFinished);
    m_onFinished = nullptr;
    done();
}
