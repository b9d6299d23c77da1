#include "platform/capture/FrameBuffer.h"

#include "platform/file/File.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace
{
void Put32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(v >> (8 * i));
}
} // namespace

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
    const std::size_t nStride = (std::size_t(m_nWidth) * 3 + 3) & ~std::size_t(3);
    const std::size_t nImage = nStride * std::size_t(m_nHeight);
    // Every byte is written below: a buffer kept from the last frame of this size is reused
    // as it is, not cleared first.
    f.resize(54 + nImage);
    std::memset(f.data(), 0, 54);
    f[0] = 'B';
    f[1] = 'M';
    Put32(&f[2], std::uint32_t(f.size()));
    Put32(&f[10], 54);
    Put32(&f[14], 40);
    Put32(&f[18], std::uint32_t(m_nWidth));
    Put32(&f[22], std::uint32_t(m_nHeight));
    f[26] = 1;
    f[28] = 24;
    Put32(&f[34], std::uint32_t(nImage));
    const std::size_t nRow = std::size_t(m_nWidth) * 3;
    for (int y = 0; y < m_nHeight; ++y)
    {
        std::uint8_t* pDest = &f[54 + nStride * std::size_t(m_nHeight - 1 - y)];
        std::memcpy(pDest, Row(y), nRow);
        std::memset(pDest + nRow, 0, nStride - nRow);
    }
}

bool CFrameBuffer::SaveDib(const std::string& strPath, std::string* pError) const
{
    auto fail = [&](const char* pszWhat)
    {
        if (pError)
            *pError = strPath + ": " + pszWhat + ": " + CFileException::Reason(errno);
        return false;
    };
    if (IsEmpty())
    {
        errno = ENODATA;
        return fail("no frame");
    }
    // The rows go to the file straight from the frame, bottom row first, each followed by its
    // padding: no copy of the whole picture is made on the way.
    const std::size_t nRow = std::size_t(m_nWidth) * 3;
    const std::size_t nStride = (nRow + 3) & ~std::size_t(3);
    const std::size_t nTotal = 54 + nStride * std::size_t(m_nHeight);
    std::uint8_t header[54] = {'B', 'M'};
    Put32(&header[2], std::uint32_t(nTotal));
    Put32(&header[10], 54);
    Put32(&header[14], 40);
    Put32(&header[18], std::uint32_t(m_nWidth));
    Put32(&header[22], std::uint32_t(m_nHeight));
    header[26] = 1;
    header[28] = 24;
    Put32(&header[34], std::uint32_t(nTotal - 54));
    static const std::uint8_t kPadding[3] = {};
    std::vector<iovec>& pieces = m_pieces;
    pieces.clear();
    pieces.push_back({header, sizeof header});
    for (int y = m_nHeight - 1; y >= 0; --y)
    {
        pieces.push_back({const_cast<std::uint8_t*>(Row(y)), nRow});
        if (nStride != nRow)
            pieces.push_back({const_cast<std::uint8_t*>(kPadding), nStride - nRow});
    }

    // The file is overwritten in place and cut to length afterwards: replacing a file by
    // truncating or renaming makes the file system flush it at once, which costs more than
    // the whole image takes to build. A save that fails removes the file, so no half-written
    // frame is ever read as a whole one.
    const int fd = OpenRegular(strPath.c_str(), O_WRONLY | O_CREAT);
    if (fd < 0)
        return fail("create");
    std::size_t nDone = 0;
    std::size_t nFirst = 0; // the first piece not wholly written
    bool bOk = true;
    while (nFirst < pieces.size())
    {
        const int nCount = int(std::min<std::size_t>(pieces.size() - nFirst, IOV_MAX));
        const ssize_t n = ::pwritev(fd, &pieces[nFirst], nCount, off_t(nDone));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            if (n == 0)
                errno = ENOSPC;
            bOk = false;
            break;
        }
        nDone += std::size_t(n);
        // Skip what was written; a piece written in part continues where it stopped.
        for (std::size_t nLeft = std::size_t(n); nLeft > 0;)
        {
            iovec& piece = pieces[nFirst];
            const std::size_t nTake = std::min(nLeft, piece.iov_len);
            piece.iov_base = static_cast<std::uint8_t*>(piece.iov_base) + nTake;
            piece.iov_len -= nTake;
            nLeft -= nTake;
            if (piece.iov_len == 0)
                ++nFirst;
        }
    }
    struct stat st;
    if (bOk && ::fstat(fd, &st) == 0 && std::size_t(st.st_size) != nTotal)
        bOk = ::ftruncate(fd, off_t(nTotal)) == 0;
    const int nError = errno;
    if (::close(fd) != 0 && bOk)
        bOk = false;
    if (!bOk)
    {
        ::unlink(strPath.c_str());
        errno = nError;
        return fail("write");
    }
    return true;
}
