#include "service/ImageServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <vector>

CImageServer::CImageServer(CSnapshotSource& source) : m_source(source)
{
    // One timer looks after every connection, and only while there are any.
    m_checkTimer.setInterval(kCheckIntervalMs);
    QObject::connect(&m_checkTimer, &QTimer::timeout, [this] { CheckAll(); });
    m_acceptRetry.setSingleShot(true);
    QObject::connect(&m_acceptRetry, &QTimer::timeout,
                     [this]
                     {
                         if (m_pListener)
                             m_pListener->EnableReadNotifications(true);
                     });
}

CImageServer::~CImageServer()
{
    StopListening();
    CloseAllConnections();
}

bool CImageServer::Listen(unsigned nPort)
{
    StopListening();
    auto pListener = std::make_unique<CImageSocket>(*this);
    if (!pListener->Create(nPort) || !pListener->Listen(kListenBacklog))
    {
        m_nLastError = pListener->GetLastError();
        return false;
    }
    m_nLastError = 0;
    m_pListener = std::move(pListener);
    return true;
}

void CImageServer::StopListening()
{
    m_acceptRetry.stop();
    if (m_pListener)
        m_pListener->Close();
    m_pListener.reset();
}

unsigned CImageServer::Port() const
{
    return m_pListener ? m_pListener->GetLocalPort() : 0;
}

bool CImageServer::IsIPv6() const
{
    return m_pListener && m_pListener->IsIPv6();
}

void CImageServer::SetTimeouts(int nSendTimeoutMs, int nLingerMs, int nStallMs, int nCeilingMs)
{
    m_nCeilingMs = nCeilingMs;
    m_nSendTimeoutMs = nSendTimeoutMs;
    m_nLingerMs = nLingerMs;
    m_nStallMs = nStallMs;
}

void CImageServer::Forget(CImageSocket& connection)
{
    if (m_connections.erase(&connection) == 0)
        return; // the listener
    if (connection.m_bCountedSending)
        --m_nSending;
    connection.m_bCountedSending = false;
    if (m_connections.empty())
        m_checkTimer.stop();
}

bool CImageServer::IsLive(const CImageSocket* p, std::uint64_t nSerial) const
{
    return m_connections.count(const_cast<CImageSocket*>(p)) != 0 && p->m_nSerial == nSerial;
}

void CImageServer::CloseAllConnections()
{
    while (!m_connections.empty())
        delete *m_connections.begin();
}

void CImageServer::FinishAllConnections(int nGraceMs)
{
    const auto unfinished = [this]
    {
        return std::any_of(m_connections.begin(), m_connections.end(),
                           [](const CImageSocket* p)
                           { return p->m_bWaitingForImage || p->m_nRemaining > 0; });
    };
    // Nothing builds images any more: those still waiting for one are reset at once.
    for (auto it = m_connections.begin(); it != m_connections.end();)
    {
        CImageSocket* p = *it++;
        if (p->m_bWaitingForImage)
        {
            p->Abort();
            delete p;
        }
    }
    QElapsedTimer grace;
    grace.start();
    while (unfinished() && grace.elapsed() < nGraceMs)
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    while (!m_connections.empty())
    {
        CImageSocket* p = *m_connections.begin();
        if (p->m_nRemaining > 0)
            p->Abort();
        delete p;
    }
}

void CImageServer::OnAccept(CImageSocket& listener)
{
    const bool bRoom = LiveConnections() < kMaxOpen && MakeRoom();
    // Every slot taken by clients that read: the next ones wait in the backlog, in turn.
    if (!bRoom && (LiveConnections() >= kMaxOpen || m_nHeldBytes < kMaxHeldBytes))
    {
        PauseAccepting();
        return;
    }
    auto* pConnection = new CImageSocket(*this);
    if (!listener.Accept(*pConnection))
    {
        const int nError = listener.GetLastError();
        delete pConnection;
        if (nError == EMFILE || nError == ENFILE || nError == ENOBUFS || nError == ENOMEM)
            PauseAccepting(); // the pending connection stays readable: retrying at once would spin
        return;
    }
    pConnection->m_nSerial = ++m_nLastSerial;
    pConnection->m_bWaitingForImage = true;
    pConnection->m_sinceAccept.start();
    m_connections.insert(pConnection);
    if (!m_checkTimer.isActive())
        m_checkTimer.start();
    // The bytes held are at their bound and nobody has stalled long enough to be reset yet:
    // the connection waits for room, accepted, and the newest waiting one is served first. So
    // a client that comes after a burst of non-readers is not queued behind all of them.
    if (bRoom)
        StartBuilding(*pConnection);
    else
        pConnection->m_bWaitingForRoom = true;
}

void CImageServer::PauseAccepting()
{
    if (!m_pListener)
        return;
    m_pListener->EnableReadNotifications(false);
    m_acceptRetry.start(kAcceptRetryMs);
}

void CImageServer::StartBuilding(CImageSocket& connection)
{
    connection.m_bWaitingForRoom = false;
    ++m_nSending;
    connection.m_bCountedSending = true;
    // The image is built for the connection now; it may arrive later, when the connection has
    // already gone (then it is dropped), and the connection may be gone when this returns.
    CImageSocket* pConnection = &connection;
    const std::uint64_t nSerial = connection.m_nSerial;
    m_source.BuildSnapshotLater(
        true,
        [this, pConnection, nSerial](int nLength, std::unique_ptr<std::uint8_t[]> pResponse)
        {
            if (IsLive(pConnection, nSerial))
                pConnection->Deliver(nLength, std::move(pResponse));
        });
}

int CImageServer::WaitingForRoom() const
{
    return int(std::count_if(m_connections.begin(), m_connections.end(),
                             [](const CImageSocket* p) { return p->m_bWaitingForRoom; }));
}

bool CImageServer::NewestWaitingForRoom(const CImageSocket& connection) const
{
    return std::none_of(m_connections.begin(), m_connections.end(),
                        [&](const CImageSocket* p)
                        { return p->m_bWaitingForRoom && p->m_nSerial > connection.m_nSerial; });
}

bool CImageServer::Stalled(const CImageSocket& c) const
{
    return !c.m_bWaitingForImage && c.m_nRemaining > 0 && c.m_sinceProgress.isValid() &&
           c.m_sinceProgress.elapsed() >= m_nStallMs;
}

bool CImageServer::MakeRoom()
{
    for (;;)
    {
        int nActive = 0;
        CImageSocket* pNewestStalled = nullptr;
        for (CImageSocket* p : m_connections)
        {
            if (!p->m_bCountedSending)
                continue;
            if (!Stalled(*p))
                ++nActive;
            else if (pNewestStalled == nullptr || p->m_nSerial > pNewestStalled->m_nSerial)
                pNewestStalled = p;
        }
        if (nActive >= kMaxConnections)
            return false; // every slot is taken by a client that is reading
        if (m_nHeldBytes < kMaxHeldBytes)
            return true;
        if (pNewestStalled == nullptr)
            return false; // held by clients that are reading: they free it as they go
        // The newest stalled client goes first: those that waited longest are nearest to
        // being done, or to their timeout.
        pNewestStalled->Abort();
        pNewestStalled->Destroy();
    }
}

void CImageServer::CheckAll()
{
    // A check may end connections, this one or others (making room), and start builds that
    // deliver at once: each is checked only while it still lives.
    std::vector<std::pair<CImageSocket*, std::uint64_t>> connections;
    connections.reserve(m_connections.size());
    for (CImageSocket* p : m_connections)
        connections.emplace_back(p, p->m_nSerial);
    for (const auto& [p, nSerial] : connections)
        if (IsLive(p, nSerial))
            Check(*p);
}

void CImageServer::Check(CImageSocket& c)
{
    if (c.m_bWaitingForRoom)
    {
        // Waiting for room counts against the client, up to the send timeout.
        if (c.m_sinceAccept.elapsed() > m_nSendTimeoutMs)
            c.Destroy();
        else if (NewestWaitingForRoom(c) && MakeRoom())
            StartBuilding(c);
        return;
    }
    if (c.m_bWaitingForImage)
        return; // building the image is not the client's time
    // The client's pace is the bytes it takes: those neither in our block nor in the
    // system's send queue. It is reset only when it takes none for the send timeout (between
    // two successive takes, as a web server's send timeout), or when it has had the whole
    // ceiling for its image.
    const int nQueued = c.PendingOutput();
    const std::int64_t nUntaken =
        std::int64_t(std::max(c.m_nRemaining, 0)) + std::int64_t(std::max(nQueued, 0));
    if (nUntaken < c.m_nLastUntaken)
    {
        c.m_nLastUntaken = nUntaken;
        c.m_sinceTaken.start();
    }
    if (nUntaken > 0 &&
        (c.m_sinceTaken.elapsed() > m_nSendTimeoutMs || c.m_sinceImage.elapsed() > m_nCeilingMs))
    {
        // Reset, so that what the system still holds for it is dropped too rather than
        // trickled out after we are gone.
        c.Abort();
        c.Destroy();
        return;
    }
    if (!c.m_bDraining || nUntaken > 0)
        return;
    if (!c.m_sinceDelivered.isValid())
        c.m_sinceDelivered.start();
    else if (c.m_sinceDelivered.elapsed() >= m_nLingerMs)
        c.Destroy();
}
