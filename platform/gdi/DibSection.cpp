#include "platform/gdi/DibSection.h"

std::unique_ptr<CDibSection> CDibSection::Create(int nWidth, int nHeight)
{
    if (nWidth <= 0 || nHeight <= 0 || nWidth > kMaxAxis || nHeight > kMaxAxis)
        return nullptr;
    const std::int64_t nStride = DibStride24(nWidth);
    const std::int64_t nBytes = nStride * nHeight;
    if (nBytes > kMaxBytes)
        return nullptr;
    // calloc hands out zeroed pages lazily, so a large section costs nothing until drawn into.
    auto* pBits = static_cast<BYTE*>(std::calloc(std::size_t(nBytes), 1));
    if (pBits == nullptr)
        return nullptr;
    std::unique_ptr<CDibSection> p(new CDibSection);
    p->m_nWidth = nWidth;
    p->m_nHeight = nHeight;
    p->m_nStride = nStride;
    p->m_pBits.reset(pBits);
    p->m_info.biSize = 40;
    p->m_info.biWidth = nWidth;
    p->m_info.biHeight = nHeight;
    p->m_info.biPlanes = 1;
    p->m_info.biBitCount = 24;
    p->m_info.biCompression = BI_RGB;
    return p;
}
