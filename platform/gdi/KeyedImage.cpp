#include "platform/gdi/KeyedImage.h"

#include "platform/gdi/DibSection.h"

#include <cstring>

bool CKeyedImage::CPlacement::operator==(const CPlacement& o) const
{
    auto same = [](const RECT& a, const RECT& b)
    {
        return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
    };
    return same(dest, o.dest) && same(src, o.src) && key == o.key &&
           nSurfaceWidth == o.nSurfaceWidth && nSurfaceHeight == o.nSurfaceHeight;
}

bool CKeyedImage::Record(const CPlacement& placement, const std::function<void(CDibSection&)>& draw)
{
    m_bValid = false;
    m_runs.clear();
    m_pixels.clear();
    auto a = CDibSection::Create(placement.nSurfaceWidth, placement.nSurfaceHeight);
    auto b = CDibSection::Create(placement.nSurfaceWidth, placement.nSurfaceHeight);
    if (!a || !b)
        return false;
    // A pixel the drawing leaves alone keeps the fill on both: zeros on one, ones on the other.
    // A drawn pixel differs from at least one fill, whatever its colour.
    std::memset(b->Bits(), 0xFF, std::size_t(b->ImageBytes()));
    draw(*a);
    draw(*b);
    const int w = placement.nSurfaceWidth;
    for (int y = 0; y < placement.nSurfaceHeight; ++y)
    {
        const BYTE* pa = a->RowFromTop(y);
        const BYTE* pb = b->RowFromTop(y);
        auto drawn = [&](int x)
        {
            const BYTE* p = pa + 3 * x;
            const BYTE* q = pb + 3 * x;
            return (p[0] | p[1] | p[2]) != 0 || (q[0] & q[1] & q[2]) != 0xFF;
        };
        for (int x = 0; x < w;)
        {
            if (!drawn(x))
            {
                ++x;
                continue;
            }
            const int x0 = x;
            while (x < w && drawn(x))
                ++x;
            // A drawn pixel is what the picture put there: on the zero fill unless it is
            // black, where the other fill holds it.
            Run run{y, x0, x - x0, m_pixels.size()};
            for (int i = x0; i < x; ++i)
            {
                const BYTE* p = pa + 3 * i;
                const BYTE* q = pb + 3 * i;
                const bool bOnA = (p[0] | p[1] | p[2]) != 0;
                m_pixels.insert(m_pixels.end(), bOnA ? p : q, (bOnA ? p : q) + 3);
            }
            m_runs.push_back(run);
        }
    }
    m_placement = placement;
    m_bValid = true;
    return true;
}

void CKeyedImage::Draw(CDibSection& section) const
{
    if (!m_bValid || section.Width() != m_placement.nSurfaceWidth ||
        section.Height() != m_placement.nSurfaceHeight)
        return;
    for (const Run& run : m_runs)
        std::memcpy(section.RowFromTop(run.y) + 3 * std::size_t(run.x), &m_pixels[run.nOffset],
                    3 * std::size_t(run.n));
}
