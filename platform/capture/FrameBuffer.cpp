#include "platform/capture/FrameBuffer.h"

#include <cerrno>
#include <cstdio>
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
    const std::size_t nStride = (std::size_t(m_nWidth) * 3 + 3) & ~std::size_t(3);
    const std::size_t nImage = nStride * std::size_t(m_nHeight);
    std::vector<std::uint8_t> f(54 + nImage, 0);
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
    return f;
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
    const auto bytes = DibFileBytes();
    std::string tmp = strPath + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return fail("create");
    std::size_t nDone = 0;
    while (nDone < bytes.size())
    {
        const ssize_t n = ::write(fd, bytes.data() + nDone, bytes.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            const int e = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            errno = e;
            return fail("write");
        }
        nDone += std::size_t(n);
    }
    ::fchmod(fd, 0644);
    if (::close(fd) != 0 || std::rename(tmp.c_str(), strPath.c_str()) != 0)
    {
        const int e = errno;
        ::unlink(tmp.c_str());
        errno = e;
        return fail("save");
    }
    return true;
}
