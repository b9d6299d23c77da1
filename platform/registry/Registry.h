#pragma once
// The registry calls of the Windows API, over the SQLite hive. Opening anything below
// HKEY_LOCAL_MACHINE opens the store at CRegistryHive::DefaultPath(); RegOpenStoreA opens the
// root of a store named by its file.

#include "platform/registry/RegistryTypes.h"

#include <string>
#include <vector>

// The root of the store at pszStore (created, with its folders, when absent): a program that
// names its own store opens its keys below this, as below HKEY_LOCAL_MACHINE.
LONG RegOpenStoreA(const char* pszStore, HKEY* phkRoot);
LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved, char* lpClass,
                     DWORD dwOptions, REGSAM samDesired, const void* lpSecurityAttributes,
                     HKEY* phkResult, DWORD* lpdwDisposition);
LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   HKEY* phkResult);
LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved, DWORD* lpType,
                      BYTE* lpData, DWORD* lpcbData);
LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData);
LONG RegDeleteValueA(HKEY hKey, const char* lpValueName);
// Removes the sub-key (or, with an empty path, the key itself) and everything below it.
LONG RegDeleteTreeA(HKEY hKey, const char* lpSubKey);
LONG RegCloseKey(HKEY hKey);
