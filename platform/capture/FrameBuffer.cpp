#include "platform/capture/FrameBuffer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
void Put32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(v >> (8 * i));
}
} // namespace

bool CFrameBuffer::Resize(int nWidth, int nHeight)
{
    if (nWidth <= 0 || nHeight <= 0 || nWidth > 16384 || nHeight > 16384)
        return false;
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
    f.assign(54 + nImage, 0);
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
    for (int y = 0; y < m_nHeight; ++y)
        std::memcpy(&f[54 + nStride * std::size_t(m_nHeight - 1 - y)], Row(y),
                    std::size_t(m_nWidth) * 3);
}

bool CFrameBuffer::SaveDib(const std::string& strPath, std::string* pError) const
{
    auto fail = [&](const char* pszWhat)
    {
        if (pError)
            *pError = strPath + ": " + pszWhat + ": " + std::strerror(errno);
        return false;
    };
    if (IsEmpty())
    {
        errno = ENODATA;
        return fail("no frame");
    }
    DibFileBytes(m_fileBytes);
    const auto& bytes = m_fileBytes;
    // The file is overwritten in place and cut to length afterwards: replacing a file by
    // truncating or renaming makes the file system flush it at once, which costs more than
    // the whole image takes to build. A save that fails removes the file, so no half-written
    // frame is ever read as a whole one.
    const int fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail("create");
    std::size_t nDone = 0;
    bool bOk = true;
    while (nDone < bytes.size())
    {
        const ssize_t n = ::pwrite(fd, bytes.data() + nDone, bytes.size() - nDone, off_t(nDone));
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
    }
    struct stat st;
    if (bOk && ::fstat(fd, &st) == 0 && std::size_t(st.st_size) != bytes.size())
        bOk = ::ftruncate(fd, off_t(bytes.size())) == 0;
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
