#pragma once
// Keeps each of the store's statements prepared for the life of its connection. Preparing
// costs far more than running these one-row lookups, and loading the settings runs them
// about a hundred and forty times.

#include <array>
#include <bitset>
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

class CStatementCache
{
public:
    enum Id
    {
        KeyExists,
        FindChild,
        InsertKey,
        SelectValue,
        UpsertValue,
        DeleteValue,
        DeleteKey,
        SubKeyNames,
        Values,
        ParentOf,
        kCount
    };

    explicit CStatementCache(sqlite3* pDb) : m_pDb(pDb) {}
    ~CStatementCache();
    CStatementCache(const CStatementCache&) = delete;
    CStatementCache& operator=(const CStatementCache&) = delete;

    // Ends a use: a cached statement is reset and its bindings cleared, so it holds no lock on
    // the file once its caller is done; one prepared only for this use is finalised.
    class CRelease
    {
    public:
        CRelease() = default;
        CRelease(CStatementCache* pCache, int nId) : m_pCache(pCache), m_nId(nId) {}
        void operator()(sqlite3_stmt* p) const;

    private:
        CStatementCache* m_pCache = nullptr;
        int m_nId = -1;
    };
    using CLease = std::unique_ptr<sqlite3_stmt, CRelease>;

    // The statement for id, ready for binding; empty (with the SQLite code in *pnCode) when it
    // cannot be prepared. A statement still in use is not handed out twice: a nested use gets
    // one of its own.
    CLease Use(Id id, int* pnCode);

private:
    sqlite3* m_pDb;
    std::array<sqlite3_stmt*, kCount> m_statements{};
    std::bitset<kCount> m_inUse;
};
