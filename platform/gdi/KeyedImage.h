#pragma once
// A picture drawn with one colour transparent, remembered as the runs of pixels it covers, so
// that drawing it again at the same place and size is a copy of those runs. An overlay drawn
// over every served image costs a scan of every one of its pixels otherwise.

#include "platform/gdi/GdiTypes.h"

#include <functional>
#include <vector>

class CDibSection;

class CKeyedImage
{
public:
    // What the remembered drawing depends on besides the picture's pixels.
    struct CPlacement
    {
        RECT dest{};
        RECT src{};
        COLORREF key = 0;
        int nSurfaceWidth = 0;
        int nSurfaceHeight = 0;
        bool operator==(const CPlacement& o) const;
    };

    // Records what draw(section) leaves on a surface of the placement's size: every pixel
    // it changes, by drawing onto two differently filled surfaces. Fails (and remembers
    // nothing) when the surfaces cannot be made.
    bool Record(const CPlacement& placement, const std::function<void(CDibSection&)>& draw);
    bool Matches(const CPlacement& placement) const { return m_bValid && placement == m_placement; }
    // Copies the recorded pixels onto a section of the recorded size.
    void Draw(CDibSection& section) const;
    void Forget() { m_bValid = false; }

private:
    struct Run
    {
        int y;
        int x;
        int n;
        std::size_t nOffset; // into m_pixels
    };
    CPlacement m_placement;
    bool m_bValid = false;
    std::vector<Run> m_runs;
    std::vector<BYTE> m_pixels;
};
