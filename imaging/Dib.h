#pragma once
// One device-independent bitmap read from a BMP file, drawn unscaled, stretched, or stretched
// with one colour left transparent. The file's bytes are kept as they are: m_info holds what
// lies between the file header and the pixels (plus 1024 spare zero bytes), m_pixels the rest
// of the file. Only bitmaps the drawing layer can read without leaving their blocks are
// accepted.

#include "platform/file/File.h"
#include "platform/gdi/GdiTypes.h"
#include "platform/gdi/KeyedImage.h"
#include "platform/gdi/MemoryDC.h"
#include "platform/gdi/Palette.h"

#include <cstddef>
#include <memory>
#include <mutex>

// The outcome of CDib::Load: the file could not be opened (Error() says why), or it was
// read and Length() is its length, 0 when it is not a loadable bitmap.
class [[nodiscard]] CDibLoadResult
{
public:
    static CDibLoadResult Read(DWORD nLength) { return CDibLoadResult(nLength, {}); }
    static CDibLoadResult OpenFailed(CFileException e) { return CDibLoadResult(0, std::move(e)); }

    bool Opened() const { return m_error.m_nErrno == 0; }
    DWORD Length() const { return m_nLength; }
    const CFileException& Error() const { return m_error; }

private:
    CDibLoadResult(DWORD nLength, CFileException e) : m_nLength(nLength), m_error(std::move(e)) {}
    DWORD m_nLength;
    CFileException m_error;
};

class CDib
{
public:
    static constexpr std::size_t kSpareInfoBytes = 1024;
    // Files longer than this are not bitmaps anyone serves.
    static constexpr std::int64_t kMaxFileLength = 0x7FFFFFFF;

    CDib() = default;
    virtual ~CDib() { Clear(); }
    CDib(const CDib&) = delete;
    CDib& operator=(const CDib&) = delete;

    // Opens and reads the named file. When it cannot be opened the object keeps what it held.
    CDibLoadResult Load(const char* pszFileName);
    // Reads an open file from its start; the file's length on success, 0 (and empty) otherwise.
    DWORD ReadFrom(CFile& file);
    // Writes the bitmap as a BMP file; the bytes written, 0 for an empty object.
    DWORD WriteTo(CFile& file);

    DWORD Width() const;
    // The number of rows, for bottom-up and top-down bitmaps alike.
    DWORD Height() const;
    bool IsEmpty() const { return m_info == nullptr; }

    int Draw(CMemoryDC& dc) const;
    int Draw(CMemoryDC& dc, const RECT& dest, const RECT& src) const;
    int DrawTransparent(CMemoryDC& dc, const RECT& dest, const RECT& src, COLORREF key) const;
    // Draws a bitmap held elsewhere, given by its info header and pixels, as Draw draws a
    // loaded one without a palette.
    static int DrawBits(CMemoryDC& dc, const RECT& dest, const RECT& src, const BYTE* pInfo,
                        std::size_t nInfoLen, const BYTE* pPixels, std::size_t nPixelsLen,
                        DWORD nHeight);

    void Clear();
    bool BuildPalette();
    WORD ColorCount() const;
    DWORD ColorTableSize() const { return DWORD(ColorCount()) * 4; }
    const CPalette* Palette() const { return m_palette.get(); }
    const BYTE* Info() const { return m_info.get(); }
    std::size_t InfoLength() const { return m_nInfoLen; }
    const BYTE* Pixels() const { return m_pixels.get(); }
    std::size_t PixelsLength() const { return m_nPixelsLen; }

private:
    bool IsAcceptable(std::size_t nHeaderArea) const;

    std::unique_ptr<BYTE[]> m_pixels;
    std::unique_ptr<BYTE[]> m_info;
    std::unique_ptr<CPalette> m_palette;
    std::size_t m_nPixelsLen = 0;
    std::size_t m_nInfoLen = 0;
    // Transparent drawing repeated at one placement, and the placement drawn last. Pictures
    // are drawn on several threads at once: the remembered runs, once made, are never changed
    // (a new placement makes new ones), so a drawing copies them without holding the lock.
    mutable std::mutex m_keyedLock;
    mutable std::shared_ptr<const CKeyedImage> m_pKeyed;
    mutable CKeyedImage::CPlacement m_lastPlacement;
    mutable bool m_bLastPlacementValid = false;
};
