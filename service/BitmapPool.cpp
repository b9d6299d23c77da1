#include "service/BitmapPool.h"

std::unique_ptr<CDibSection> CBitmapPool::Acquire(int nWidth, int nHeight)
{
    while (!m_kept.empty())
    {
        std::unique_ptr<CDibSection> p = std::move(m_kept.back());
        m_kept.pop_back();
        if (p->Width() == nWidth && p->Height() == nHeight)
            return p;
        // Of another size: the size has changed, so none of them is of use any more; they go
        // before the new one is made.
        m_kept.clear();
    }
    return CDibSection::Create(nWidth, nHeight);
}

void CBitmapPool::Release(std::unique_ptr<CDibSection> pSection)
{
    if (!pSection || pSection->ImageBytes() > kMaxKeptBytes || m_kept.size() >= kMaxKept)
        return;
    if (!m_kept.empty() && (m_kept.front()->Width() != pSection->Width() ||
                            m_kept.front()->Height() != pSection->Height()))
        m_kept.clear(); // the newest size is the one asked for next
    m_kept.push_back(std::move(pSection));
}
