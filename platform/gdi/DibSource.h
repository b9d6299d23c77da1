#pragma once
// Interprets a device-independent bitmap by its own header (40-, 52-, 56-, 108- and 124-byte
// headers; 1, 4, 8, 16, 24 and 32 bits; BI_RGB, BI_BITFIELDS, BI_RLE4, BI_RLE8; bottom-up and
// top-down) and hands out its rows top first as blue-green-red pixels. Every read is
// bounds-checked against the blocks it was given; a DIB that would read outside them, or
// whose decoded size is unreasonable, is refused by Interpret.

#include "platform/gdi/GdiTypes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class CDibSource
{
public:
    static constexpr std::int64_t kMaxAxis = 65500;
    // RLE images are decoded into one byte a pixel; this bounds what a small file may claim.
    static constexpr std::int64_t kMaxRlePixels = std::int64_t(32) << 20;

    // Checks the header and, for RLE, walks the whole run data without writing anything.
    static bool Validate(const BYTE* pInfo, std::size_t nInfoLen, const BYTE* pBits,
                         std::size_t nBitsLen);
    // A source ready to draw from; RLE data is decoded here. Empty when Validate fails.
    static std::optional<CDibSource> Interpret(const BYTE* pInfo, std::size_t nInfoLen,
                                               const BYTE* pBits, std::size_t nBitsLen);

    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }
    bool IsTopDown() const { return m_bTopDown; }
    // True when rows are read straight from the pixel memory with no conversion.
    bool IsDirect() const { return m_nBitCount == 24 && m_nCompression == BI_RGB; }

    // Row y of the picture (0 = top) as width × 3 bytes of blue, green, red. Direct formats
    // return a pointer into the pixel memory; the others convert into pScratch (width × 3).
    const BYTE* Row(int y, BYTE* pScratch) const;

private:
    struct Mask
    {
        std::uint32_t nMask = 0;
        int nShift = 0;
        std::uint64_t nMax = 0;
    };
    struct Header;

    static std::optional<Header> ParseHeader(const BYTE* pInfo, std::size_t nInfoLen,
                                             std::size_t nBitsLen);
    static bool WalkRle(const Header& h, const BYTE* pBits, std::size_t nBitsLen,
                        std::vector<BYTE>* pOut);
    static Mask MakeMask(std::uint32_t nMask);
    static BYTE Channel(std::uint32_t nPixel, const Mask& m);
    void PaletteColor(unsigned nIndex, BYTE* pOut) const;

    int m_nWidth = 0;
    int m_nHeight = 0;
    bool m_bTopDown = false;
    int m_nBitCount = 0;
    DWORD m_nCompression = BI_RGB;
    std::int64_t m_nStride = 0;
    const BYTE* m_pBits = nullptr;
    const BYTE* m_pColors = nullptr;
    unsigned m_nColors = 0;
    Mask m_masks[3];
    std::vector<BYTE> m_rleIndices; // top-down, one palette index a pixel
};
