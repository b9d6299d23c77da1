#pragma once
// A short-lived handle on one registry key: opened with create semantics, read and written
// as 32-bit values, byte blocks and text, every registry status handed back to the caller.

#include "platform/registry/Registry.h"

#include <string>

class CRegistryKey
{
public:
    // Texts are read through a buffer of this many bytes, terminating zero included.
    static constexpr DWORD kStringBufferSize = 1024;

    CRegistryKey() = default;
    virtual ~CRegistryKey() { Close(); }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    LONG Create(HKEY hParent, const char* pszPath);
    // The key at pszPath below the root of the store at strStore.
    LONG Create(const std::string& strStore, const char* pszPath);
    LONG CreateSubKey(const CRegistryKey& parent, const char* pszName);

    LONG QueryDword(DWORD* pValue, const char* pszName);
    LONG QueryBinary(void* pBuffer, DWORD nSize, const char* pszName);
    // Reads a text of at most nMaxBytes, terminating zero included; a longer one is not read
    // (ERROR_MORE_DATA), and *pnBytes then says how long it is.
    LONG QueryString(std::string& str, const char* pszName, DWORD nMaxBytes = kStringBufferSize,
                     DWORD* pnBytes = nullptr);
    LONG SetDword(DWORD nValue, const char* pszName);
    LONG SetBinary(const void* pData, DWORD nSize, const char* pszName);
    LONG SetString(const char* pszText, const char* pszName);
    void Close();

    HKEY m_hKey = nullptr;

private:
    // Why no key is held: a sub-key of a key that failed to open fails for the same reason,
    // so the user is told the cause rather than "invalid handle".
    LONG m_nOpenStatus = ERROR_INVALID_HANDLE;
};
