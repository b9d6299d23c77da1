#include "platform/gdi/DibSource.h"

#include <bit>
#include <cstring>

struct CDibSource::Header
{
    int nWidth = 0;
    int nHeight = 0;
    bool bTopDown = false;
    int nBitCount = 0;
    DWORD nCompression = BI_RGB;
    std::int64_t nStride = 0;
    std::size_t nColorsOffset = 0;
    unsigned nColors = 0;
    std::uint32_t masks[3] = {0, 0, 0};
};

std::optional<CDibSource::Header> CDibSource::ParseHeader(const BYTE* pInfo, std::size_t nInfoLen,
                                                          std::size_t nBitsLen)
{
    if (pInfo == nullptr || nInfoLen < 52)
        return std::nullopt;
    const DWORD nHeaderSize = ReadLE32(pInfo);
    if (nHeaderSize != 40 && nHeaderSize != 52 && nHeaderSize != 56 && nHeaderSize != 108 &&
        nHeaderSize != 124)
        return std::nullopt;
    if (nHeaderSize > nInfoLen)
        return std::nullopt;

    Header h;
    const std::int64_t nWidth = std::int32_t(ReadLE32(pInfo + 4));
    const std::int64_t nHeight = std::int32_t(ReadLE32(pInfo + 8));
    const std::int64_t nRows = nHeight < 0 ? -nHeight : nHeight;
    if (nWidth < 1 || nWidth > kMaxAxis || nRows < 1 || nRows > kMaxAxis)
        return std::nullopt;
    h.nWidth = int(nWidth);
    h.nHeight = int(nRows);
    h.bTopDown = nHeight < 0;
    h.nBitCount = ReadLE16(pInfo + 14);
    h.nCompression = ReadLE32(pInfo + 16);

    switch (h.nBitCount)
    {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        return std::nullopt;
    }
    switch (h.nCompression)
    {
    case BI_RGB:
        break;
    case BI_RLE8:
        if (h.nBitCount != 8 || h.bTopDown)
            return std::nullopt;
        break;
    case BI_RLE4:
        if (h.nBitCount != 4 || h.bTopDown)
            return std::nullopt;
        break;
    case BI_BITFIELDS:
        if (h.nBitCount != 16 && h.nBitCount != 32)
            return std::nullopt;
        break;
    default:
        return std::nullopt;
    }

    if (h.nCompression == BI_BITFIELDS)
    {
        for (int i = 0; i < 3; ++i)
            h.masks[i] = ReadLE32(pInfo + 40 + 4 * i);
    }
    else if (h.nBitCount == 16)
    {
        h.masks[0] = 0x7C00;
        h.masks[1] = 0x03E0;
        h.masks[2] = 0x001F;
    }
    else if (h.nBitCount == 32)
    {
        h.masks[0] = 0xFF0000;
        h.masks[1] = 0x00FF00;
        h.masks[2] = 0x0000FF;
    }

    h.nColorsOffset =
        nHeaderSize + ((h.nCompression == BI_BITFIELDS && nHeaderSize == 40) ? 12 : 0);
    const std::uint64_t nUsed = ReadLE32(pInfo + 32);
    const std::uint64_t nColors = nUsed != 0 ? nUsed : (h.nBitCount <= 8 ? 1u << h.nBitCount : 0);
    if (h.nColorsOffset + nColors * 4 > nInfoLen)
        return std::nullopt;
    h.nColors = unsigned(nColors);

    h.nStride = ((nWidth * h.nBitCount + 31) / 32) * 4;
    if (h.nCompression == BI_RLE8 || h.nCompression == BI_RLE4)
    {
        if (nWidth * nRows > kMaxRlePixels)
            return std::nullopt;
    }
    else if (std::uint64_t(h.nStride * nRows) > nBitsLen)
    {
        return std::nullopt;
    }
    return h;
}

bool CDibSource::WalkRle(const Header& h, const BYTE* pBits, std::size_t nBitsLen,
                         std::vector<BYTE>* pOut)
{
    const bool bRle4 = h.nCompression == BI_RLE4;
    const std::int64_t nW = h.nWidth;
    const std::int64_t nH = h.nHeight;
    std::int64_t x = 0;
    std::int64_t y = 0; // counted from the bottom row
    std::size_t nPos = 0;
    // Pixels past the row's right edge are dropped: common encoders run their runs over the
    // row padding, and the picture itself stays intact.
    auto put = [&](std::int64_t nCount, auto&& index)
    {
        if (pOut != nullptr)
        {
            BYTE* pRow = pOut->data() + (nH - 1 - y) * nW;
            for (std::int64_t i = 0; i < nCount && x + i < nW; ++i)
                pRow[x + i] = index(i);
        }
        x += nCount;
    };

    for (;;)
    {
        if (nPos + 2 > nBitsLen)
            return false; // the data ends before the end-of-bitmap mark
        const BYTE nCount = pBits[nPos];
        const BYTE nValue = pBits[nPos + 1];
        nPos += 2;
        if (nCount > 0)
        {
            if (y >= nH)
                return false;
            if (bRle4)
                put(nCount,
                    [&](std::int64_t i) { return BYTE((i & 1) ? nValue & 0x0F : nValue >> 4); });
            else
                put(nCount, [&](std::int64_t) { return nValue; });
            continue;
        }
        switch (nValue)
        {
        case 0: // end of line
            x = 0;
            ++y;
            if (y > nH)
                return false;
            break;
        case 1: // end of bitmap
            return true;
        case 2: // delta
            if (nPos + 2 > nBitsLen)
                return false;
            x += pBits[nPos];
            y += pBits[nPos + 1];
            nPos += 2;
            if (y > nH)
                return false;
            break;
        default: // absolute run of nValue pixels, padded to a 16-bit boundary
        {
            const std::size_t nBytes = bRle4 ? (nValue + 1u) / 2u : nValue;
            const std::size_t nPadded = (nBytes + 1u) & ~std::size_t(1);
            if (nPos + nPadded > nBitsLen || y >= nH)
                return false;
            const BYTE* pData = pBits + nPos;
            if (bRle4)
                put(nValue,
                    [&](std::int64_t i)
                    {
                        const BYTE b = pData[i / 2];
                        return BYTE((i & 1) ? b & 0x0F : b >> 4);
                    });
            else
                put(nValue, [&](std::int64_t i) { return pData[i]; });
            nPos += nPadded;
            break;
        }
        }
    }
}

bool CDibSource::Validate(const BYTE* pInfo, std::size_t nInfoLen, const BYTE* pBits,
                          std::size_t nBitsLen)
{
    const auto h = ParseHeader(pInfo, nInfoLen, nBitsLen);
    if (!h || pBits == nullptr)
        return false;
    if (h->nCompression == BI_RLE8 || h->nCompression == BI_RLE4)
        return WalkRle(*h, pBits, nBitsLen, nullptr);
    return true;
}

std::optional<CDibSource> CDibSource::Interpret(const BYTE* pInfo, std::size_t nInfoLen,
                                                const BYTE* pBits, std::size_t nBitsLen)
{
    const auto h = ParseHeader(pInfo, nInfoLen, nBitsLen);
    if (!h || pBits == nullptr)
        return std::nullopt;
    CDibSource src;
    if (h->nCompression == BI_RLE8 || h->nCompression == BI_RLE4)
    {
        src.m_rleIndices.assign(std::size_t(h->nWidth) * std::size_t(h->nHeight), 0);
        if (!WalkRle(*h, pBits, nBitsLen, &src.m_rleIndices))
            return std::nullopt;
    }
    src.m_nWidth = h->nWidth;
    src.m_nHeight = h->nHeight;
    src.m_bTopDown = h->bTopDown;
    src.m_nBitCount = h->nBitCount;
    src.m_nCompression = h->nCompression;
    src.m_nStride = h->nStride;
    src.m_pBits = pBits;
    src.m_pColors = pInfo + h->nColorsOffset;
    src.m_nColors = h->nColors;
    for (int i = 0; i < 3; ++i)
        src.m_masks[i] = MakeMask(h->masks[i]);
    return src;
}

CDibSource::Mask CDibSource::MakeMask(std::uint32_t nMask)
{
    Mask m;
    m.nMask = nMask;
    if (nMask != 0)
    {
        m.nShift = std::countr_zero(nMask);
        m.nMax = nMask >> m.nShift;
    }
    return m;
}

BYTE CDibSource::Channel(std::uint32_t nPixel, const Mask& m)
{
    if (m.nMax == 0)
        return 0;
    const std::uint64_t v = (nPixel & m.nMask) >> m.nShift;
    return BYTE(v * 255 / m.nMax);
}

void CDibSource::PaletteColor(unsigned nIndex, BYTE* pOut) const
{
    if (nIndex < m_nColors)
    {
        const BYTE* e = m_pColors + 4 * std::size_t(nIndex);
        pOut[0] = e[0];
        pOut[1] = e[1];
        pOut[2] = e[2];
    }
    else
    {
        pOut[0] = pOut[1] = pOut[2] = 0;
    }
}

const BYTE* CDibSource::Row(int y, BYTE* pScratch) const
{
    const std::int64_t nStored = m_bTopDown ? y : m_nHeight - 1 - y;
    if (IsDirect())
        return m_pBits + m_nStride * nStored;

    BYTE* pOut = pScratch;
    if (!m_rleIndices.empty())
    {
        const BYTE* pIdx = m_rleIndices.data() + std::size_t(y) * std::size_t(m_nWidth);
        for (int x = 0; x < m_nWidth; ++x, pOut += 3)
            PaletteColor(pIdx[x], pOut);
        return pScratch;
    }

    const BYTE* pRow = m_pBits + m_nStride * nStored;
    switch (m_nBitCount)
    {
    case 1:
        for (int x = 0; x < m_nWidth; ++x, pOut += 3)
            PaletteColor((pRow[x >> 3] >> (7 - (x & 7))) & 1, pOut);
        break;
    case 4:
        for (int x = 0; x < m_nWidth; ++x, pOut += 3)
            PaletteColor((x & 1) ? pRow[x >> 1] & 0x0F : pRow[x >> 1] >> 4, pOut);
        break;
    case 8:
        for (int x = 0; x < m_nWidth; ++x, pOut += 3)
            PaletteColor(pRow[x], pOut);
        break;
    case 16:
    case 32:
        for (int x = 0; x < m_nWidth; ++x, pOut += 3)
        {
            const std::uint32_t p =
                m_nBitCount == 16 ? ReadLE16(pRow + 2 * x) : ReadLE32(pRow + 4 * std::size_t(x));
            pOut[0] = Channel(p, m_masks[2]);
            pOut[1] = Channel(p, m_masks[1]);
            pOut[2] = Channel(p, m_masks[0]);
        }
        break;
    default:
        std::memset(pScratch, 0, std::size_t(m_nWidth) * 3);
        break;
    }
    return pScratch;
}
