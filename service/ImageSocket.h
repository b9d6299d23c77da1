#pragma once
// The image server's socket class, for the listening socket and for every connection. A
// connection sends the one response its server had built for it, then shuts down its sending
// side and reads and discards what the client sends until the client closes; the server
// decides when it starts, how long it may take and when it goes.

#include "platform/net/AsyncSocket.h"

#include <QElapsedTimer>

#include <cstdint>
#include <memory>

class CImageServer;

class CImageSocket : public CAsyncSocket
{
public:
    explicit CImageSocket(CImageServer& server) : m_server(server) {}
    ~CImageSocket() override;

protected:
    void OnAccept(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnReceive(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

private:
    friend class CImageServer;

    // The response has been built: send it.
    void Deliver(int nLength, std::unique_ptr<std::uint8_t[]> pResponse);
    void ResponseComplete();
    void ReleaseResponse();
    void Destroy();

    CImageServer& m_server;
    std::unique_ptr<std::uint8_t[]> m_pResponse;
    int m_nRemaining = -1;
    int m_nSent = 0;
    bool m_bWaitingForImage = false;
    bool m_bWaitingForRoom = false;
    bool m_bCountedSending = false;
    std::uint64_t m_nSerial = 0; // tells a connection from a later one at the same address
    bool m_bPeerClosed = false;
    bool m_bDraining = false;
    QElapsedTimer m_sinceAccept;
    QElapsedTimer m_sinceDelivered; // since the client had every byte
    QElapsedTimer m_sinceImage;     // since the image was built
    QElapsedTimer m_sinceTaken;     // since the client last took bytes
    std::int64_t m_nLastUntaken = 0;
    QElapsedTimer m_sinceProgress; // since the client last took bytes of its response
    std::int64_t m_nHeld = 0;      // this connection's share of the server's held bytes
};
