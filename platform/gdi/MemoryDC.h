#pragma once
// A memory drawing surface over a selected 24-bit DIB section: the drawing calls the imaging
// code relies on, with their Windows effects. Every call clips to the selected section, so
// no destination rectangle, however far outside, writes out of bounds. Without a selected
// section the calls draw nothing.

#include "platform/gdi/DibSection.h"
#include "platform/gdi/Font.h"
#include "platform/gdi/GdiTypes.h"
#include "platform/gdi/Palette.h"
#include "platform/gdi/TextCache.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class CDibSource;

class CMemoryDC
{
public:
    // Selects a section (or none) and returns the one selected before.
    CDibSection* SelectBitmap(CDibSection* pSection);
    CDibSection* GetSelectedBitmap() const { return m_pSection; }

    const CPalette* SelectPalette(const CPalette* pPalette, bool bForceBackground);
    int SetStretchBltMode(int nMode);
    int GetStretchBltMode() const { return m_state.nStretchMode; }
    COLORREF SetBkColor(COLORREF c);
    COLORREF GetBkColor() const { return m_state.bkColor; }
    COLORREF SetTextColor(COLORREF c);
    COLORREF GetTextColor() const { return m_state.textColor; }
    int SetBkMode(int nMode);
    int GetBkMode() const { return m_state.nBkMode; }

    // Pushes the drawing state; RestoreDC(level) pops back to it (a negative level counts
    // back from the newest). Returns the new level, or false for a level that does not exist.
    int SaveDC();
    bool RestoreDC(int nLevel);

    // Unscaled copy. ySrc counts from the bottom of the picture, as for a bottom-up DIB.
    // Returns the number of scan lines set, 0 when nothing could be drawn.
    int SetDIBitsToDevice(int xDest, int yDest, int nWidth, int nHeight, int xSrc, int ySrc,
                          unsigned nStartScan, unsigned nScanLines, const BYTE* pBits,
                          std::size_t nBitsLen, const BYTE* pInfo, std::size_t nInfoLen);
    // Nearest-pixel scaled copy (whole source pixels; rows and columns dropped or repeated).
    // The source rectangle's y counts from the bottom of the picture. Non-positive extents
    // draw nothing. Returns the number of destination lines, 0 when nothing was drawn.
    int StretchDIBits(int xDest, int yDest, int nDestWidth, int nDestHeight, int xSrc, int ySrc,
                      int nSrcWidth, int nSrcHeight, const BYTE* pBits, std::size_t nBitsLen,
                      const BYTE* pInfo, std::size_t nInfoLen);
    // Scaled copy that keeps the surface where the scaled bitmap pixel equals the key colour
    // in red, green and blue. The source rectangle counts from the top of the picture.
    bool TransparentDIBits(const RECT& dest, const RECT& src, const BYTE* pBits,
                           std::size_t nBitsLen, const BYTE* pInfo, std::size_t nInfoLen,
                           COLORREF key);

    void FillSolidRect(const RECT& rc, COLORREF c);

    // Selects a font (null: the desktop's general font) and returns the one selected before.
    const CFont* SelectFont(const CFont* pFont);
    const CFont* GetSelectedFont() const { return m_state.pFont; }
    // The extent of a UTF-8 text in the selected font: its advance width and the font's
    // ascent plus descent.
    SIZE GetTextExtent(const std::string& strText) const;
    // Draws a UTF-8 text in one line with its cell's top-left corner at (x, y), in the text
    // colour; with an opaque background mode the cell is filled with the background colour
    // first. Control characters are not interpreted.
    void TextOut(int x, int y, const std::string& strText);
    // Texts are laid out and rasterised through this cache (null: the surface's own), which
    // must outlive the surface's drawing; one kept by a thread serves its every picture.
    void SetTextCache(CTextCache* pCache);

private:
    struct State
    {
        int nStretchMode = 1; // BLACKONWHITE, the default of a new context
        COLORREF bkColor = 0x00FFFFFF;
        COLORREF textColor = 0;
        int nBkMode = OPAQUE;
        const CPalette* pPalette = nullptr;
        const CFont* pFont = nullptr;
    };
    const QFont& CurrentFont() const;

    // Draws source rectangle (top-down coordinates) into the destination rectangle.
    bool Blit(const CDibSource& src, int xDest, int yDest, int nDestWidth, int nDestHeight,
              int xSrc, int ySrcTop, int nSrcWidth, int nSrcHeight, const COLORREF* pKey);

    CDibSection* m_pSection = nullptr;
    State m_state;
    std::vector<State> m_saved;
    CFont m_defaultFont;
    std::vector<uchar> m_mask; // glyph coverage, reused by every text drawn on this surface
    // Measuring and then drawing a text shapes it once.
    CTextCache::CEntry& Shape(const std::string& strText) const;
    mutable CTextCache m_ownTextCache{4};
    CTextCache* m_pTextCache = nullptr;
};
