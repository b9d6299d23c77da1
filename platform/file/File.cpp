#include "platform/file/File.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string CFileException::Reason(int nErrno)
{
    switch (nErrno)
    {
    case ELOOP:
        return "it is a symbolic link, which is never read or written through";
    case EINVAL:
    case ENXIO:
        return "it is not a regular file";
    default:
        return std::strerror(nErrno);
    }
}

std::string CFileException::GetErrorMessage() const
{
    return m_strFileName + ": " + Reason(m_nErrno);
}

int OpenRegular(const char* pszFileName, int nFlags)
{
    // A file only read may be a link to a picture elsewhere; what it names must be a regular
    // file, which is checked before the open too, so that a device is never opened.
    const bool bWrites = (nFlags & O_ACCMODE) != O_RDONLY;
    if (!bWrites)
    {
        struct stat named;
        if (::stat(pszFileName, &named) != 0)
            return -1;
        if (!S_ISREG(named.st_mode))
        {
            errno = S_ISDIR(named.st_mode) ? EISDIR : EINVAL;
            return -1;
        }
    }
    int fd;
    do
        fd =
            ::open(pszFileName, nFlags | (bWrites ? O_NOFOLLOW : 0) | O_NONBLOCK | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        const int nErrno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = nErrno;
        return -1;
    }
    // Regular files never block; the flag goes so that later reads and writes behave as usual.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool OverwriteFile(const char* pszFileName, const void* pData, std::size_t nSize)
{
    const int fd = OpenRegular(pszFileName, O_WRONLY | O_CREAT);
    if (fd < 0)
        return false;
    const auto* p = static_cast<const char*>(pData);
    std::size_t nDone = 0;
    bool bOk = true;
    while (bOk && nDone < nSize)
    {
        const ssize_t n = ::pwrite(fd, p + nDone, nSize - nDone, off_t(nDone));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ENOSPC;
        bOk = n > 0;
        if (bOk)
            nDone += std::size_t(n);
    }
    struct stat st;
    if (bOk && ::fstat(fd, &st) == 0 && std::size_t(st.st_size) != nSize)
        bOk = ::ftruncate(fd, off_t(nSize)) == 0;
    int nError = errno;
    if (::close(fd) != 0 && bOk)
    {
        bOk = false;
        nError = errno;
    }
    if (!bOk)
    {
        ::unlink(pszFileName);
        errno = nError;
    }
    return bOk;
}

bool CFile::Open(const char* pszFileName, unsigned nFlags, CFileException* pError)
{
    Close();
    const int nMode = nFlags == modeCreateWrite ? (O_WRONLY | O_CREAT | O_TRUNC) : O_RDONLY;
    const int fd = OpenRegular(pszFileName, nMode);
    if (fd < 0)
    {
        if (pError != nullptr)
            *pError = CFileException(errno, pszFileName);
        return false;
    }
    m_fd = fd;
    return true;
}

void CFile::OpenMemory(const void* pData, std::size_t nSize)
{
    Close();
    m_pMemory = static_cast<const char*>(pData);
    m_nMemorySize = nSize;
    m_nMemoryPos = 0;
}

std::size_t CFile::Read(void* pBuffer, std::size_t nCount)
{
    auto* p = static_cast<char*>(pBuffer);
    if (m_pMemory != nullptr)
    {
        const std::size_t n = std::min(nCount, m_nMemorySize - m_nMemoryPos);
        std::memcpy(p, m_pMemory + m_nMemoryPos, n);
        m_nMemoryPos += n;
        return n;
    }
    std::size_t nDone = 0;
    while (m_fd >= 0 && nDone < nCount)
    {
        const ssize_t n = ::read(m_fd, p + nDone, nCount - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        nDone += std::size_t(n);
    }
    return nDone;
}

bool CFile::Write(const void* pBuffer, std::size_t nCount)
{
    const auto* p = static_cast<const char*>(pBuffer);
    std::size_t nDone = 0;
    while (m_fd >= 0 && nDone < nCount)
    {
        const ssize_t n = ::write(m_fd, p + nDone, nCount - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        nDone += std::size_t(n);
    }
    return nDone == nCount;
}

std::int64_t CFile::GetLength() const
{
    if (m_pMemory != nullptr)
        return std::int64_t(m_nMemorySize);
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return -1;
    return st.st_size;
}

void CFile::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_pMemory = nullptr;
    m_nMemorySize = 0;
    m_nMemoryPos = 0;
}

std::string CurrentFolderPath()
{
    struct stat here;
    if (::stat(".", &here) != 0)
        return {};
    // $PWD keeps the links the user went through; it is taken only when it leads here.
    const char* pszPwd = std::getenv("PWD");
    struct stat named;
    if (pszPwd != nullptr && pszPwd[0] == '/' && ::stat(pszPwd, &named) == 0 &&
        named.st_dev == here.st_dev && named.st_ino == here.st_ino)
        return pszPwd;
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}
