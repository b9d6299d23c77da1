#include "platform/registry/RegistryHive.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace
{
constexpr int kApplicationId = 0x56535452; // "VSTR": marks a file as our store
constexpr int kBusyTimeoutMs = 10000;
thread_local int t_nBusyTimeoutMs = kBusyTimeoutMs;

struct StatementDeleter
{
    void operator()(sqlite3_stmt* p) const { sqlite3_finalize(p); }
};
using CStatement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

CStatement Prepare(sqlite3* pDb, const char* pszSql, int* pnCode)
{
    sqlite3_stmt* p = nullptr;
    *pnCode = sqlite3_prepare_v2(pDb, pszSql, -1, &p, nullptr);
    return CStatement(p);
}

void BindText(sqlite3_stmt* p, int i, const char* psz)
{
    sqlite3_bind_text(p, i, psz, -1, SQLITE_TRANSIENT);
}

// Splits a backslash-separated key path; false for an empty component or an overlong name.
bool SplitPath(const char* pszPath, std::vector<std::string>& parts)
{
    if (pszPath == nullptr || *pszPath == '\0')
        return true;
    std::string s(pszPath);
    std::size_t nStart = 0;
    for (;;)
    {
        const std::size_t nEnd = s.find('\\', nStart);
        std::string part =
            s.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
        if (part.empty() || part.size() > CRegistryHive::kMaxNameLength)
            return false;
        parts.push_back(std::move(part));
        if (nEnd == std::string::npos)
            return true;
        nStart = nEnd + 1;
    }
}
// A file name as a URI's path: the characters a URI gives a meaning to are escaped.
std::string UriPath(const std::string& strPath)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string s;
    for (const char c : strPath)
    {
        if (c == '%' || c == '?' || c == '#')
        {
            s += '%';
            s += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
            s += kHex[static_cast<unsigned char>(c) & 0xF];
        }
        else
        {
            s += c;
        }
    }
    return s;
}

// Whether an SQLite file's header says it is kept with a write-ahead log.
bool UsesWriteAheadLog(const std::string& strPath)
{
    unsigned char header[20] = {};
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    const ssize_t n = ::read(fd, header, sizeof header);
    ::close(fd);
    return n == ssize_t(sizeof header) && header[18] == 2 && header[19] == 2;
}
} // namespace

CRegistryHive::~CRegistryHive()
{
    Disconnect();
}

std::string CRegistryHive::DefaultPath()
{
    return UserStore(program_invocation_short_name);
}

std::string CRegistryHive::UserStore(const std::string& strFolder)
{
    std::string base;
    const char* pszXdg = std::getenv("XDG_CONFIG_HOME");
    if (pszXdg != nullptr && pszXdg[0] == '/')
    {
        base = pszXdg;
    }
    else
    {
        const char* pszHome = std::getenv("HOME");
        if (pszHome == nullptr || *pszHome == '\0')
        {
            const passwd* pw = getpwuid(getuid());
            pszHome = pw != nullptr ? pw->pw_dir : "/";
        }
        base = std::string(pszHome) + "/.config";
    }
    return base + "/" + strFolder + "/registry.db";
}

LONG CRegistryHive::Status(int nCode) const
{
    switch (nCode & 0xFF)
    {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return ERROR_SUCCESS;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_ERROR: // a schema that is not ours
        return ERROR_BADDB;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return ERROR_BUSY;
    case SQLITE_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
        return ERROR_DISK_FULL;
    case SQLITE_CANTOPEN:
        return ERROR_CANTOPEN;
    case SQLITE_CONSTRAINT:
        return ERROR_KEY_DELETED;
    default:
        return ERROR_CANTWRITE;
    }
}

CRegistryHive::CBusyWait::CBusyWait(int nMs) : m_nPrevious(t_nBusyTimeoutMs)
{
    t_nBusyTimeoutMs = nMs < 0 ? 0 : nMs;
}

CRegistryHive::CBusyWait::~CBusyWait()
{
    t_nBusyTimeoutMs = m_nPrevious;
}

LONG CRegistryHive::Open(const std::string& strPath, std::shared_ptr<CRegistryHive>& pHive)
{
    pHive.reset();
    std::shared_ptr<CRegistryHive> p(new CRegistryHive);
    p->m_strPath = strPath;

    struct stat st;
    const bool bExists = ::stat(strPath.c_str(), &st) == 0;
    if (bExists && S_ISDIR(st.st_mode))
        return ERROR_CANTOPEN;
    // A file without any write permission bit is read-only for everyone, root included.
    p->m_bReadOnly = bExists && (st.st_mode & 0222) == 0;
    const std::string parent = std::filesystem::path(strPath).parent_path().string();
    if (!bExists)
    {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec == std::errc::permission_denied || ec == std::errc::read_only_file_system)
            return ERROR_ACCESS_DENIED;
        if (ec == std::errc::no_space_on_device)
            return ERROR_DISK_FULL;
        if (ec)
            return ERROR_PATH_NOT_FOUND;
    }

    LONG nStatus = p->Connect(false);
    if (nStatus == ERROR_SUCCESS)
        nStatus = p->Initialise();
    // A store kept with a write-ahead log cannot be read through it where its folder may not
    // be written (the log's index cannot be made): read the file itself, which nobody can be
    // changing there.
    if ((nStatus == ERROR_ACCESS_DENIED || nStatus == ERROR_CANTOPEN) && bExists &&
        UsesWriteAheadLog(strPath) && access(parent.c_str(), W_OK) != 0)
    {
        p->Disconnect();
        p->m_bReadOnly = true;
        nStatus = p->Connect(true);
        if (nStatus == ERROR_SUCCESS)
            nStatus = p->Initialise();
    }
    if (nStatus != ERROR_SUCCESS && !bExists)
    {
        // A store that could not be made (a full disk, say) leaves no empty file behind to be
        // taken for a store later.
        p->Disconnect();
        ::unlink(strPath.c_str());
        ::unlink((strPath + "-journal").c_str());
    }
    if (nStatus != ERROR_SUCCESS)
        return nStatus;
    // Readers of a write-ahead log never wait for a writer, however often it saves, and a
    // writer never waits for them: a start during a long run of saves still reads one whole
    // record. A store that cannot switch now (another program holds it) is switched later.
    if (!p->m_bReadOnly)
        p->Exec("PRAGMA journal_mode=WAL");
    pHive = std::move(p);
    return ERROR_SUCCESS;
}

LONG CRegistryHive::Connect(bool bImmutable)
{
    const int nFlags =
        (m_bReadOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) |
        SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI;
    const std::string strName =
        bImmutable ? "file:" + UriPath(m_strPath) + "?immutable=1" : "file:" + UriPath(m_strPath);
    const int nCode = sqlite3_open_v2(strName.c_str(), &m_pDb, nFlags, nullptr);
    if (nCode != SQLITE_OK)
        return nCode == SQLITE_CANTOPEN && errno == EACCES ? ERROR_ACCESS_DENIED : Status(nCode);
    m_pStatements = std::make_unique<CStatementCache>(m_pDb);
    sqlite3_busy_timeout(m_pDb, t_nBusyTimeoutMs);
    sqlite3_extended_result_codes(m_pDb, 1);
    if (sqlite3_db_readonly(m_pDb, "main") == 1)
        m_bReadOnly = true;
    return ERROR_SUCCESS;
}

void CRegistryHive::Disconnect()
{
    m_pStatements.reset(); // finalised before the connection closes
    if (m_pDb != nullptr)
        sqlite3_close_v2(m_pDb);
    m_pDb = nullptr;
}

LONG CRegistryHive::Exec(const char* pszSql)
{
    return Status(sqlite3_exec(m_pDb, pszSql, nullptr, nullptr, nullptr));
}

LONG CRegistryHive::Initialise()
{
    LONG n = Exec("PRAGMA foreign_keys=ON");
    if (n != ERROR_SUCCESS)
        return n;

    auto isOurs = [&](bool* pbEmpty) -> LONG
    {
        int nCode;
        auto id = Prepare(m_pDb, "PRAGMA application_id", &nCode);
        if (!id || sqlite3_step(id.get()) != SQLITE_ROW)
            return Status(sqlite3_errcode(m_pDb));
        const int nId = sqlite3_column_int(id.get(), 0);
        auto count = Prepare(m_pDb, "SELECT count(*) FROM sqlite_master", &nCode);
        if (!count || sqlite3_step(count.get()) != SQLITE_ROW)
            return Status(sqlite3_errcode(m_pDb));
        *pbEmpty = nId == 0 && sqlite3_column_int(count.get(), 0) == 0;
        return *pbEmpty || nId == kApplicationId ? ERROR_SUCCESS : ERROR_BADDB;
    };

    bool bEmpty = false;
    n = isOurs(&bEmpty);
    if (n != ERROR_SUCCESS || !bEmpty)
        return n;
    if (m_bReadOnly)
        return ERROR_ACCESS_DENIED;

    // A new file: lay out the tables once, re-checking under the write lock in case another
    // program initialised it meanwhile.
    n = Exec("BEGIN IMMEDIATE");
    if (n != ERROR_SUCCESS)
        return n;
    n = isOurs(&bEmpty);
    if (n == ERROR_SUCCESS && bEmpty)
    {
        n = Exec("CREATE TABLE keys(id INTEGER PRIMARY KEY, "
                 "parent INTEGER REFERENCES keys(id) ON DELETE CASCADE, "
                 "name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));"
                 "CREATE TABLE vals(key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE, "
                 "name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL, "
                 "PRIMARY KEY(key, name)) WITHOUT ROWID;"
                 "INSERT INTO keys(id, parent, name) VALUES(1, NULL, 'HKEY_LOCAL_MACHINE');"
                 "PRAGMA application_id=1448301650;"
                 "PRAGMA user_version=1;");
    }
    const LONG nEnd = Exec(n == ERROR_SUCCESS ? "COMMIT" : "ROLLBACK");
    return n != ERROR_SUCCESS ? n : nEnd;
}

LONG CRegistryHive::Begin(const char* pszSql)
{
    if (m_nTransactionDepth++ > 0)
        return ERROR_SUCCESS;
    const LONG n = Exec(pszSql);
    if (n != ERROR_SUCCESS)
        m_nTransactionDepth = 0;
    return n;
}

LONG CRegistryHive::End(bool bCommit)
{
    if (m_nTransactionDepth == 0)
        return ERROR_SUCCESS;
    if (--m_nTransactionDepth > 0)
        return ERROR_SUCCESS;
    if (bCommit)
    {
        const LONG n = Exec("COMMIT");
        if (n == ERROR_SUCCESS)
            return n;
    }
    Exec("ROLLBACK");
    return bCommit ? ERROR_CANTWRITE : ERROR_SUCCESS;
}

bool CRegistryHive::KeyExists(std::int64_t nKey)
{
    int nCode;
    auto st = m_pStatements->Use(CStatementCache::KeyExists, &nCode);
    if (!st)
        return false;
    sqlite3_bind_int64(st.get(), 1, nKey);
    return sqlite3_step(st.get()) == SQLITE_ROW;
}

LONG CRegistryHive::FindKey(std::int64_t nParent, const char* pszPath, bool bCreate,
                            std::int64_t* pnKey)
{
    std::vector<std::string> parts;
    if (!SplitPath(pszPath, parts))
        return ERROR_INVALID_PARAMETER;
    if (bCreate && m_bReadOnly)
        return ERROR_ACCESS_DENIED;

    auto walk = [&](bool bMake) -> LONG
    {
        if (!KeyExists(nParent))
            return ERROR_KEY_DELETED;
        int nCode;
        auto find = m_pStatements->Use(CStatementCache::FindChild, &nCode);
        if (!find)
            return Status(nCode);
        std::size_t nDepth = 0;
        if (bMake)
            if (const LONG e = Depth(nParent, &nDepth); e != ERROR_SUCCESS)
                return e;
        std::int64_t nKey = nParent;
        for (const auto& part : parts)
        {
            ++nDepth;
            sqlite3_reset(find.get());
            sqlite3_bind_int64(find.get(), 1, nKey);
            BindText(find.get(), 2, part.c_str());
            nCode = sqlite3_step(find.get());
            if (nCode == SQLITE_ROW)
            {
                nKey = sqlite3_column_int64(find.get(), 0);
                continue;
            }
            if (nCode != SQLITE_DONE)
                return Status(nCode);
            if (!bMake)
                return ERROR_FILE_NOT_FOUND;
            if (nDepth > kMaxDepth)
                return ERROR_INVALID_PARAMETER;
            auto insert = m_pStatements->Use(CStatementCache::InsertKey, &nCode);
            if (!insert)
                return Status(nCode);
            sqlite3_bind_int64(insert.get(), 1, nKey);
            BindText(insert.get(), 2, part.c_str());
            nCode = sqlite3_step(insert.get());
            if (nCode != SQLITE_DONE)
                return Status(nCode);
            nKey = sqlite3_last_insert_rowid(m_pDb);
        }
        *pnKey = nKey;
        return ERROR_SUCCESS;
    };
    // Keys that are all there need no write lock: opening them for writing is a plain read,
    // so loading the settings never waits for, or blocks, another program's save.
    const LONG n = Consistently([&] { return walk(false); });
    if (n != ERROR_FILE_NOT_FOUND || !bCreate)
        return n;
    return Atomically([&] { return walk(true); });
}

LONG CRegistryHive::QueryValue(std::int64_t nKey, const char* pszName, DWORD* pType, BYTE* pData,
                               DWORD* pcbData)
{
    int nCode;
    auto st = m_pStatements->Use(CStatementCache::SelectValue, &nCode);
    if (!st)
        return Status(nCode);
    sqlite3_bind_int64(st.get(), 1, nKey);
    BindText(st.get(), 2, pszName != nullptr ? pszName : "");
    nCode = sqlite3_step(st.get());
    if (nCode == SQLITE_DONE)
        return KeyExists(nKey) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    if (nCode != SQLITE_ROW)
        return Status(nCode);

    const auto nType = DWORD(sqlite3_column_int64(st.get(), 0));
    const void* pBlob = sqlite3_column_blob(st.get(), 1);
    const auto nSize = DWORD(sqlite3_column_bytes(st.get(), 1));
    if (pType != nullptr)
        *pType = nType;
    if (pData != nullptr)
    {
        if (pcbData == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (nSize > *pcbData)
        {
            *pcbData = nSize;
            return ERROR_MORE_DATA;
        }
        if (nSize > 0)
            std::memcpy(pData, pBlob, nSize);
    }
    if (pcbData != nullptr)
        *pcbData = nSize;
    return ERROR_SUCCESS;
}

LONG CRegistryHive::SetValue(std::int64_t nKey, const char* pszName, DWORD nType, const BYTE* pData,
                             DWORD cbData)
{
    if (m_bReadOnly)
        return ERROR_ACCESS_DENIED;
    if (pData == nullptr && cbData != 0)
        return ERROR_INVALID_PARAMETER;
    const std::string name = pszName != nullptr ? pszName : "";
    if (name.size() > 16383)
        return ERROR_INVALID_PARAMETER;
    int nCode;
    auto st = m_pStatements->Use(CStatementCache::UpsertValue, &nCode);
    if (!st)
        return Status(nCode);
    sqlite3_bind_int64(st.get(), 1, nKey);
    BindText(st.get(), 2, name.c_str());
    sqlite3_bind_int64(st.get(), 3, nType);
    if (cbData == 0)
        sqlite3_bind_zeroblob(st.get(), 4, 0);
    else
        sqlite3_bind_blob(st.get(), 4, pData, int(cbData), SQLITE_TRANSIENT);
    return Status(sqlite3_step(st.get()));
}

LONG CRegistryHive::DeleteValue(std::int64_t nKey, const char* pszName)
{
    if (m_bReadOnly)
        return ERROR_ACCESS_DENIED;
    int nCode;
    auto st = m_pStatements->Use(CStatementCache::DeleteValue, &nCode);
    if (!st)
        return Status(nCode);
    sqlite3_bind_int64(st.get(), 1, nKey);
    BindText(st.get(), 2, pszName != nullptr ? pszName : "");
    const LONG n = Status(sqlite3_step(st.get()));
    if (n != ERROR_SUCCESS)
        return n;
    return sqlite3_changes(m_pDb) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG CRegistryHive::DeleteKey(std::int64_t nKey)
{
    if (m_bReadOnly)
        return ERROR_ACCESS_DENIED;
    if (nKey == kRootKey)
        return ERROR_ACCESS_DENIED;
    return Atomically(
        [&]() -> LONG
        {
            if (!KeyExists(nKey))
                return ERROR_KEY_DELETED;
            // The whole subtree, level by level, then deleted from the bottom up: each delete
            // takes only the key's values with it, so no depth is too deep. A key met twice is
            // one of its own parents.
            std::vector<std::int64_t> keys{nKey};
            std::unordered_set<std::int64_t> seen{nKey};
            std::vector<SubKey> subKeys;
            for (std::size_t i = 0; i < keys.size(); ++i)
            {
                if (const LONG n = SubKeys(keys[i], subKeys); n != ERROR_SUCCESS)
                    return n;
                for (const SubKey& k : subKeys)
                {
                    if (!seen.insert(k.nId).second)
                        return ERROR_BADDB;
                    keys.push_back(k.nId);
                }
            }
            int nCode;
            auto st = m_pStatements->Use(CStatementCache::DeleteKey, &nCode);
            if (!st)
                return Status(nCode);
            for (auto it = keys.rbegin(); it != keys.rend(); ++it)
            {
                sqlite3_reset(st.get());
                sqlite3_bind_int64(st.get(), 1, *it);
                if (const LONG n = Status(sqlite3_step(st.get())); n != ERROR_SUCCESS)
                    return n;
            }
            return ERROR_SUCCESS;
        });
}

LONG CRegistryHive::SubKeys(std::int64_t nKey, std::vector<SubKey>& subKeys)
{
    subKeys.clear();
    int nCode;
    auto st = m_pStatements->Use(CStatementCache::SubKeyNames, &nCode);
    if (!st)
        return Status(nCode);
    sqlite3_bind_int64(st.get(), 1, nKey);
    while ((nCode = sqlite3_step(st.get())) == SQLITE_ROW)
        subKeys.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0)),
                           sqlite3_column_int64(st.get(), 1)});
    return Status(nCode);
}

LONG CRegistryHive::SubKeyNames(std::int64_t nKey, std::vector<std::string>& names)
{
    names.clear();
    std::vector<SubKey> subKeys;
    const LONG n = SubKeys(nKey, subKeys);
    for (SubKey& k : subKeys)
        names.push_back(std::move(k.strName));
    return n;
}

LONG CRegistryHive::Depth(std::int64_t nKey, std::size_t* pnDepth)
{
    int nCode;
    auto st = m_pStatements->Use(CStatementCache::ParentOf, &nCode);
    if (!st)
        return Status(nCode);
    std::size_t nDepth = 0;
    std::unordered_set<std::int64_t> seen;
    for (std::int64_t n = nKey; n != kRootKey; ++nDepth)
    {
        if (!seen.insert(n).second)
            return ERROR_BADDB; // its parents go round in a circle
        sqlite3_reset(st.get());
        sqlite3_bind_int64(st.get(), 1, n);
        nCode = sqlite3_step(st.get());
        if (nCode == SQLITE_DONE)
            return ERROR_KEY_DELETED;
        if (nCode != SQLITE_ROW)
            return Status(nCode);
        if (sqlite3_column_type(st.get(), 0) == SQLITE_NULL)
            return ERROR_BADDB; // a second root
        n = sqlite3_column_int64(st.get(), 0);
    }
    *pnDepth = nDepth;
    return ERROR_SUCCESS;
}

LONG CRegistryHive::Values(std::int64_t nKey, std::vector<Value>& values)
{
    values.clear();
    int nCode;
    auto st = m_pStatements->Use(CStatementCache::Values, &nCode);
    if (!st)
        return Status(nCode);
    sqlite3_bind_int64(st.get(), 1, nKey);
    while ((nCode = sqlite3_step(st.get())) == SQLITE_ROW)
    {
        Value v;
        v.strName = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
        v.nType = DWORD(sqlite3_column_int64(st.get(), 1));
        const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(st.get(), 2));
        v.data.assign(p, p + sqlite3_column_bytes(st.get(), 2));
        values.push_back(std::move(v));
    }
    return Status(nCode);
}
