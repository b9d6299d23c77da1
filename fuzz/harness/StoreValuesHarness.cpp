// Stores arbitrary bytes as the values the program reads — the twelve settings and a caption's
// ten values, each of a type and size taken from the input — then loads the settings and
// draws the caption, as start-up and the first image would.

#include "platform/registry/Registry.h"
#include "platform/registry/RegistryHive.h"
#include "settings/Settings.h"

#include <QGuiApplication>
#include <sqlite3.h>

#include "fuzz/harness/Harnesses.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace
{
const char* const kProductValues[] = {"ServerPort",    "ServerEnabled",  "ImageType",
                                      "HttpHeaders",   "PreviewEnabled", "CaptureDevice",
                                      "ImageHeight",   "ImageWidth",     "JpegQuality",
                                      "UseCustomSize", "UseOverlay",     "OverlayTransColor"};
const char* const kCaptionValues[] = {"BackColor", "BackType",  "Enabled",  "FontInfo", "HPosType",
                                      "Text",      "TextColor", "VPosType", "XPos",     "YPos"};

// Writes the inputs' values straight into the store through one connection kept for the
// whole run, so each run's time goes to the reads being fuzzed: opening the store for the
// set-up as well cost a fifth of every run.
class CValueWriter
{
public:
    CValueWriter()
    {
        HKEY hProduct = nullptr;
        HKEY hCaption = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, CSettings::kProductKey, 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &hProduct, nullptr) != ERROR_SUCCESS ||
            RegCreateKeyExA(hProduct, "caption0", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hCaption,
                            nullptr) != ERROR_SUCCESS)
            std::abort();
        m_nProduct = hProduct->Key();
        m_nCaption = hCaption->Key();
        RegCloseKey(hCaption);
        RegCloseKey(hProduct);
        if (sqlite3_open(CRegistryHive::DefaultPath().c_str(), &m_pDb) != SQLITE_OK ||
            sqlite3_prepare_v2(m_pDb,
                               "INSERT OR REPLACE INTO vals(key, name, type, data) "
                               "VALUES(?, ?, ?, ?)",
                               -1, &m_pSet, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(m_pDb, "DELETE FROM vals WHERE key=? AND name=?", -1, &m_pDelete,
                               nullptr) != SQLITE_OK)
            std::abort();
    }

    std::int64_t Product() const { return m_nProduct; }
    std::int64_t Caption() const { return m_nCaption; }
    void Begin() { Exec("BEGIN IMMEDIATE"); }
    void Commit() { Exec("COMMIT"); }
    void Set(std::int64_t nKey, const char* pszName, DWORD nType, const std::string& value)
    {
        sqlite3_bind_int64(m_pSet, 1, nKey);
        sqlite3_bind_text(m_pSet, 2, pszName, -1, SQLITE_STATIC);
        sqlite3_bind_int64(m_pSet, 3, nType);
        sqlite3_bind_blob(m_pSet, 4, value.data(), int(value.size()), SQLITE_TRANSIENT);
        Step(m_pSet);
    }
    void Delete(std::int64_t nKey, const char* pszName)
    {
        sqlite3_bind_int64(m_pDelete, 1, nKey);
        sqlite3_bind_text(m_pDelete, 2, pszName, -1, SQLITE_STATIC);
        Step(m_pDelete);
    }

private:
    void Exec(const char* pszSql)
    {
        if (sqlite3_exec(m_pDb, pszSql, nullptr, nullptr, nullptr) != SQLITE_OK)
            std::abort();
    }
    static void Step(sqlite3_stmt* p)
    {
        if (sqlite3_step(p) != SQLITE_DONE)
            std::abort();
        sqlite3_reset(p);
    }

    sqlite3* m_pDb = nullptr;
    sqlite3_stmt* m_pSet = nullptr;
    sqlite3_stmt* m_pDelete = nullptr;
    std::int64_t m_nProduct = 0;
    std::int64_t m_nCaption = 0;
};

CValueWriter& Setup()
{
    static CValueWriter* s_pWriter = nullptr;
    if (s_pWriter != nullptr)
        return *s_pWriter;
    // The store goes to memory, and to a folder of this process's own.
    const std::string dir = "/dev/shm/vistrel-fuzz-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (QCoreApplication::instance() == nullptr) // a test program has its own
    {
        static int argc = 1;
        static char arg0[] = "fuzz";
        static char* argv[] = {arg0, nullptr};
        new QGuiApplication(argc, argv);
    }
    s_pWriter = new CValueWriter; // kept for the process's life
    return *s_pWriter;
}
} // namespace

int FuzzStoreValues(const std::uint8_t* pData, std::size_t nSize)
{
    CValueWriter& writer = Setup();
    // Each value: one byte of type, one byte of length, then that many bytes (as many as left).
    std::size_t i = 0;
    auto next = [&](std::int64_t nKey, const char* pszName)
    {
        if (i + 2 > nSize)
        {
            writer.Delete(nKey, pszName);
            return;
        }
        const DWORD nType = pData[i] % 5;
        std::size_t nLen = pData[i + 1];
        if (std::string(pszName) == "Text" && nLen == 255)
            nLen = 1100; // also try a text longer than the read buffer
        i += 2;
        std::string value(reinterpret_cast<const char*>(pData + i), std::min(nLen, nSize - i));
        i += value.size();
        if (value.size() < nLen && nLen == 1100)
            value.resize(nLen, 'x');
        writer.Set(nKey, pszName, nType, value);
    };
    // The writes share one transaction: they are the set-up, not what is being fuzzed.
    writer.Begin();
    for (const char* name : kProductValues)
        next(writer.Product(), name);
    for (const char* name : kCaptionValues)
        next(writer.Caption(), name);
    writer.Commit();

    CSettings settings;
    const LONG nLoaded = settings.Load();
    CCaption& caption = settings.captions[0];
    caption.Enabled = 1;
    auto section = CDibSection::Create(64, 48);
    CMemoryDC dc;
    dc.SelectBitmap(section.get());
    caption.Draw(dc, {0, 0, 64, 48});
    // No value, whatever its type and length, makes the store unreadable.
    return nLoaded == ERROR_SUCCESS ? 1 : 0;
}
