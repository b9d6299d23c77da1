#include "service/ImageSocket.h"

#include "service/ImageServer.h"

#include <algorithm>
#include <cerrno>

CImageSocket::~CImageSocket()
{
    m_server.Forget(*this);
    ReleaseResponse();
}

void CImageSocket::Destroy()
{
    delete this;
}

void CImageSocket::OnAccept(int)
{
    m_server.OnAccept(*this);
}

void CImageSocket::ReleaseResponse()
{
    m_pResponse.reset();
    m_server.m_nHeldBytes -= m_nHeld;
    m_nHeld = 0;
}

void CImageSocket::Deliver(int nLength, std::unique_ptr<std::uint8_t[]> pResponse)
{
    m_bWaitingForImage = false;
    m_pResponse = std::move(pResponse);
    m_nRemaining = nLength;
    m_nSent = 0;
    m_nHeld = std::max(nLength, 0);
    m_server.m_nHeldBytes += m_nHeld;
    m_sinceProgress.start();
    m_sinceImage.start();
    m_sinceTaken.start();
    m_nLastUntaken = std::max(nLength, 0);
    if (m_nRemaining <= 0)
        ResponseComplete(); // nothing to send: close cleanly
    else
        OnSend(0);
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
        --m_server.m_nSending;
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
