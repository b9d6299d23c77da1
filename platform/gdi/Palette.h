#pragma once
// A logical palette. The surfaces here are true-colour, so selecting a palette changes no
// pixel; the object exists so that bitmaps can build and select one as they would on a
// palette device.

#include "platform/gdi/GdiTypes.h"

#include <vector>

struct PALETTEENTRY
{
    BYTE peRed;
    BYTE peGreen;
    BYTE peBlue;
    BYTE peFlags;
};

class CPalette
{
public:
    // A logical palette of version 0x300 with the given entries; false for an empty one.
    bool CreatePalette(std::vector<PALETTEENTRY> entries)
    {
        if (entries.empty())
            return false;
        m_entries = std::move(entries);
        return true;
    }
    WORD Version() const { return 0x300; }
    const std::vector<PALETTEENTRY>& Entries() const { return m_entries; }

private:
    std::vector<PALETTEENTRY> m_entries;
};
