#include "platform/registry/StatementCache.h"

#include <sqlite3.h>

namespace
{
constexpr std::array<const char*, CStatementCache::kCount> kSql = {
    "SELECT 1 FROM keys WHERE id=?",
    "SELECT id FROM keys WHERE parent=? AND name=?",
    "INSERT INTO keys(parent, name) VALUES(?, ?)",
    "SELECT type, data FROM vals WHERE key=? AND name=?",
    "INSERT OR REPLACE INTO vals(key, name, type, data) VALUES(?, ?, ?, ?)",
    "DELETE FROM vals WHERE key=? AND name=?",
    "DELETE FROM keys WHERE id=?",
    "SELECT name, id FROM keys WHERE parent=? ORDER BY name",
    "SELECT name, type, data FROM vals WHERE key=? ORDER BY name",
    "SELECT parent FROM keys WHERE id=?",
};
} // namespace

CStatementCache::~CStatementCache()
{
    for (sqlite3_stmt* p : m_statements)
        sqlite3_finalize(p);
}

CStatementCache::CLease CStatementCache::Use(Id id, int* pnCode)
{
    *pnCode = SQLITE_OK;
    if (m_inUse.test(id))
    {
        sqlite3_stmt* p = nullptr;
        *pnCode = sqlite3_prepare_v2(m_pDb, kSql[id], -1, &p, nullptr);
        return CLease(p, CRelease());
    }
    if (m_statements[id] == nullptr)
    {
        *pnCode = sqlite3_prepare_v3(m_pDb, kSql[id], -1, SQLITE_PREPARE_PERSISTENT,
                                     &m_statements[id], nullptr);
        if (*pnCode != SQLITE_OK)
        {
            sqlite3_finalize(m_statements[id]);
            m_statements[id] = nullptr;
            return CLease(nullptr, CRelease());
        }
    }
    m_inUse.set(id);
    return CLease(m_statements[id], CRelease(this, id));
}

void CStatementCache::CRelease::operator()(sqlite3_stmt* p) const
{
    if (m_pCache == nullptr)
    {
        sqlite3_finalize(p);
        return;
    }
    sqlite3_reset(p);
    sqlite3_clear_bindings(p);
    m_pCache->m_inUse.reset(std::size_t(m_nId));
}
