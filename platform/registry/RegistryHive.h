#pragma once
// The machine hive: one SQLite file holding a tree of keys with typed values. Every write is
// its own transaction, so an interrupted save leaves each value wholly old or wholly new, and
// SQLite's locking (with a busy timeout) keeps two running programs from corrupting it; with
// its write-ahead log a reader never waits for a writer. A file that is not a store is
// reported (ERROR_BADDB) and never written to.

#include "platform/registry/RegistryTypes.h"
#include "platform/registry/StatementCache.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

class CRegistryHive
{
public:
    static constexpr std::int64_t kRootKey = 1;
    static constexpr std::size_t kMaxNameLength = 255;
    // As in the Windows registry: no key is made deeper than this below the root.
    static constexpr std::size_t kMaxDepth = 512;

    ~CRegistryHive();
    CRegistryHive(const CRegistryHive&) = delete;
    CRegistryHive& operator=(const CRegistryHive&) = delete;

    // ${XDG_CONFIG_HOME:-$HOME/.config}/<folder>/registry.db: where a program keeps its store.
    static std::string UserStore(const std::string& strFolder);
    // The store of HKEY_LOCAL_MACHINE: UserStore of the program's file name.
    static std::string DefaultPath();
    // Opens (creating it and its folders when absent) the store at strPath.
    static LONG Open(const std::string& strPath, std::shared_ptr<CRegistryHive>& pHive);

    // Within its scope, a store opened on this thread waits at most nMs for a lock another
    // program holds, instead of the usual ten seconds.
    class CBusyWait
    {
    public:
        explicit CBusyWait(int nMs);
        ~CBusyWait();
        CBusyWait(const CBusyWait&) = delete;
        CBusyWait& operator=(const CBusyWait&) = delete;

    private:
        int m_nPrevious;
    };

    bool IsReadOnly() const { return m_bReadOnly; }
    const std::string& Path() const { return m_strPath; }

    // Walks a backslash-separated path below nParent; with bCreate the missing keys are made,
    // all in one transaction (ERROR_INVALID_PARAMETER when that would go deeper than
    // kMaxDepth).
    LONG FindKey(std::int64_t nParent, const char* pszPath, bool bCreate, std::int64_t* pnKey);
    LONG QueryValue(std::int64_t nKey, const char* pszName, DWORD* pType, BYTE* pData,
                    DWORD* pcbData);
    LONG SetValue(std::int64_t nKey, const char* pszName, DWORD nType, const BYTE* pData,
                  DWORD cbData);
    LONG DeleteValue(std::int64_t nKey, const char* pszName);
    // Removes a key with everything below it (not the root), however deep, in one transaction;
    // ERROR_BADDB when a key below it is one of its own parents.
    LONG DeleteKey(std::int64_t nKey);
    LONG SubKeyNames(std::int64_t nKey, std::vector<std::string>& names);
    struct SubKey
    {
        std::string strName;
        std::int64_t nId = 0;
    };
    // The keys right below nKey, in name order.
    LONG SubKeys(std::int64_t nKey, std::vector<SubKey>& subKeys);
    // How many levels below the root nKey is; ERROR_BADDB when its parents go round in a
    // circle or end somewhere else than the root.
    LONG Depth(std::int64_t nKey, std::size_t* pnDepth);
    struct Value
    {
        std::string strName;
        DWORD nType = REG_NONE;
        std::vector<BYTE> data;
    };
    LONG Values(std::int64_t nKey, std::vector<Value>& values);
    bool KeyExists(std::int64_t nKey);

    // Runs fn inside one transaction: everything it does is kept, or (when it returns a
    // failure) nothing is.
    template <class F> LONG Atomically(F&& fn)
    {
        LONG n = Begin();
        if (n != ERROR_SUCCESS)
            return n;
        n = fn();
        return End(n == ERROR_SUCCESS) == ERROR_SUCCESS ? n : ERROR_CANTWRITE;
    }

    // Runs fn inside one read transaction: everything it reads comes from one state of the
    // file, even while another program saves. fn should not write: taking the write lock
    // while holding a read lock can fail at once with ERROR_BUSY when another program is
    // saving.
    template <class F> LONG Consistently(F&& fn)
    {
        LONG n = Begin("BEGIN DEFERRED");
        if (n != ERROR_SUCCESS)
            return n;
        n = fn();
        End(true);
        return n;
    }

private:
    CRegistryHive() = default;
    LONG Connect(bool bImmutable);
    void Disconnect();
    LONG Initialise();
    LONG Begin(const char* pszSql = "BEGIN IMMEDIATE");
    LONG End(bool bCommit);
    LONG Exec(const char* pszSql);
    LONG Status(int nSqliteCode) const;

    sqlite3* m_pDb = nullptr;
    std::unique_ptr<CStatementCache> m_pStatements;
    std::string m_strPath;
    bool m_bReadOnly = false;
    int m_nTransactionDepth = 0;
};

// An open key: the hive it lives in and its id there.
class CRegKeyHandle
{
public:
    CRegKeyHandle(std::shared_ptr<CRegistryHive> pHive, std::int64_t nKey, REGSAM access)
        : m_pHive(std::move(pHive)), m_nKey(nKey), m_access(access)
    {
    }
    CRegistryHive& Hive() const { return *m_pHive; }
    const std::shared_ptr<CRegistryHive>& SharedHive() const { return m_pHive; }
    std::int64_t Key() const { return m_nKey; }
    REGSAM Access() const { return m_access; }

private:
    std::shared_ptr<CRegistryHive> m_pHive;
    std::int64_t m_nKey;
    REGSAM m_access;
};
