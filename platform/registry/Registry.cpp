#include "platform/registry/Registry.h"

#include "platform/registry/RegistryHive.h"

#include <new>

namespace
{
constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

bool IsPredefined(HKEY h)
{
    return h == HKEY_LOCAL_MACHINE;
}

// Opens the key at lpSubKey below hKey; with bCreate the missing keys are made.
LONG OpenBelow(HKEY hKey, const char* lpSubKey, REGSAM sam, bool bCreate, HKEY* phkResult)
{
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (hKey == nullptr)
        return ERROR_INVALID_HANDLE;

    std::shared_ptr<CRegistryHive> pHive;
    std::int64_t nParent;
    if (IsPredefined(hKey))
    {
        const LONG n = CRegistryHive::Open(CRegistryHive::DefaultPath(), pHive);
        if (n != ERROR_SUCCESS)
            return n;
        nParent = CRegistryHive::kRootKey;
    }
    else
    {
        pHive = hKey->SharedHive();
        nParent = hKey->Key();
    }
    // Asking for write access to a store that cannot be written fails, as it does for an
    // account without write rights on the machine hive.
    if ((sam & kWriteAccess) != 0 && pHive->IsReadOnly())
        return ERROR_ACCESS_DENIED;

    std::int64_t nKey = 0;
    const LONG n = pHive->FindKey(nParent, lpSubKey, bCreate, &nKey);
    if (n != ERROR_SUCCESS)
        return n;
    auto* pHandle = new (std::nothrow) CRegKeyHandle(std::move(pHive), nKey, sam);
    if (pHandle == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    *phkResult = pHandle;
    return ERROR_SUCCESS;
}

LONG CheckHandle(HKEY hKey)
{
    if (hKey == nullptr || IsPredefined(hKey))
        return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}
} // namespace

LONG RegOpenStoreA(const char* pszStore, HKEY* phkRoot)
{
    if (phkRoot == nullptr || pszStore == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkRoot = nullptr;
    std::shared_ptr<CRegistryHive> pHive;
    if (const LONG n = CRegistryHive::Open(pszStore, pHive); n != ERROR_SUCCESS)
        return n;
    // A store that cannot be written opens for reading, as a key of the machine hive would.
    const REGSAM sam = pHive->IsReadOnly() ? KEY_READ : KEY_ALL_ACCESS;
    auto* pHandle =
        new (std::nothrow) CRegKeyHandle(std::move(pHive), CRegistryHive::kRootKey, sam);
    if (pHandle == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    *phkRoot = pHandle;
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD, char*, DWORD, REGSAM samDesired,
                     const void*, HKEY* phkResult, DWORD* lpdwDisposition)
{
    if (lpdwDisposition != nullptr)
        *lpdwDisposition = 0;
    return OpenBelow(hKey, lpSubKey, samDesired, true, phkResult);
}

LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD, REGSAM samDesired, HKEY* phkResult)
{
    return OpenBelow(hKey, lpSubKey, samDesired, false, phkResult);
}

LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD*, DWORD* lpType, BYTE* lpData,
                      DWORD* lpcbData)
{
    if (const LONG n = CheckHandle(hKey); n != ERROR_SUCCESS)
        return n;
    return hKey->Hive().QueryValue(hKey->Key(), lpValueName, lpType, lpData, lpcbData);
}

LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData)
{
    if (const LONG n = CheckHandle(hKey); n != ERROR_SUCCESS)
        return n;
    if ((hKey->Access() & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    return hKey->Hive().SetValue(hKey->Key(), lpValueName, dwType, lpData, cbData);
}

LONG RegDeleteValueA(HKEY hKey, const char* lpValueName)
{
    if (const LONG n = CheckHandle(hKey); n != ERROR_SUCCESS)
        return n;
    if ((hKey->Access() & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    return hKey->Hive().DeleteValue(hKey->Key(), lpValueName);
}

LONG RegDeleteTreeA(HKEY hKey, const char* lpSubKey)
{
    if (const LONG n = CheckHandle(hKey); n != ERROR_SUCCESS)
        return n;
    std::int64_t nKey = 0;
    const LONG n = hKey->Hive().FindKey(hKey->Key(), lpSubKey, false, &nKey);
    if (n != ERROR_SUCCESS)
        return n;
    return hKey->Hive().DeleteKey(nKey);
}

LONG RegCloseKey(HKEY hKey)
{
    if (const LONG n = CheckHandle(hKey); n != ERROR_SUCCESS)
        return n;
    delete hKey;
    return ERROR_SUCCESS;
}

const char* RegistryErrorText(LONG nStatus)
{
    switch (nStatus)
    {
    case ERROR_SUCCESS:
        return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND:
        return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND:
        return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED:
        return "Access is denied.";
    case ERROR_INVALID_HANDLE:
        return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "Not enough memory resources are available to process this command.";
    case ERROR_WRITE_FAULT:
        return "The system cannot write to the specified device.";
    case ERROR_DISK_FULL:
        return "There is not enough space on the disk.";
    case ERROR_INVALID_PARAMETER:
        return "The parameter is incorrect.";
    case ERROR_BUSY:
        return "The requested resource is in use.";
    case ERROR_MORE_DATA:
        return "More data is available.";
    case ERROR_NO_MORE_ITEMS:
        return "No more data is available.";
    case ERROR_BADDB:
        return "The configuration registry database is corrupt.";
    case ERROR_CANTOPEN:
        return "The configuration registry key could not be opened.";
    case ERROR_CANTREAD:
        return "The configuration registry key could not be read.";
    case ERROR_CANTWRITE:
        return "The configuration registry key could not be written.";
    case ERROR_KEY_DELETED:
        return "Illegal operation attempted on a registry key that has been marked for deletion.";
    default:
        return "Unknown error.";
    }
}
