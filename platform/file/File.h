#pragma once
// A file opened for reading or writing by name, closed by its destructor (and safely twice).
// Opening reports why it failed through a CFileException value instead of throwing.

#include <cstddef>
#include <cstdint>
#include <string>

class CFileException
{
public:
    CFileException() = default;
    CFileException(int nErrno, std::string strFileName)
        : m_nErrno(nErrno), m_strFileName(std::move(strFileName))
    {
    }
    int m_nErrno = 0;
    std::string m_strFileName;

    // "<file>: <reason>", for messages shown to the user.
    std::string GetErrorMessage() const;
    // The reason alone, for an errno from OpenRegular.
    static std::string Reason(int nErrno);
};

// Opens a file by name so that nothing can trap the program through it: a FIFO or device
// neither blocks the open nor is taken (EINVAL for anything that is not a regular file, EISDIR
// for a folder). A file opened for writing is never written through a symbolic link (ELOOP);
// one opened for reading may be a link to a regular file, which is read. Returns the
// descriptor, blocking as usual, or -1 with errno set.
int OpenRegular(const char* pszFileName, int nFlags);

// Makes the named file hold exactly these bytes. An existing file is overwritten in place and
// cut to the new length: emptying it first would make the file system flush the old one at
// once, on every write. A write that fails removes the file, so no half-written file is ever
// read as a whole one. False with errno set.
bool OverwriteFile(const char* pszFileName, const void* pData, std::size_t nSize);

// The current folder by its path (as the shell that started the program names it, when that
// path still leads there), "" when it has none. Files named by this path are found again in
// a folder deleted and made anew at the same place, where the process's own current folder
// stays the deleted one.
std::string CurrentFolderPath();

class CFile
{
public:
    enum OpenFlags : unsigned
    {
        modeRead = 0,
        modeCreateWrite = 1, // created, or emptied when it exists
    };

    CFile() = default;
    ~CFile() { Close(); }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    bool Open(const char* pszFileName, unsigned nFlags, CFileException* pError = nullptr);
    // Reads from a block of memory instead of a file (the block must outlive the object).
    void OpenMemory(const void* pData, std::size_t nSize);
    // Reads up to nCount bytes; fewer only at the end of the file or on an error.
    std::size_t Read(void* pBuffer, std::size_t nCount);
    bool Write(const void* pBuffer, std::size_t nCount);
    // The file's length in bytes, or -1 when it cannot be told.
    std::int64_t GetLength() const;
    bool IsOpen() const { return m_fd >= 0 || m_pMemory != nullptr; }
    void Close();

private:
    int m_fd = -1;
    const char* m_pMemory = nullptr;
    std::size_t m_nMemorySize = 0;
    std::size_t m_nMemoryPos = 0;
};
