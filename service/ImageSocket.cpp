#include "service/ImageSocket.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cerrno>

std::set<CImageSocket*> CImageSocket::s_connections;
std::uint64_t CImageSocket::s_nLastSerial = 0;
int CImageSocket::s_nSending = 0;
std::int64_t CImageSocket::s_nHeldBytes = 0;
int CImageSocket::s_nSendTimeoutMs = CImageSocket::kSendTimeoutMs;
int CImageSocket::s_nCeilingMs = CImageSocket::kCeilingMs;
int CImageSocket::s_nLingerMs = CImageSocket::kLingerMs;
int CImageSocket::s_nStallMs = CImageSocket::kStallMs;

void CImageSocket::SetTimeouts(int nSendTimeoutMs, int nLingerMs, int nStallMs, int nCeilingMs)
{
    s_nCeilingMs = nCeilingMs;
    s_nSendTimeoutMs = nSendTimeoutMs;
    s_nLingerMs = nLingerMs;
    s_nStallMs = nStallMs;
}

CImageSocket::CImageSocket() = default;

CImageSocket::~CImageSocket()
{
    s_connections.erase(this);
    if (m_bCountedSending)
        --s_nSending;
    ReleaseResponse();
    if (m_pTimer != nullptr)
    {
        m_pTimer->stop();
        m_pTimer->deleteLater(); // it may be the timer whose signal is being delivered
    }
}

void CImageSocket::CloseAllConnections()
{
    while (!s_connections.empty())
        delete *s_connections.begin();
}

void CImageSocket::FinishAllConnections(int nGraceMs)
{
    const auto unfinished = []
    {
        for (CImageSocket* p : s_connections)
            if (p->m_bWaitingForImage || p->m_nRemaining > 0)
                return true;
        return false;
    };
    // Nothing builds images any more: those still waiting for one are reset at once.
    for (auto it = s_connections.begin(); it != s_connections.end();)
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
    while (!s_connections.empty())
    {
        CImageSocket* p = *s_connections.begin();
        if (p->m_nRemaining > 0)
            p->Abort();
        delete p;
    }
}

void CImageSocket::Destroy()
{
    delete this;
}

void CImageSocket::OnAccept(int)
{
    if (m_pView == nullptr)
        return;
    const bool bRoom = LiveConnections() < kMaxOpen && MakeRoom();
    // Every slot taken by clients that read: the next ones wait in the backlog, in turn.
    if (!bRoom && (LiveConnections() >= kMaxOpen || s_nHeldBytes < kMaxHeldBytes))
    {
        PauseAccepting();
        return;
    }
    auto* pConnection = new CImageSocket;
    pConnection->SetView(m_pView);
    pConnection->m_nSent = 0;
    if (!Accept(*pConnection))
    {
        const int nError = GetLastError();
        delete pConnection;
        if (nError == EMFILE || nError == ENFILE || nError == ENOBUFS || nError == ENOMEM)
            PauseAccepting(); // the pending connection stays readable: retrying at once would spin
        return;
    }
    pConnection->Started();
    // The bytes held are at their bound and nobody has stalled long enough to be reset yet:
    // the connection waits for room, accepted, and the newest waiting one is served first. So
    // a client that comes after a burst of non-readers is not queued behind all of them.
    if (bRoom)
        pConnection->StartBuilding();
    else
        pConnection->m_bWaitingForRoom = true;
}

void CImageSocket::StartBuilding()
{
    m_bWaitingForRoom = false;
    ++s_nSending;
    m_bCountedSending = true;
    // The image is built for the connection now; it may arrive later, when the connection has
    // already gone (then it is dropped), and the connection may be gone when this returns.
    CImageSocket* pConnection = this;
    const std::uint64_t nSerial = m_nSerial;
    m_pView->BuildSnapshotLater(
        true,
        [pConnection, nSerial](int nLength, std::unique_ptr<std::uint8_t[]> pResponse)
        {
            if (s_connections.count(pConnection) != 0 && pConnection->m_nSerial == nSerial)
                pConnection->Deliver(nLength, std::move(pResponse));
        });
}

int CImageSocket::WaitingForRoom()
{
    return int(std::count_if(s_connections.begin(), s_connections.end(),
                             [](const CImageSocket* p) { return p->m_bWaitingForRoom; }));
}

bool CImageSocket::NewestWaitingForRoom() const
{
    for (const CImageSocket* p : s_connections)
        if (p->m_bWaitingForRoom && p->m_nSerial > m_nSerial)
            return false;
    return true;
}

bool CImageSocket::Stalled() const
{
    return !m_bWaitingForImage && m_nRemaining > 0 && m_sinceProgress.isValid() &&
           m_sinceProgress.elapsed() >= s_nStallMs;
}

bool CImageSocket::MakeRoom()
{
    for (;;)
    {
        int nActive = 0;
        CImageSocket* pNewestStalled = nullptr;
        for (CImageSocket* p : s_connections)
        {
            if (!p->m_bCountedSending)
                continue;
            if (!p->Stalled())
                ++nActive;
            else if (pNewestStalled == nullptr || p->m_nSerial > pNewestStalled->m_nSerial)
                pNewestStalled = p;
        }
        if (nActive >= kMaxConnections)
            return false; // every slot is taken by a client that is reading
        if (s_nHeldBytes < kMaxHeldBytes)
            return true;
        if (pNewestStalled == nullptr)
            return false; // held by clients that are reading: they free it as they go
        // The newest stalled client goes first: those that waited longest are nearest to
        // being done, or to their timeout.
        pNewestStalled->Abort();
        pNewestStalled->Destroy();
    }
}

void CImageSocket::ReleaseResponse()
{
    m_pResponse.reset();
    s_nHeldBytes -= m_nHeld;
    m_nHeld = 0;
}

void CImageSocket::Deliver(int nLength, std::unique_ptr<std::uint8_t[]> pResponse)
{
    m_bWaitingForImage = false;
    m_pResponse = std::move(pResponse);
    m_nRemaining = nLength;
    m_nSent = 0;
    m_nHeld = std::max(nLength, 0);
    s_nHeldBytes += m_nHeld;
    m_sinceProgress.start();
    m_sinceImage.start();
    m_sinceTaken.start();
    m_nLastUntaken = std::max(nLength, 0);
    if (m_nRemaining <= 0)
        ResponseComplete(); // nothing to send: close cleanly
    else
        OnSend(0);
}

void CImageSocket::PauseAccepting()
{
    EnableReadNotifications(false);
    if (m_pTimer == nullptr)
    {
        m_pTimer = new QTimer;
        m_pTimer->setSingleShot(true);
        QObject::connect(m_pTimer, &QTimer::timeout, m_pTimer,
                         [this] { EnableReadNotifications(true); });
    }
    m_pTimer->start(kAcceptRetryMs);
}

void CImageSocket::Started()
{
    m_nSerial = ++s_nLastSerial;
    m_bWaitingForImage = true;
    s_connections.insert(this);
    m_sinceAccept.start();
    m_pTimer = new QTimer;
    m_pTimer->setInterval(kCheckIntervalMs);
    QObject::connect(m_pTimer, &QTimer::timeout, m_pTimer, [this] { Check(); });
    m_pTimer->start();
}

void CImageSocket::OnSend(int nErrorCode)
{
    if (m_bDraining || (!m_bWaitingForImage && m_nRemaining == -1))
        return;
    if (nErrorCode != 0)
    {
        Destroy();
        return;
    }
    if (m_bWaitingForImage)
        return; // sent when it arrives
    while (m_nRemaining > 0)
    {
        const int n = Send(m_pResponse.get() + m_nSent, m_nRemaining);
        if (n == SOCKET_ERROR)
        {
            if (GetLastError() != EWOULDBLOCK)
                Destroy(); // the client is gone
            return;        // otherwise a send notification follows when there is room
        }
        m_nSent += n;
        m_nRemaining -= n;
        if (n > 0)
            m_sinceProgress.start();
    }
    ResponseComplete();
}

void CImageSocket::ResponseComplete()
{
    ReleaseResponse();
    m_nRemaining = -1;
    if (m_bCountedSending)
    {
        --s_nSending;
        m_bCountedSending = false;
    }
    if (m_bPeerClosed)
    {
        Destroy();
        return;
    }
    // The client reads the rest of the image and sees the end of the stream; what it still
    // sends is read and discarded, so closing never resets unread data away.
    ShutDown(sends);
    m_bDraining = true;
}

void CImageSocket::OnReceive(int)
{
    char buffer[16384];
    for (int i = 0; i < 16; ++i)
    {
        const int n = Receive(buffer, sizeof buffer);
        if (n > 0)
            continue;
        if (n == 0)
            OnClose(0);
        else if (GetLastError() != EWOULDBLOCK)
            Destroy();
        return;
    }
}

void CImageSocket::OnConnect(int)
{
    m_nRemaining = -1;
}

void CImageSocket::OnClose(int nErrorCode)
{
    if (nErrorCode != 0 || m_bDraining)
    {
        Destroy(); // reset, or the client is done after the whole image
        return;
    }
    m_bPeerClosed = true; // a half-close: the image is still sent in full
}

void CImageSocket::Check()
{
    if (m_bWaitingForRoom)
    {
        // Waiting for room counts against the client, up to the send timeout.
        if (m_sinceAccept.elapsed() > s_nSendTimeoutMs)
            Destroy();
        else if (NewestWaitingForRoom() && MakeRoom())
            StartBuilding();
        return;
    }
    if (m_bWaitingForImage)
        return; // building the image is not the client's time
    // The client's pace is the bytes it takes: those neither in our block nor in the
    // system's send queue. It is reset only when it takes none for the send timeout (between
    // two successive takes, as a web server's send timeout), or when it has had the whole
    // ceiling for its image.
    const int nQueued = PendingOutput();
    const std::int64_t nUntaken =
        std::int64_t(std::max(m_nRemaining, 0)) + std::int64_t(std::max(nQueued, 0));
    if (nUntaken < m_nLastUntaken)
    {
        m_nLastUntaken = nUntaken;
        m_sinceTaken.start();
    }
    if (nUntaken > 0 &&
        (m_sinceTaken.elapsed() > s_nSendTimeoutMs || m_sinceImage.elapsed() > s_nCeilingMs))
    {
        // Reset, so that what the system still holds for it is dropped too rather than
        // trickled out after we are gone.
        Abort();
        Destroy();
        return;
    }
    if (!m_bDraining || nUntaken > 0)
        return;
    if (!m_sinceDelivered.isValid())
        m_sinceDelivered.start();
    else if (m_sinceDelivered.elapsed() >= s_nLingerMs)
        Destroy();
}
