#pragma once
// One picture encoded as two horizontal strips at once, on this thread and one more, and
// joined into one baseline JPEG. The top strip is a whole number of MCU rows, and the restart
// interval is its number of MCUs: the bottom strip's coded data begins after a restart marker,
// where a decoder starts its predictions afresh, so the strips need nothing of each other. The
// result is, byte for byte, what one writer produces with that restart interval.

#include "imaging/JpegWriter.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class CJpegStrips
{
public:
    // Rows of an MCU with the library's default 2x2 luminance sampling.
    static constexpr int kMcuRows = 16;
    // Pictures smaller than this are encoded whole: a second thread does not pay for them.
    static constexpr std::int64_t kMinPixels = std::int64_t(1) << 18;

    // Rows of the top strip, a multiple of kMcuRows at or above half the picture; 0 when the
    // picture is too short to cut.
    static int TopRows(int nHeight);
    // MCUs in a strip of nRows rows (a multiple of kMcuRows).
    static unsigned RestartInterval(int nWidth, int nRows);

    // Encodes the bottom-up bitmap into out after its first nOffset bytes, as Encode of one
    // writer does; the two writers must have the same quality. 0 on success, -1 on failure
    // (the writers' LastMessage says why).
    static int Encode(CJpegWriter& top, CJpegWriter& bottom, std::vector<std::uint8_t>& bottomBytes,
                      const std::uint8_t* pBottomRow, int nWidth, int nHeight,
                      std::vector<std::uint8_t>& out, std::size_t nOffset);

    // Appends the coded data of the bottom strip (a whole JPEG) to the top one (a whole JPEG
    // from nOffset, with the restart interval) after restart marker 0, and gives the frame
    // its full height. False when either is not laid out as the library writes it.
    static bool Join(std::vector<std::uint8_t>& top, std::size_t nOffset,
                     const std::vector<std::uint8_t>& bottom, int nHeight);
};
