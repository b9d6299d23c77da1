#include "platform/gdi/MemoryDC.h"

#include "platform/gdi/DibSource.h"

#include <QImage>
#include <QPainter>
#include <QString>
#include <QTextLayout>

#include <algorithm>
#include <cstring>
#include <utility>

CDibSection* CMemoryDC::SelectBitmap(CDibSection* pSection)
{
    CDibSection* pOld = m_pSection;
    m_pSection = pSection;
    return pOld;
}

const CPalette* CMemoryDC::SelectPalette(const CPalette* pPalette, bool)
{
    const CPalette* pOld = m_state.pPalette;
    m_state.pPalette = pPalette;
    return pOld;
}

int CMemoryDC::SetStretchBltMode(int nMode)
{
    return std::exchange(m_state.nStretchMode, nMode);
}

COLORREF CMemoryDC::SetBkColor(COLORREF c)
{
    return std::exchange(m_state.bkColor, c);
}

COLORREF CMemoryDC::SetTextColor(COLORREF c)
{
    return std::exchange(m_state.textColor, c);
}

int CMemoryDC::SetBkMode(int nMode)
{
    return std::exchange(m_state.nBkMode, nMode);
}

int CMemoryDC::SaveDC()
{
    m_saved.push_back(m_state);
    return int(m_saved.size());
}

bool CMemoryDC::RestoreDC(int nLevel)
{
    const int nCount = int(m_saved.size());
    const int nTarget = nLevel < 0 ? nCount + nLevel + 1 : nLevel;
    if (nTarget < 1 || nTarget > nCount)
        return false;
    m_state = m_saved[std::size_t(nTarget - 1)];
    m_saved.resize(std::size_t(nTarget - 1));
    return true;
}

int CMemoryDC::SetDIBitsToDevice(int xDest, int yDest, int nWidth, int nHeight, int xSrc, int ySrc,
                                 unsigned nStartScan, unsigned nScanLines, const BYTE* pBits,
                                 std::size_t nBitsLen, const BYTE* pInfo, std::size_t nInfoLen)
{
    const auto src = CDibSource::Interpret(pInfo, nInfoLen, pBits, nBitsLen);
    if (!src || nStartScan != 0)
        return 0;
    const int nTop = src->Height() - (ySrc + nHeight);
    if (!Blit(*src, xDest, yDest, nWidth, nHeight, xSrc, nTop, nWidth, nHeight, nullptr))
        return 0;
    return int(std::min<unsigned>(nScanLines, unsigned(src->Height())));
}

int CMemoryDC::StretchDIBits(int xDest, int yDest, int nDestWidth, int nDestHeight, int xSrc,
                             int ySrc, int nSrcWidth, int nSrcHeight, const BYTE* pBits,
                             std::size_t nBitsLen, const BYTE* pInfo, std::size_t nInfoLen)
{
    const auto src = CDibSource::Interpret(pInfo, nInfoLen, pBits, nBitsLen);
    if (!src)
        return 0;
    const int nTop = src->Height() - (ySrc + nSrcHeight);
    if (!Blit(*src, xDest, yDest, nDestWidth, nDestHeight, xSrc, nTop, nSrcWidth, nSrcHeight,
              nullptr))
        return 0;
    return nDestHeight;
}

bool CMemoryDC::TransparentDIBits(const RECT& dest, const RECT& srcRect, const BYTE* pBits,
                                  std::size_t nBitsLen, const BYTE* pInfo, std::size_t nInfoLen,
                                  COLORREF key)
{
    const auto src = CDibSource::Interpret(pInfo, nInfoLen, pBits, nBitsLen);
    if (!src)
        return false;
    Blit(*src, dest.left, dest.top, dest.right - dest.left, dest.bottom - dest.top, srcRect.left,
         srcRect.top, srcRect.right - srcRect.left, srcRect.bottom - srcRect.top, &key);
    return true;
}

bool CMemoryDC::Blit(const CDibSource& src, int xDest, int yDest, int nDestWidth, int nDestHeight,
                     int xSrc, int ySrcTop, int nSrcWidth, int nSrcHeight, const COLORREF* pKey)
{
    if (m_pSection == nullptr || nDestWidth <= 0 || nDestHeight <= 0 || nSrcWidth <= 0 ||
        nSrcHeight <= 0)
        return false;

    const std::int64_t nSurfW = m_pSection->Width();
    const std::int64_t nSurfH = m_pSection->Height();
    const std::int64_t i0 = std::max<std::int64_t>(0, -std::int64_t(xDest));
    const std::int64_t i1 = std::min<std::int64_t>(nDestWidth, nSurfW - xDest);
    const std::int64_t j0 = std::max<std::int64_t>(0, -std::int64_t(yDest));
    const std::int64_t j1 = std::min<std::int64_t>(nDestHeight, nSurfH - yDest);
    if (i0 >= i1 || j0 >= j1)
        return true; // wholly outside: nothing to draw, not a failure

    // Byte offset of the source pixel for every visible destination column; -1 when the
    // column maps outside the picture.
    std::vector<std::int64_t> xmap(std::size_t(i1 - i0));
    bool bAllInside = true;
    for (std::int64_t i = i0; i < i1; ++i)
    {
        const std::int64_t sx = xSrc + i * nSrcWidth / nDestWidth;
        const bool bInside = sx >= 0 && sx < src.Width();
        xmap[std::size_t(i - i0)] = bInside ? sx * 3 : -1;
        bAllInside = bAllInside && bInside;
    }
    const bool bIdentityRun = nDestWidth == nSrcWidth && bAllInside;
    // Columns that can be copied four bytes at a time: neither the source pixel nor the
    // destination one is the last of its row.
    std::size_t nWideColumns = 0;
    const std::int64_t nLastSource = (std::int64_t(src.Width()) - 1) * 3;
    while (nWideColumns + 1 < xmap.size() && xmap[nWideColumns] >= 0 &&
           xmap[nWideColumns] < nLastSource)
        ++nWideColumns;

    const BYTE kb = GetBValue(pKey ? *pKey : 0);
    const BYTE kg = GetGValue(pKey ? *pKey : 0);
    const BYTE kr = GetRValue(pKey ? *pKey : 0);
    std::vector<BYTE> scratch(src.IsDirect() ? 0 : std::size_t(src.Width()) * 3);
    std::int64_t nCachedRow = -1;
    const BYTE* pSrcRow = nullptr;
    // Without a key a destination row depends on its source row alone: a row drawn from the
    // same source row as the one above it (an enlargement) is a copy of that one.
    const BYTE* pLastDrawn = nullptr;
    std::int64_t nLastDrawnSource = -1;
    for (std::int64_t j = j0; j < j1; ++j)
    {
        const std::int64_t sy = ySrcTop + j * nSrcHeight / nDestHeight;
        if (sy < 0 || sy >= src.Height())
            continue;
        BYTE* pDst = m_pSection->RowFromTop(int(yDest + j)) + (xDest + i0) * 3;
        if (!pKey && sy == nLastDrawnSource)
        {
            std::memcpy(pDst, pLastDrawn, std::size_t(i1 - i0) * 3);
            continue;
        }
        pLastDrawn = pDst;
        nLastDrawnSource = sy;
        if (sy != nCachedRow)
        {
            pSrcRow = src.Row(int(sy), scratch.data());
            nCachedRow = sy;
        }
        if (bIdentityRun && !pKey)
        {
            std::memcpy(pDst, pSrcRow + xmap[0], std::size_t(i1 - i0) * 3);
            continue;
        }
        if (bIdentityRun)
        {
            // Unscaled with a key: walk both rows in step.
            const BYTE* p = pSrcRow + xmap[0];
            for (std::int64_t n = i1 - i0; n > 0; --n, p += 3, pDst += 3)
            {
                if (p[0] == kb && p[1] == kg && p[2] == kr)
                    continue;
                pDst[0] = p[0];
                pDst[1] = p[1];
                pDst[2] = p[2];
            }
            continue;
        }
        if (bAllInside && !pKey)
        {
            // Four bytes at a time, each store's last byte overwritten by the next pixel; the
            // pixels taken from the source row's last one, which has no fourth byte, with three.
            std::size_t k = 0;
            for (; k < nWideColumns; ++k, pDst += 3)
            {
                std::uint32_t v;
                std::memcpy(&v, pSrcRow + xmap[k], 4);
                std::memcpy(pDst, &v, 4);
            }
            for (; k < xmap.size(); ++k, pDst += 3)
                std::memcpy(pDst, pSrcRow + xmap[k], 3);
            continue;
        }
        for (std::size_t k = 0; k < xmap.size(); ++k, pDst += 3)
        {
            const std::int64_t off = xmap[k];
            if (off < 0)
                continue;
            const BYTE* p = pSrcRow + off;
            if (pKey && p[0] == kb && p[1] == kg && p[2] == kr)
                continue;
            pDst[0] = p[0];
            pDst[1] = p[1];
            pDst[2] = p[2];
        }
    }
    return true;
}

void CMemoryDC::FillSolidRect(const RECT& rc, COLORREF c)
{
    if (m_pSection == nullptr)
        return;
    const int x0 = std::max(0, rc.left);
    const int x1 = std::min(m_pSection->Width(), rc.right);
    const int y0 = std::max(0, rc.top);
    const int y1 = std::min(m_pSection->Height(), rc.bottom);
    for (int y = y0; y < y1; ++y)
    {
        BYTE* p = m_pSection->RowFromTop(y) + std::int64_t(x0) * 3;
        for (int x = x0; x < x1; ++x, p += 3)
        {
            p[0] = GetBValue(c);
            p[1] = GetGValue(c);
            p[2] = GetRValue(c);
        }
    }
}

const CFont* CMemoryDC::SelectFont(const CFont* pFont)
{
    return std::exchange(m_state.pFont, pFont);
}

const QFont& CMemoryDC::CurrentFont() const
{
    return m_state.pFont != nullptr ? m_state.pFont->QtFont() : m_defaultFont.QtFont();
}

void CMemoryDC::SetTextCache(CTextCache* pCache)
{
    m_pTextCache = pCache;
}

CTextCache::CEntry& CMemoryDC::Shape(const std::string& strText) const
{
    CTextCache& cache = m_pTextCache != nullptr ? *m_pTextCache : m_ownTextCache;
    return cache.Find(strText, CurrentFont());
}

SIZE CMemoryDC::GetTextExtent(const std::string& strText) const
{
    return Shape(strText).size;
}

void CMemoryDC::TextOut(int x, int y, const std::string& strText)
{
    if (m_pSection == nullptr || strText.empty())
        return;
    CTextCache::CEntry& shaped = Shape(strText);
    const std::int64_t cx = shaped.size.cx;
    const std::int64_t cy = shaped.size.cy;

    const std::int64_t x0 = std::max<std::int64_t>(x, 0);
    const std::int64_t x1 = std::min<std::int64_t>(std::int64_t(x) + cx, m_pSection->Width());
    const std::int64_t y0 = std::max<std::int64_t>(y, 0);
    const std::int64_t y1 = std::min<std::int64_t>(std::int64_t(y) + cy, m_pSection->Height());
    if (x0 >= x1 || y0 >= y1)
        return;
    if (m_state.nBkMode == OPAQUE)
        FillSolidRect({LONG(x0), LONG(y0), LONG(x1), LONG(y1)}, m_state.bkColor);

    const int tb = GetBValue(m_state.textColor);
    const int tg = GetGValue(m_state.textColor);
    const int tr = GetRValue(m_state.textColor);
    auto blend = [&](const uchar* a, BYTE* p, int w)
    {
        for (int c = 0; c < w; ++c, p += 3)
        {
            const int n = a[c];
            if (n == 0)
                continue;
            p[0] = BYTE((p[0] * (255 - n) + tb * n + 127) / 255);
            p[1] = BYTE((p[1] * (255 - n) + tg * n + 127) / 255);
            p[2] = BYTE((p[2] * (255 - n) + tr * n + 127) / 255);
        }
    };
    if (CTextCache::Rasterise(shaped))
    {
        // The cell's coverage as rasterised once, the part on the section blended in.
        for (std::int64_t yy = y0; yy < y1; ++yy)
            blend(shaped.mask.data() + std::size_t(yy - y) * shaped.nStride + std::size_t(x0 - x),
                  m_pSection->RowFromTop(int(yy)) + x0 * 3, int(x1 - x0));
        return;
    }

    // A cell too large to keep: only the part that lies on the section is rasterised, a strip
    // at a time, so neither a long text nor a large font allocates more than the section shows.
    constexpr std::int64_t kStrip = 1024;
    for (std::int64_t sx = x0; sx < x1; sx += kStrip)
    {
        const int w = int(std::min(kStrip, x1 - sx));
        const int h = int(y1 - y0);
        const std::size_t nStride = (std::size_t(w) + 3) & ~std::size_t(3);
        m_mask.assign(nStride * std::size_t(h), 0);
        QImage mask(m_mask.data(), w, h, qsizetype(nStride), QImage::Format_Alpha8);
        {
            QPainter painter(&mask);
            painter.setPen(Qt::black);
            // The layout's line starts at the top of the cell.
            shaped.pLayout->draw(&painter, QPointF(double(x - sx), double(y - y0)));
        }
        for (int r = 0; r < h; ++r)
            blend(mask.constScanLine(r), m_pSection->RowFromTop(int(y0 + r)) + sx * 3, w);
    }
}
