#include "platform/registry/Registry.h"
#include "platform/registry/RegistryHive.h"

#include "tests/support/BmpBuilder.h"
#include "tests/support/ChildProgress.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
class Registry : public ::testing::Test
{
protected:
    CTempDir m_dir;
    CScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.Path().string()};
    std::string StorePath() const { return CRegistryHive::DefaultPath(); }

    HKEY Create(const char* pszPath, LONG* pStatus = nullptr)
    {
        HKEY h = nullptr;
        const LONG n = RegCreateKeyExA(HKEY_LOCAL_MACHINE, pszPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                       nullptr, &h, nullptr);
        if (pStatus)
            *pStatus = n;
        return h;
    }
};

std::vector<BYTE> Read(HKEY h, const char* pszName, DWORD* pType = nullptr, LONG* pStatus = nullptr)
{
    std::vector<BYTE> buf(70000);
    DWORD cb = DWORD(buf.size());
    const LONG n = RegQueryValueExA(h, pszName, nullptr, pType, buf.data(), &cb);
    if (pStatus)
        *pStatus = n;
    buf.resize(n == ERROR_SUCCESS ? cb : 0);
    return buf;
}
} // namespace

TEST_F(Registry, StoreLivesUnderXdgConfigHomeAndIsCreatedWithItsFolders)
{
    // HKEY_LOCAL_MACHINE is the store in the program's own folder; a program names its own
    // store by its file, and opens its keys below that store's root.
    EXPECT_EQ(StorePath(), m_dir.File("platform_registry_tests/registry.db"));
    const std::string strStore = CRegistryHive::UserStore("vistrel");
    EXPECT_EQ(strStore, m_dir.File("vistrel/registry.db"));
    EXPECT_FALSE(std::filesystem::exists(strStore));
    HKEY hRoot = nullptr;
    ASSERT_EQ(RegOpenStoreA(strStore.c_str(), &hRoot), ERROR_SUCCESS);
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(hRoot, "Software\\Quenlor\\Vistrel", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &h, nullptr),
              ERROR_SUCCESS);
    const DWORD v = 7;
    ASSERT_EQ(RegSetValueExA(h, "x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
              ERROR_SUCCESS);
    RegCloseKey(h);
    RegCloseKey(hRoot);
    EXPECT_TRUE(std::filesystem::exists(strStore));
    EXPECT_FALSE(std::filesystem::exists(StorePath())) << "the other store is untouched";

    // A relative XDG_CONFIG_HOME is ignored, as the XDG rules say.
    CScopedEnv relative("XDG_CONFIG_HOME", "relative/dir");
    CScopedEnv home("HOME", m_dir.File("home"));
    EXPECT_EQ(CRegistryHive::UserStore("vistrel"),
              m_dir.File("home") + "/.config/vistrel/registry.db");
}

TEST_F(Registry, TypedValuesKeepTheirExactBytes)
{
    HKEY h = Create("Software\\Quenlor\\Vistrel");
    ASSERT_NE(h, nullptr);
    const BYTE dword[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    std::vector<BYTE> blob(60);
    for (std::size_t i = 0; i < blob.size(); ++i)
        blob[i] = BYTE(i * 7);
    const char text[] = "caf\xC3\xA9 %H:%M";
    ASSERT_EQ(RegSetValueExA(h, "D", 0, REG_DWORD, dword, 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(h, "B", 0, REG_BINARY, blob.data(), 60), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(h, "S", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(h, "E", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    RegCloseKey(h);

    HKEY r = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\quenlor\\VISTREL", 0, KEY_READ, &r),
              ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(Read(r, "d", &type), std::vector<BYTE>(dword, dword + 4));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(Read(r, "B", &type), blob);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(Read(r, "s", &type), std::vector<BYTE>(text, text + sizeof text));
    EXPECT_EQ(type, REG_SZ);
    LONG n;
    EXPECT_TRUE(Read(r, "E", &type, &n).empty());
    EXPECT_EQ(n, ERROR_SUCCESS);
    Read(r, "Missing", nullptr, &n);
    EXPECT_EQ(n, ERROR_FILE_NOT_FOUND);

    // A buffer too small: "more data", with the size needed.
    BYTE small[59];
    DWORD cb = sizeof small;
    EXPECT_EQ(RegQueryValueExA(r, "B", nullptr, nullptr, small, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 60u);
    // Writing through a key opened for reading only is refused.
    EXPECT_EQ(RegSetValueExA(r, "X", 0, REG_DWORD, dword, 4), ERROR_ACCESS_DENIED);
    RegCloseKey(r);
}

TEST_F(Registry, OpeningCreatesMissingKeysButOpenOnlyFindsThem)
{
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A\\B", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
    h = Create("A\\B\\C");
    ASSERT_NE(h, nullptr);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExA(h, "caption0", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(sub);
    RegCloseKey(h);
    for (const char* p : {"a", "A\\b", "a\\B\\c", "A\\B\\C\\CAPTION0"})
    {
        HKEY k = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, p, 0, KEY_READ, &k), ERROR_SUCCESS) << p;
        RegCloseKey(k);
    }
    LONG n;
    EXPECT_EQ(Create("A\\\\B", &n), nullptr);
    EXPECT_EQ(n, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Create(std::string(300, 'k').c_str(), &n), nullptr);
    EXPECT_EQ(n, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    DWORD v = 0;
    EXPECT_EQ(RegSetValueExA(nullptr, "x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
              ERROR_INVALID_HANDLE);
}

TEST_F(Registry, DeletingAKeyTakesItsValuesAndSubKeys)
{
    HKEY h = Create("P\\Q\\R");
    const DWORD v = 7;
    RegSetValueExA(h, "x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    HKEY p = Create("P");
    EXPECT_EQ(RegDeleteTreeA(p, "Q"), ERROR_SUCCESS);
    LONG n;
    Read(h, "x", nullptr, &n);
    EXPECT_EQ(n, ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExA(h, "x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
              ERROR_KEY_DELETED);
    RegSetValueExA(p, "y", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    EXPECT_EQ(RegDeleteValueA(p, "Y"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(p, "Y"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(h);
    RegCloseKey(p);
}

TEST_F(Registry, AFileThatIsNotAStoreIsReportedAndNeverTouched)
{
    std::filesystem::create_directories(std::filesystem::path(StorePath()).parent_path());
    const std::vector<BYTE> garbage(5000, 0x5A);
    WriteBytes(StorePath(), garbage);
    LONG n;
    EXPECT_EQ(Create("Software", &n), nullptr);
    EXPECT_EQ(n, ERROR_BADDB);
    EXPECT_EQ(ReadBytes(StorePath()), garbage);

    // Another program's SQLite database is not ours either.
    std::filesystem::remove(StorePath());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(StorePath().c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE notes(x); INSERT INTO notes VALUES(1);", nullptr, nullptr,
                 nullptr);
    sqlite3_close(db);
    const auto before = ReadBytes(StorePath());
    EXPECT_EQ(Create("Software", &n), nullptr);
    EXPECT_EQ(n, ERROR_BADDB);
    EXPECT_EQ(ReadBytes(StorePath()), before);
}

TEST_F(Registry, AReadOnlyStoreRefusesWritesAndStaysUnchanged)
{
    HKEY h = Create("Software\\Quenlor\\Vistrel");
    const DWORD v = 42;
    RegSetValueExA(h, "ServerPort", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    RegCloseKey(h);
    ASSERT_EQ(chmod(StorePath().c_str(), 0444), 0);
    const auto before = ReadBytes(StorePath());

    LONG n;
    EXPECT_EQ(Create("Software\\Quenlor\\Vistrel", &n), nullptr);
    EXPECT_EQ(n, ERROR_ACCESS_DENIED);
    HKEY r = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quenlor\\Vistrel", 0, KEY_READ, &r),
              ERROR_SUCCESS);
    DWORD type;
    EXPECT_EQ(Read(r, "ServerPort", &type).size(), 4u);
    RegCloseKey(r);
    EXPECT_EQ(ReadBytes(StorePath()), before);

    // In a folder that may not be written either, where no log of it can be kept, it is read
    // all the same (by an account without root's rights, which would write anyway).
    const std::filesystem::path folder = std::filesystem::path(StorePath()).parent_path();
    std::filesystem::remove(StorePath() + "-wal");
    std::filesystem::remove(StorePath() + "-shm");
    for (auto p = folder; p != m_dir.Path().parent_path(); p = p.parent_path())
        ASSERT_EQ(chmod(p.c_str(), p == folder ? 0555 : 0755), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        HKEY k = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quenlor\\Vistrel", 0, KEY_READ, &k) !=
            ERROR_SUCCESS)
            _exit(3);
        const auto value = Read(k, "ServerPort");
        _exit(value.size() == 4 && value[0] == 42 ? 0 : 4);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    chmod(folder.c_str(), 0755);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(ReadBytes(StorePath()), before);
}

// A child process writing 60-byte values in a loop, each write a whole generation; killed at
// a random moment, the store must open and every value be one generation, never a mix.
TEST_F(Registry, AKilledWriterLeavesEveryValueWholeOldOrWholeNew)
{
    {
        HKEY h = Create("Crash");
        RegCloseKey(h);
    }
    std::mt19937 rng(12345);
    CChildProgress written; // values written whole so far
    for (int round = 0; round < 8; ++round)
    {
        const std::int64_t nBefore = written->load();
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
        {
            HKEY h = nullptr;
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Crash", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                            nullptr);
            for (int gen = 1;; ++gen)
                for (int i = 0; i < 12; ++i)
                {
                    std::vector<BYTE> value(60, BYTE(gen));
                    const std::string name = "v" + std::to_string(i);
                    if (RegSetValueExA(h, name.c_str(), 0, REG_BINARY, value.data(), 60) ==
                        ERROR_SUCCESS)
                        ++*written;
                }
        }
        // Killed a little after it has written every value at least once.
        ASSERT_TRUE(written.WaitFor(nBefore + 12)) << "round " << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20));
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);

        HKEY r = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Crash", 0, KEY_READ, &r), ERROR_SUCCESS);
        for (int i = 0; i < 12; ++i)
        {
            LONG n;
            const auto v = Read(r, ("v" + std::to_string(i)).c_str(), nullptr, &n);
            ASSERT_EQ(n, ERROR_SUCCESS) << "round " << round << ", v" << i;
            ASSERT_EQ(v.size(), 60u);
            for (BYTE b : v)
                ASSERT_EQ(b, v[0]);
        }
        RegCloseKey(r);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(StorePath().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST_F(Registry, TwoWritersAtOnceBothSucceed)
{
    {
        HKEY h = Create("Both");
        RegCloseKey(h);
    }
    pid_t pids[2];
    for (int c = 0; c < 2; ++c)
    {
        pids[c] = fork();
        ASSERT_GE(pids[c], 0);
        if (pids[c] == 0)
        {
            int nFailures = 0;
            for (int i = 0; i < 150; ++i)
            {
                HKEY h = nullptr;
                if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Both", 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &h, nullptr) != ERROR_SUCCESS)
                {
                    ++nFailures;
                    continue;
                }
                const DWORD v = DWORD(i);
                const std::string name = "writer" + std::to_string(c);
                nFailures += RegSetValueExA(h, name.c_str(), 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&v), 4) != ERROR_SUCCESS;
                RegCloseKey(h);
            }
            _exit(nFailures == 0 ? 0 : 1);
        }
    }
    for (pid_t pid : pids)
    {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY r = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Both", 0, KEY_READ, &r), ERROR_SUCCESS);
    for (const char* name : {"writer0", "writer1"})
    {
        const auto v = Read(r, name);
        ASSERT_EQ(v.size(), 4u);
        EXPECT_EQ(v[0], 149);
    }
    RegCloseKey(r);
}

TEST_F(Registry, KeysAndValuesLeaveNoLockBehindAndReadingNeedsNoWriteLock)
{
    HKEY h = Create("Locks\\Inner");
    ASSERT_NE(h, nullptr);
    const DWORD v = 5;
    ASSERT_EQ(RegSetValueExA(h, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
              ERROR_SUCCESS);

    // Another program's connection, which never waits.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(StorePath().c_str(), &other), SQLITE_OK);
    auto exec = [&](const char* pszSql)
    {
        return sqlite3_exec(other, pszSql, nullptr, nullptr, nullptr);
    };

    // Every statement this handle ran — including a lookup stopped at its row and the
    // enumerations — has let the file go, or this commit could not take its exclusive lock.
    EXPECT_EQ(Read(h, "v").size(), 4u);
    std::vector<std::string> names;
    EXPECT_EQ(h->Hive().SubKeyNames(CRegistryHive::kRootKey, names), ERROR_SUCCESS);
    std::vector<CRegistryHive::Value> values;
    EXPECT_EQ(h->Hive().Values(h->Key(), values), ERROR_SUCCESS);
    ASSERT_EQ(exec("UPDATE vals SET data=x'07000000' WHERE name='v'"), SQLITE_OK);
    const auto updated = Read(h, "v");
    ASSERT_EQ(updated.size(), 4u);
    EXPECT_EQ(updated[0], 7);

    // While another program holds the write lock, keys that exist still open for writing
    // and values still read.
    ASSERT_EQ(exec("BEGIN IMMEDIATE; UPDATE vals SET data=x'09000000' WHERE name='v'"), SQLITE_OK);
    LONG nStatus = ERROR_INVALID_HANDLE;
    HKEY again = Create("Locks\\Inner", &nStatus);
    EXPECT_EQ(nStatus, ERROR_SUCCESS);
    if (again != nullptr)
    {
        const auto during = Read(again, "v");
        ASSERT_EQ(during.size(), 4u);
        EXPECT_EQ(during[0], 7) << "an uncommitted value was read";
        RegCloseKey(again);
    }
    ASSERT_EQ(exec("COMMIT"), SQLITE_OK);
    sqlite3_close(other);
    RegCloseKey(h);
}

TEST_F(Registry, ARecordReadInOneTransactionIsOneStateOfTheFile)
{
    HKEY h = Create("Snapshot");
    ASSERT_NE(h, nullptr);
    auto set = [&](const char* pszName, DWORD n)
    {
        return RegSetValueExA(h, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), 4);
    };
    ASSERT_EQ(set("a", 1), ERROR_SUCCESS);
    ASSERT_EQ(set("b", 1), ERROR_SUCCESS);

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(StorePath().c_str(), &other), SQLITE_OK);
    std::vector<BYTE> a;
    std::vector<BYTE> b;
    int nCommit = SQLITE_OK;
    ASSERT_EQ(h->Hive().Consistently(
                  [&]
                  {
                      a = Read(h, "a");
                      // Another program changes both values between the two reads; it need
                      // not wait for this read, which goes on seeing the state it began in.
                      sqlite3_busy_timeout(other, 0);
                      nCommit = sqlite3_exec(other,
                                             "UPDATE vals SET data=x'02000000' WHERE name IN "
                                             "('a','b')",
                                             nullptr, nullptr, nullptr);
                      b = Read(h, "b");
                      return LONG(ERROR_SUCCESS);
                  }),
              ERROR_SUCCESS);
    EXPECT_EQ(nCommit, SQLITE_OK);
    ASSERT_EQ(a.size(), 4u);
    ASSERT_EQ(b.size(), 4u);
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ(b[0], 1);
    // Afterwards the other program's change is what is read.
    EXPECT_EQ(Read(h, "b")[0], 2);
    sqlite3_close(other);
    RegCloseKey(h);
}
