#pragma once
// One client of the image server, from its accept to its end, in one state and on one clock:
//   WaitingForRoom - accepted while the server has no room; nothing is asked for it yet;
//   Building       - its picture is being built (that time is not the client's);
//   Sending        - its picture goes out as fast as the client takes it;
//   Draining       - all sent, its sending side shut down: what the client still sends is
//                    read and discarded until it closes (or the server's linger ends);
//   Done           - closed: the server lets it go.
// The client's progress is the bytes of its picture it has taken (neither in our block nor
// in the system's send queue); Observe samples it. The connection never decides its own end:
// it tells its server, which owns it, when it is done.

#include "platform/net/AsyncSocket.h"

#include <QElapsedTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CConnection : public CAsyncSocket
{
public:
    enum class State
    {
        WaitingForRoom,
        Building,
        Sending,
        Draining,
        Done,
    };

    // onDone is called (once) when the connection has closed; the server then lets it go.
    CConnection(std::uint64_t nSerial, std::function<void(CConnection&)> onDone);

    State GetState() const { return m_state; }
    std::uint64_t Serial() const { return m_nSerial; }
    // Milliseconds in its present state; since the client last took bytes of its picture
    // (while Sending or Draining, else since its state began).
    std::int64_t InState() const { return m_clock.elapsed() - m_nStateMs; }
    std::int64_t SinceProgress() const { return m_clock.elapsed() - m_nProgressMs; }
    // Milliseconds since its picture arrived (0 before).
    std::int64_t SinceDelivered() const
    {
        return m_nDeliveredMs < 0 ? 0 : m_clock.elapsed() - m_nDeliveredMs;
    }
    // Bytes of its picture still in our block, and those the client has not taken yet.
    std::int64_t Held() const { return m_nRemaining; }
    std::int64_t Untaken() const;

    void StartBuilding() { Enter(State::Building); }
    // A client that may not connect: "403 Forbidden" (bHeaders) or nothing, then the end.
    void Refuse(bool bHeaders);
    // Its picture: sent from now on (an empty one ends the connection cleanly).
    void Deliver(int nLength, std::unique_ptr<std::uint8_t[]> pResponse);
    // Notes whether the client took bytes since the last look.
    void Observe();
    // Ends it cleanly (a drained client that lingered), or with a reset, which drops what the
    // system still holds for it, so that a cut picture never looks whole.
    void End();
    void Reset();

    // What became of it, for a log: the client, the response's HTTP status (0 before one was
    // sent), the bytes handed to the system, the milliseconds since its accept, and whether it
    // ended with a reset.
    const std::string& Peer(unsigned* pnPort = nullptr) const;
    int Status() const { return m_nStatus; }
    std::int64_t Sent() const { return m_nSent; }
    std::int64_t Age() const { return m_clock.elapsed(); }
    bool WasReset() const { return m_bReset; }

protected:
    void OnSend(int nErrorCode) override;
    void OnReceive(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

private:
    void Enter(State state);
    void Complete();

    const std::uint64_t m_nSerial; // tells a connection from a later one at the same address
    std::function<void(CConnection&)> m_onDone;
    State m_state = State::WaitingForRoom;
    QElapsedTimer m_clock; // from the accept
    std::int64_t m_nStateMs = 0;
    std::int64_t m_nProgressMs = 0;
    std::int64_t m_nDeliveredMs = -1;
    std::int64_t m_nLastUntaken = 0;
    bool m_bPeerClosed = false; // the client half-closed: its picture still goes in full
    std::unique_ptr<std::uint8_t[]> m_pResponse;
    std::int64_t m_nRemaining = 0;
    std::int64_t m_nSent = 0;
    int m_nStatus = 0;
    bool m_bReset = false;
    mutable std::string m_strPeer; // read once, when first asked for
    mutable unsigned m_nPeerPort = 0;
};
