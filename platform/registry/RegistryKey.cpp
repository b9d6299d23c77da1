#include "platform/registry/RegistryKey.h"

#include <cstring>

LONG CRegistryKey::Create(HKEY hParent, const char* pszPath)
{
    // Closing a key held before keeps a second Create from leaking its handle.
    Close();
    LONG n = RegCreateKeyExA(hParent, pszPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                             nullptr, &m_hKey, nullptr);
    // A store that may not be written is still read: its keys open for reading.
    if (n == ERROR_ACCESS_DENIED &&
        RegOpenKeyExA(hParent, pszPath, 0, KEY_READ, &m_hKey) == ERROR_FILE_NOT_FOUND)
        n = ERROR_FILE_NOT_FOUND;
    else if (n == ERROR_ACCESS_DENIED && m_hKey != nullptr)
        n = ERROR_SUCCESS;
    m_nOpenStatus = n == ERROR_SUCCESS ? ERROR_INVALID_HANDLE : n;
    return n;
}

LONG CRegistryKey::Create(const std::string& strStore, const char* pszPath)
{
    Close();
    HKEY hRoot = nullptr;
    const LONG n = RegOpenStoreA(strStore.c_str(), &hRoot);
    if (n != ERROR_SUCCESS)
    {
        m_nOpenStatus = n;
        return n;
    }
    const LONG nKey = Create(hRoot, pszPath);
    RegCloseKey(hRoot);
    return nKey;
}

LONG CRegistryKey::CreateSubKey(const CRegistryKey& parent, const char* pszName)
{
    if (parent.m_hKey == nullptr)
    {
        Close();
        m_nOpenStatus = parent.m_nOpenStatus;
        return m_nOpenStatus;
    }
    return Create(parent.m_hKey, pszName);
}

LONG CRegistryKey::QueryDword(DWORD* pValue, const char* pszName)
{
    return QueryBinary(pValue, sizeof(DWORD), pszName);
}

LONG CRegistryKey::QueryBinary(void* pBuffer, DWORD nSize, const char* pszName)
{
    // Values shorter than the buffer arrive zero-extended.
    DWORD cb = nSize;
    std::string scratch(nSize, '\0');
    const LONG n = RegQueryValueExA(m_hKey, pszName, nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(scratch.data()), &cb);
    if (n == ERROR_SUCCESS)
        std::memcpy(pBuffer, scratch.data(), nSize);
    return n;
}

LONG CRegistryKey::QueryString(std::string& str, const char* pszName, DWORD nMaxBytes,
                               DWORD* pnBytes)
{
    std::string buffer(nMaxBytes, '\0');
    DWORD cb = nMaxBytes;
    const LONG n = RegQueryValueExA(m_hKey, pszName, nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(buffer.data()), &cb);
    if (pnBytes != nullptr)
        *pnBytes = cb;
    if (n == ERROR_SUCCESS)
        str.assign(buffer.data(), strnlen(buffer.data(), cb)); // without its zero, ends at its size
    return n;
}

LONG CRegistryKey::SetDword(DWORD nValue, const char* pszName)
{
    BYTE bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = BYTE(nValue >> (8 * i));
    return RegSetValueExA(m_hKey, pszName, 0, REG_DWORD, bytes, sizeof bytes);
}

LONG CRegistryKey::SetBinary(const void* pData, DWORD nSize, const char* pszName)
{
    return RegSetValueExA(m_hKey, pszName, 0, REG_BINARY, static_cast<const BYTE*>(pData), nSize);
}

LONG CRegistryKey::SetString(const char* pszText, const char* pszName)
{
    return RegSetValueExA(m_hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszText),
                          DWORD(std::strlen(pszText) + 1));
}

void CRegistryKey::Close()
{
    if (m_hKey != nullptr)
        RegCloseKey(m_hKey);
    m_hKey = nullptr;
    m_nOpenStatus = ERROR_INVALID_HANDLE;
}
