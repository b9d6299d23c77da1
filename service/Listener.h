#pragma once
// The image server's listening socket: it says when a connection is waiting, and can stop
// saying so for a while (the server has no room, or no descriptor to take it with).

#include "platform/net/AsyncSocket.h"

#include <functional>

class CListener : public CAsyncSocket
{
public:
    explicit CListener(std::function<void(CListener&)> onPending)
        : m_onPending(std::move(onPending))
    {
    }

protected:
    void OnAccept(int) override { m_onPending(*this); }

private:
    std::function<void(CListener&)> m_onPending;
};
