#include "service/Connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

CConnection::CConnection(std::uint64_t nSerial, std::function<void(CConnection&)> onDone)
    : m_nSerial(nSerial), m_onDone(std::move(onDone))
{
    m_clock.start();
}

void CConnection::Enter(State state)
{
    m_state = state;
    m_nStateMs = m_clock.elapsed();
    m_nProgressMs = m_nStateMs;
}

std::int64_t CConnection::Untaken() const
{
    if (m_state != State::Sending && m_state != State::Draining)
        return 0;
    return m_nRemaining + std::max(PendingOutput(), 0);
}

void CConnection::Observe()
{
    const std::int64_t nUntaken = Untaken();
    if (nUntaken < m_nLastUntaken)
        m_nProgressMs = m_clock.elapsed();
    m_nLastUntaken = nUntaken;
}

void CConnection::Deliver(int nLength, std::unique_ptr<std::uint8_t[]> pResponse)
{
    if (m_state != State::Building)
        return;
    m_pResponse = std::move(pResponse);
    m_nRemaining = std::max(nLength, 0);
    m_nSent = 0;
    // Its status line's code; a response without a header is a picture, and none at all is
    // a failure that had no way to say so.
    m_nStatus = m_nRemaining == 0 ? 503 : 200;
    const char* p = reinterpret_cast<const char*>(m_pResponse.get());
    if (m_nRemaining >= 12 && std::memcmp(p, "HTTP/1.0 ", 9) == 0)
        m_nStatus = (p[9] - '0') * 100 + (p[10] - '0') * 10 + (p[11] - '0');
    Enter(State::Sending);
    m_nDeliveredMs = m_nStateMs;
    m_nLastUntaken = m_nRemaining;
    if (m_nRemaining == 0)
        Complete(); // nothing to send: close cleanly
    else
        OnSend(0);
}

void CConnection::OnSend(int nErrorCode)
{
    if (m_state != State::Sending)
        return; // a picture still being built is sent when it arrives
    if (nErrorCode != 0)
    {
        Reset();
        return;
    }
    while (m_nRemaining > 0)
    {
        const int n =
            Send(m_pResponse.get() + m_nSent, int(std::min<std::int64_t>(m_nRemaining, 1 << 30)));
        if (n == SOCKET_ERROR)
        {
            if (GetLastError() != EWOULDBLOCK)
                Reset(); // the client is gone
            else
                Observe(); // room again means the client took bytes
            return;        // otherwise a send notification follows when there is room
        }
        m_nSent += n;
        m_nRemaining -= n;
    }
    Complete();
}

void CConnection::Complete()
{
    m_pResponse.reset();
    m_nRemaining = 0;
    if (m_bPeerClosed)
    {
        End();
        return;
    }
    // The client reads the rest of the picture and sees the end of the stream; what it still
    // sends is read and discarded, so closing never resets unread data away.
    ShutDown(sends);
    Enter(State::Draining);
    m_nLastUntaken = Untaken();
}

void CConnection::OnReceive(int)
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
            Reset();
        return;
    }
}

void CConnection::OnClose(int nErrorCode)
{
    if (nErrorCode != 0 || m_state == State::Draining)
    {
        End(); // reset, or the client is done after the whole picture
        return;
    }
    m_bPeerClosed = true; // a half-close: the picture is still sent in full
}

void CConnection::End()
{
    if (m_state == State::Done)
        return;
    Close();
    m_pResponse.reset();
    m_nRemaining = 0;
    Enter(State::Done);
    m_onDone(*this);
}

void CConnection::Reset()
{
    if (m_state == State::Done)
        return;
    m_bReset = true;
    Abort();
    End();
}

void CConnection::Refuse(bool bHeaders)
{
    static constexpr char kForbidden[] = "HTTP/1.0 403 Forbidden\r\n\r\n";
    const int nLength = bHeaders ? int(sizeof kForbidden - 1) : 0;
    auto pResponse = std::make_unique<std::uint8_t[]>(sizeof kForbidden);
    std::memcpy(pResponse.get(), kForbidden, sizeof kForbidden);
    StartBuilding();
    Deliver(nLength, std::move(pResponse));
    if (!bHeaders)
        m_nStatus = 403;
}

const std::string& CConnection::Peer(unsigned* pnPort) const
{
    if (m_strPeer.empty())
        m_strPeer = GetPeerName(&m_nPeerPort);
    if (pnPort != nullptr)
        *pnPort = m_nPeerPort;
    return m_strPeer;
}
