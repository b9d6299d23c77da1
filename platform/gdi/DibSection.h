#pragma once
// A 24-bit bottom-up device-independent bitmap in memory: rows of blue, green, red, each row
// padded to a multiple of 4 bytes, the bottom row first, zero-filled at creation.

#include "platform/gdi/GdiTypes.h"

#include <cstdint>
#include <cstdlib>
#include <memory>

class CDibSection
{
public:
    static constexpr int kMaxAxis = 65500;
    static constexpr std::int64_t kMaxBytes = 0x7FFFFFFF;

    // Fails (returns null) for a non-positive or unreasonable size, or when memory runs out.
    static std::unique_ptr<CDibSection> Create(int nWidth, int nHeight);

    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }
    std::int64_t Stride() const { return m_nStride; }
    std::int64_t ImageBytes() const { return m_nStride * m_nHeight; }
    BYTE* Bits() { return m_pBits.get(); }
    const BYTE* Bits() const { return m_pBits.get(); }
    // Row y counted from the top of the picture.
    BYTE* RowFromTop(int y) { return m_pBits.get() + m_nStride * (m_nHeight - 1 - y); }
    const BYTE* RowFromTop(int y) const { return m_pBits.get() + m_nStride * (m_nHeight - 1 - y); }
    // The 40-byte header that describes this bitmap (size 40, planes 1, 24 bits, BI_RGB, rest 0).
    const BITMAPINFOHEADER& Info() const { return m_info; }

private:
    struct FreeDeleter
    {
        void operator()(BYTE* p) const { std::free(p); }
    };
    CDibSection() = default;

    int m_nWidth = 0;
    int m_nHeight = 0;
    std::int64_t m_nStride = 0;
    BITMAPINFOHEADER m_info{};
    std::unique_ptr<BYTE, FreeDeleter> m_pBits;
};
