#pragma once
// What the server asks for: the complete bytes of one response.

#include <cstdint>
#include <functional>
#include <memory>

class CSnapshotSource
{
public:
    virtual ~CSnapshotSource() = default;
    // The response, in a new block of exactly its length (0: nothing to send, only close),
    // handed to done on this thread: at once, or later when part of the work is done
    // elsewhere. done is called exactly once unless the source is destroyed first.
    using Delivery = std::function<void(int nLength, std::unique_ptr<std::uint8_t[]> pResponse)>;
    virtual void BuildSnapshotLater(Delivery done) = 0;
};
