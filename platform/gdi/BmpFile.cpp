#include "platform/gdi/BmpFile.h"

#include "platform/file/File.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void CBmpFile::FileHeader(BYTE* p, DWORD nFileSize, DWORD nPixelOffset)
{
    std::memset(p, 0, kFileHeaderSize);
    WriteLE16(p, 0x4D42); // "BM"
    WriteLE32(p + 2, nFileSize);
    WriteLE32(p + 10, nPixelOffset);
}

void CBmpFile::InfoHeader24(BYTE* p, LONG nWidth, LONG nHeight, DWORD nImageSize)
{
    std::memset(p, 0, kInfoHeaderSize);
    WriteLE32(p, DWORD(kInfoHeaderSize));
    WriteLE32(p + 4, DWORD(nWidth));
    WriteLE32(p + 8, DWORD(nHeight));
    WriteLE16(p + 12, 1);  // planes
    WriteLE16(p + 14, 24); // bits per pixel; compression 0, BI_RGB
    WriteLE32(p + 20, nImageSize);
}

void CBmpFile::Headers24(BYTE* p, LONG nWidth, LONG nHeight, DWORD nImageSize)
{
    const std::size_t nImage = Stride(int(nWidth)) * std::size_t(nHeight < 0 ? -nHeight : nHeight);
    FileHeader(p, DWORD(kHeadersSize + nImage), DWORD(kHeadersSize));
    InfoHeader24(p + kFileHeaderSize, nWidth, nHeight, nImageSize);
}

bool CBmpFile::Write(const std::string& strPath, int nWidth, int nHeight, const BYTE* pTopRow,
                     std::size_t nRowStep, std::vector<iovec>& pieces, std::string* pError)
{
    auto fail = [&](const char* pszWhat)
    {
        if (pError)
            *pError = strPath + ": " + pszWhat + ": " + CFileException::Reason(errno);
        return false;
    };
    if (nWidth <= 0 || nHeight <= 0 || pTopRow == nullptr)
    {
        errno = ENODATA;
        return fail("no frame");
    }
    const std::size_t nRow = std::size_t(nWidth) * 3;
    const std::size_t nStride = Stride(nWidth);
    const std::size_t nTotal = kHeadersSize + nStride * std::size_t(nHeight);
    BYTE headers[kHeadersSize];
    Headers24(headers, nWidth, nHeight, DWORD(nTotal - kHeadersSize));
    static const BYTE kPadding[3] = {};
    pieces.clear();
    pieces.push_back({headers, sizeof headers});
    for (int y = nHeight - 1; y >= 0; --y)
    {
        pieces.push_back({const_cast<BYTE*>(pTopRow) + nRowStep * std::size_t(y), nRow});
        if (nStride != nRow)
            pieces.push_back({const_cast<BYTE*>(kPadding), nStride - nRow});
    }

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
            piece.iov_base = static_cast<BYTE*>(piece.iov_base) + nTake;
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
