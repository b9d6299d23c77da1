#include "imaging/Dib.h"

#include "platform/gdi/BmpFile.h"

#include "platform/gdi/DibSource.h"

#include <cstdlib>
#include <new>
#include <vector>

namespace
{
constexpr std::int64_t kFileHeaderSize = 14;
constexpr std::int64_t kMinPixelOffset = 54;

std::unique_ptr<BYTE[]> AllocateZeroed(std::size_t n)
{
    return std::unique_ptr<BYTE[]>(new (std::nothrow) BYTE[n]());
}
} // namespace

CDibLoadResult CDib::Load(const char* pszFileName)
{
    CFile file;
    CFileException error;
    if (!file.Open(pszFileName, CFile::modeRead, &error))
        return CDibLoadResult::OpenFailed(std::move(error));
    return CDibLoadResult::Read(ReadFrom(file));
}

DWORD CDib::ReadFrom(CFile& file)
{
    Clear();
    BYTE header[kFileHeaderSize];
    if (file.Read(header, sizeof header) != sizeof header)
        return 0;
    if (ReadLE16(header) != 0x4D42)
        return 0;

    const std::int64_t nOffset = ReadLE32(header + 10);
    const std::int64_t nLength = file.GetLength();
    if (nLength < 0 || nLength > kMaxFileLength)
        return 0;
    // The pixels must follow a full 40-byte header and hold at least one byte.
    if (nOffset < kMinPixelOffset || nOffset >= nLength)
        return 0;

    const std::size_t nHeaderArea = std::size_t(nOffset - kFileHeaderSize);
    m_nInfoLen = nHeaderArea + kSpareInfoBytes;
    m_info = AllocateZeroed(m_nInfoLen);
    if (!m_info || file.Read(m_info.get(), nHeaderArea) != nHeaderArea)
    {
        Clear();
        return 0;
    }

    m_nPixelsLen = std::size_t(nLength - nOffset);
    m_pixels = AllocateZeroed(m_nPixelsLen);
    if (!m_pixels || file.Read(m_pixels.get(), m_nPixelsLen) != m_nPixelsLen ||
        !IsAcceptable(nHeaderArea))
    {
        Clear();
        return 0;
    }

    BuildPalette();
    return DWORD(nLength);
}

bool CDib::IsAcceptable(std::size_t nHeaderArea) const
{
    // The header must lie before the pixels, and the colour table (taken after a 40-byte
    // header) must fit the header area plus its spare bytes.
    if (ReadLE32(m_info.get()) > nHeaderArea)
        return false;
    const std::uint64_t nUsed = ReadLE32(m_info.get() + 32);
    const WORD nBits = ReadLE16(m_info.get() + 14);
    const std::uint64_t nColors = nUsed != 0 ? nUsed : (nBits <= 8 ? (1u << nBits) : 0);
    if (40 + nColors * 4 > nHeaderArea + kSpareInfoBytes)
        return false;
    return CDibSource::Validate(m_info.get(), m_nInfoLen, m_pixels.get(), m_nPixelsLen);
}

DWORD CDib::Width() const
{
    return m_info ? ReadLE32(m_info.get() + 4) : 0;
}

DWORD CDib::Height() const
{
    if (!m_info)
        return 0;
    const std::int64_t h = std::int32_t(ReadLE32(m_info.get() + 8));
    return DWORD(h < 0 ? -h : h);
}

WORD CDib::ColorCount() const
{
    if (!m_info)
        return 0;
    const DWORD nUsed = ReadLE32(m_info.get() + 32);
    if (nUsed != 0)
        return WORD(nUsed);
    switch (ReadLE16(m_info.get() + 14))
    {
    case 1:
        return 2;
    case 4:
        return 16;
    case 8:
        return 256;
    default:
        return 0;
    }
}

bool CDib::BuildPalette()
{
    if (!m_info)
        return false;
    const unsigned n = ColorCount();
    if (n == 0)
        return true;
    if (40 + std::size_t(n) * 4 > m_nInfoLen)
        return false;
    std::vector<PALETTEENTRY> entries(n);
    for (unsigned i = 0; i < n; ++i)
    {
        const BYTE* e = m_info.get() + 40 + 4 * i;
        entries[i] = PALETTEENTRY{e[2], e[1], e[0], 0};
    }
    m_palette.reset();
    auto pPalette = std::make_unique<CPalette>();
    if (!pPalette->CreatePalette(std::move(entries)))
        return false;
    m_palette = std::move(pPalette);
    return true;
}

int CDib::Draw(CMemoryDC& dc) const
{
    const RECT rc{0, 0, LONG(Width()), LONG(Height())};
    return Draw(dc, rc, rc);
}

int CDib::Draw(CMemoryDC& dc, const RECT& dest, const RECT& src) const
{
    if (!m_info)
        return 0;
    const CPalette* pOldPalette = nullptr;
    if (m_palette)
        pOldPalette = dc.SelectPalette(m_palette.get(), true);
    const int nResult =
        DrawBits(dc, dest, src, m_info.get(), m_nInfoLen, m_pixels.get(), m_nPixelsLen, Height());
    if (m_palette)
        dc.SelectPalette(pOldPalette, true);
    return nResult;
}

int CDib::DrawBits(CMemoryDC& dc, const RECT& dest, const RECT& src, const BYTE* pInfo,
                   std::size_t nInfoLen, const BYTE* pPixels, std::size_t nPixelsLen, DWORD nHeight)
{
    dc.SetStretchBltMode(COLORONCOLOR);
    const int nDestW = dest.right - dest.left;
    const int nDestH = dest.bottom - dest.top;
    const int nSrcW = src.right - src.left;
    const int nSrcH = src.bottom - src.top;
    // Rows are stored bottom-up, so the unscaled copy counts the source from the bottom.
    if (nDestW == nSrcW && nDestH == nSrcH)
        return dc.SetDIBitsToDevice(dest.left, dest.top, nDestW, nDestH, src.left,
                                    int(nHeight) - src.bottom, 0, nHeight, pPixels, nPixelsLen,
                                    pInfo, nInfoLen);
    return dc.StretchDIBits(dest.left, dest.top, nDestW, nDestH, src.left, src.top, nSrcW, nSrcH,
                            pPixels, nPixelsLen, pInfo, nInfoLen);
}

int CDib::DrawTransparent(CMemoryDC& dc, const RECT& dest, const RECT& src, COLORREF key) const
{
    if (!m_info)
        return 0;
    auto drawKeyed = [&](CMemoryDC& target)
    {
        const COLORREF oldBk = target.SetBkColor(0x00FFFFFF);
        const COLORREF oldText = target.SetTextColor(0);
        target.TransparentDIBits(dest, src, m_pixels.get(), m_nPixelsLen, m_info.get(), m_nInfoLen,
                                 key);
        target.SetBkColor(oldBk);
        target.SetTextColor(oldText);
    };
    CDibSection* pSection = dc.GetSelectedBitmap();
    if (pSection == nullptr)
    {
        drawKeyed(dc);
        return 1;
    }
    // The same placement twice in a row (an overlay on every served image) is recorded once
    // and then copied; a drawing made only once is not worth recording.
    const CKeyedImage::CPlacement placement{dest, src, key, pSection->Width(), pSection->Height()};
    std::shared_ptr<const CKeyedImage> pKeyed;
    {
        std::lock_guard<std::mutex> guard(m_keyedLock);
        if ((!m_pKeyed || !m_pKeyed->Matches(placement)) && m_bLastPlacementValid &&
            placement == m_lastPlacement)
        {
            auto pNew = std::make_shared<CKeyedImage>();
            if (pNew->Record(placement,
                             [&](CDibSection& surface)
                             {
                                 CMemoryDC recorder;
                                 recorder.SelectBitmap(&surface);
                                 drawKeyed(recorder);
                             }))
                m_pKeyed = std::move(pNew);
        }
        m_lastPlacement = placement;
        m_bLastPlacementValid = true;
        if (m_pKeyed && m_pKeyed->Matches(placement))
            pKeyed = m_pKeyed;
    }
    if (pKeyed)
        pKeyed->Draw(*pSection);
    else
        drawKeyed(dc);
    return 1;
}

void CDib::Clear()
{
    {
        std::lock_guard<std::mutex> guard(m_keyedLock);
        m_pKeyed.reset();
        m_bLastPlacementValid = false;
    }
    m_pixels.reset();
    m_info.reset();
    m_palette.reset();
    m_nPixelsLen = 0;
    m_nInfoLen = 0;
}

DWORD CDib::WriteTo(CFile& file)
{
    if (!m_info)
        return 0;
    BYTE* pInfo = m_info.get();
    const DWORD nCompression = ReadLE32(pInfo + 16);
    const std::int64_t nWidth = std::int32_t(ReadLE32(pInfo + 4));
    const std::int64_t nBits = ReadLE16(pInfo + 14);
    std::int64_t nImage;
    if (nCompression == BI_RLE8 || nCompression == BI_RLE4)
    {
        nImage = ReadLE32(pInfo + 20);
    }
    else
    {
        nImage = ((nWidth * nBits + 31) / 32) * 4 * std::int64_t(Height());
        WriteLE32(pInfo + 20, DWORD(nImage));
    }
    const std::int64_t nTable = ColorTableSize();
    // Never write past the blocks, whatever the header claims.
    if (nImage < 0 || std::uint64_t(nImage) > m_nPixelsLen ||
        std::uint64_t(40 + nTable) > m_nInfoLen)
        return 0;

    // The colour table is taken after 40 bytes, so only a 40-byte header makes a consistent
    // file; anything else is refused rather than written with wrong offsets.
    const DWORD nHeaderSize = ReadLE32(pInfo);
    if (nHeaderSize != 40)
        return 0;
    BYTE header[kFileHeaderSize];
    CBmpFile::FileHeader(header, DWORD(kFileHeaderSize + nHeaderSize + nTable + nImage),
                         DWORD(kFileHeaderSize + nHeaderSize + nTable));
    if (!file.Write(header, sizeof header) || !file.Write(pInfo, std::size_t(40 + nTable)) ||
        !file.Write(m_pixels.get(), std::size_t(nImage)))
        return 0;
    return DWORD(54 + nTable + nImage);
}
