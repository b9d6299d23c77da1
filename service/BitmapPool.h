#pragma once
// Output bitmaps kept between requests, so that a request does not pay for fresh pages. Only
// bitmaps of the size asked for last are kept, a few of them, and none of a huge custom size.
// Used on one thread.

#include "platform/gdi/DibSection.h"

#include <cstdint>
#include <memory>
#include <vector>

class CBitmapPool
{
public:
    static constexpr std::size_t kMaxKept = 4;
    static constexpr std::int64_t kMaxKeptBytes = std::int64_t(32) << 20;

    // A bitmap of this size, one kept (its pixels as they were left) or a new one (cleared);
    // null when none can be made.
    std::unique_ptr<CDibSection> Acquire(int nWidth, int nHeight);
    // Takes a bitmap back for reuse.
    void Release(std::unique_ptr<CDibSection> pSection);
    std::size_t Kept() const { return m_kept.size(); }

private:
    std::vector<std::unique_ptr<CDibSection>> m_kept;
};
