#pragma once
// Texts laid out and rasterised once, kept from one drawing to the next: a caption whose text
// and font are those of an earlier picture is neither shaped nor rasterised again. One cache
// belongs to one thread at a time.

#include "platform/gdi/GdiTypes.h"

#include <QFont>
#include <QtGlobal>

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <vector>

class QTextLayout;

class CTextCache
{
public:
    // Cells larger than this many pixels are rasterised where they are drawn, a strip at a time.
    static constexpr std::size_t kMaxMaskPixels = std::size_t(1) << 21;

    struct CEntry
    {
        CEntry();
        ~CEntry();
        std::string strText;
        QFont font;
        std::unique_ptr<QTextLayout> pLayout;
        SIZE size{0, 0}; // the advance width, and the font's ascent plus descent
        // The whole cell's glyph coverage (size.cx × size.cy, rows of nStride bytes), made
        // when it is first drawn; empty for a cell too large to keep.
        std::vector<uchar> mask;
        std::size_t nStride = 0;
        bool bMasked = false;
    };

    explicit CTextCache(std::size_t nEntries = 16) : m_nEntries(nEntries) {}

    // The entry for a UTF-8 text in a font, laid out in one line; made when missing, the least
    // recently used one going when the cache is full.
    CEntry& Find(const std::string& strText, const QFont& font);
    // The entry's coverage mask, rasterised on first use when the cell is small enough to keep;
    // false when it is not.
    static bool Rasterise(CEntry& entry);

private:
    std::size_t m_nEntries;
    std::list<CEntry> m_entries; // most recently used first
};
