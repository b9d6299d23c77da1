#include "platform/capture/FrameBuffer.h"

#include "platform/file/File.h"
#include "platform/gdi/BmpFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

std::atomic<std::uint64_t> CFrameBuffer::s_nGenerations{0};

bool CFrameBuffer::Resize(int nWidth, int nHeight)
{
    if (nWidth <= 0 || nHeight <= 0 || nWidth > 16384 || nHeight > 16384)
        return false;
    Touch();
    m_nWidth = nWidth;
    m_nHeight = nHeight;
    m_pixels.assign(std::size_t(nWidth) * std::size_t(nHeight) * 3, 0);
    return true;
}

std::vector<std::uint8_t> CFrameBuffer::DibFileBytes() const
{
    std::vector<std::uint8_t> f;
    DibFileBytes(f);
    return f;
}

void CFrameBuffer::DibFileBytes(std::vector<std::uint8_t>& f) const
{
    const std::size_t nStride = CBmpFile::Stride(m_nWidth);
    const std::size_t nImage = nStride * std::size_t(m_nHeight);
    // Every byte is written below: a buffer kept from the last frame of this size is reused
    // as it is, not cleared first.
    f.resize(CBmpFile::kHeadersSize + nImage);
    CBmpFile::Headers24(f.data(), m_nWidth, m_nHeight, DWORD(nImage));
    const std::size_t nRow = std::size_t(m_nWidth) * 3;
    for (int y = 0; y < m_nHeight; ++y)
    {
        std::uint8_t* pDest = &f[CBmpFile::kHeadersSize + nStride * std::size_t(m_nHeight - 1 - y)];
        std::memcpy(pDest, Row(y), nRow);
        std::memset(pDest + nRow, 0, nStride - nRow);
    }
}

bool CFrameBuffer::SaveDib(const std::string& strPath, std::string* pError) const
{
    if (IsEmpty())
    {
        errno = ENODATA;
        if (pError)
            *pError = strPath + ": no frame: " + CFileException::Reason(errno);
        return false;
    }
    return CBmpFile::Write(strPath, m_nWidth, m_nHeight, m_pixels.data(), std::size_t(m_nWidth) * 3,
                           m_pieces, pError);
}
