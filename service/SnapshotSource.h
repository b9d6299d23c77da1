#pragma once
// What the server asks of the view: the complete bytes of one response.

#include <cstdint>
#include <memory>

class CSnapshotSource
{
public:
    virtual ~CSnapshotSource() = default;
    // The response in a new block of exactly its length (0: nothing to send, only close).
    virtual int BuildSnapshot(std::unique_ptr<std::uint8_t[]>& pResponse,
                              bool bIncludeStatusLine) = 0;
};
