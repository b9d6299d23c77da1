#include "tools/reg/RegTool.h"

#include "platform/registry/Registry.h"
#include "platform/registry/RegistryHive.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sstream>

namespace
{
class RegTool : public ::testing::Test
{
protected:
    CTempDir m_dir;
    CScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.Path().string()};
    std::string m_out;
    std::string m_err;

    int Run(const std::vector<std::string>& args)
    {
        std::ostringstream out;
        std::ostringstream err;
        const int n = RunRegTool(args, out, err);
        m_out = out.str();
        m_err = err.str();
        return n;
    }
    std::string Export(const char* pszKey = "HKLM\\Software")
    {
        const std::string file = m_dir.File("export.reg");
        EXPECT_EQ(Run({"export", pszKey, file}), 0) << m_err;
        const auto bytes = ReadBytes(file);
        return std::string(bytes.begin(), bytes.end());
    }
    std::string Import(const std::string& text)
    {
        WriteBytes(m_dir.File("in.reg"), std::vector<BYTE>(text.begin(), text.end()));
        return m_dir.File("in.reg");
    }
    std::vector<BYTE> Value(const char* pszKey, const char* pszName, DWORD* pType = nullptr)
    {
        HKEY h = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_READ, &h) != ERROR_SUCCESS)
            return {};
        std::vector<BYTE> buf(4096);
        DWORD cb = DWORD(buf.size());
        const LONG n = RegQueryValueExA(h, pszName, nullptr, pType, buf.data(), &cb);
        RegCloseKey(h);
        buf.resize(n == ERROR_SUCCESS ? cb : 0);
        return buf;
    }
};

const char* const kProduct = "HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Vistrel";
} // namespace

TEST_F(RegTool, SetQueryAndDeleteValuesOfEveryType)
{
    EXPECT_EQ(Run({"set", kProduct, "ServerPort", "REG_DWORD", "8081"}), 0) << m_err;
    EXPECT_EQ(Run({"set", "hklm\\software\\QUENLOR\\vistrel", "CaptureDevice", "REG_DWORD", "-1"}),
              0);
    EXPECT_EQ(Run({"set", kProduct, "OverlayTransColor", "REG_DWORD", "0xff00ff"}), 0);
    std::string font;
    for (int i = 0; i < 60; ++i)
        font += (i % 2 ? "a" : "0") + std::string(1, "0123456789abcdef"[i % 16]);
    EXPECT_EQ(Run({"set", std::string(kProduct) + "\\caption0", "FontInfo", "REG_BINARY", font}), 0)
        << m_err;
    EXPECT_EQ(Run({"set", std::string(kProduct) + "\\caption0", "Text", "REG_SZ",
                   "Gate \"2\" C:\\x %H \xC3\xA9"}),
              0);

    DWORD type = 0;
    EXPECT_EQ(Value("Software\\Quenlor\\Vistrel", "CaptureDevice", &type),
              (std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(Value("Software\\Quenlor\\Vistrel", "OverlayTransColor"),
              (std::vector<BYTE>{0xFF, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(Value("Software\\Quenlor\\Vistrel\\caption0", "FontInfo", &type).size(), 60u);
    EXPECT_EQ(type, REG_BINARY);
    const std::string text = "Gate \"2\" C:\\x %H \xC3\xA9";
    std::vector<BYTE> withZero(text.begin(), text.end());
    withZero.push_back(0);
    EXPECT_EQ(Value("Software\\Quenlor\\Vistrel\\caption0", "Text", &type), withZero);
    EXPECT_EQ(type, REG_SZ);

    ASSERT_EQ(Run({"query", kProduct}), 0);
    EXPECT_NE(m_out.find("CaptureDevice    REG_DWORD    0xffffffff (-1)"), std::string::npos)
        << m_out;
    EXPECT_NE(m_out.find("ServerPort    REG_DWORD    0x1f91 (8081)"), std::string::npos);
    EXPECT_NE(m_out.find("\\caption0"), std::string::npos);
    ASSERT_EQ(Run({"query", kProduct, "serverport"}), 0);
    EXPECT_EQ(m_out.find("CaptureDevice"), std::string::npos);
    // /s (or --recursive) lists every key below with its values, a blank line between keys.
    for (const char* pszSwitch : {"/s", "--recursive"})
    {
        ASSERT_EQ(Run({"query", "HKLM\\Software\\Quenlor", pszSwitch}), 0) << m_err;
        EXPECT_EQ(m_out.find("HKLM\\Software\\Quenlor\n"), 0u) << m_out;
        const std::size_t nProduct = m_out.find("\nHKLM\\Software\\Quenlor\\Vistrel\n    ");
        const std::size_t nPort = m_out.find("    ServerPort    REG_DWORD    0x1f91 (8081)\n");
        const std::size_t nCaption = m_out.find(
            "\n\nHKLM\\Software\\Quenlor\\Vistrel\\caption0\n    FontInfo    REG_BINARY");
        EXPECT_LT(nProduct, nPort) << m_out;
        EXPECT_LT(nPort, nCaption) << m_out;
        EXPECT_NE(m_out.find("    Text    REG_SZ    Gate", nCaption), std::string::npos) << m_out;
    }

    EXPECT_EQ(Run({"delete", kProduct, "ServerPort"}), 0);
    EXPECT_TRUE(Value("Software\\Quenlor\\Vistrel", "ServerPort").empty());
    EXPECT_NE(Run({"delete", kProduct, "ServerPort"}), 0);
    EXPECT_EQ(Run({"delete", std::string(kProduct) + "\\caption0"}), 0);
    EXPECT_NE(Run({"query", std::string(kProduct) + "\\caption0"}), 0);
    EXPECT_NE(m_err.find("caption0: no such key"), std::string::npos) << m_err;
}

TEST_F(RegTool, BadInputGetsOneLineAndANonZeroStatus)
{
    struct Case
    {
        std::vector<std::string> args;
        const char* pszSays;
    };
    const std::vector<Case> cases = {
        {{"set", kProduct, "A", "REG_QWORD", "1"}, "unknown type"},
        {{"set", kProduct, "A", "REG_DWORD", "4294967296"}, "out of range"},
        {{"set", kProduct, "A", "REG_DWORD", "-2147483649"}, "out of range"},
        {{"set", kProduct, "A", "REG_DWORD", "12abc"}, "not a number"},
        {{"set", kProduct, "A", "REG_BINARY", "0g"}, "hexadecimal"},
        {{"set", "HKEY_CURRENT_USER\\Software", "A", "REG_SZ", "x"},
         "not under HKEY_LOCAL_MACHINE"},
        {{"query", "HKLM\\No\\Such"}, "HKLM\\No\\Such: no such key"},
        // What Vistrel would not read as given is refused with what it accepts.
        {{"set", kProduct, "ServerPrt", "REG_DWORD", "1"}, "Vistrel reads no value \"ServerPrt\""},
        {{"set", kProduct, "ServerEnabled", "REG_SZ", "yes"},
         "ServerEnabled is REG_DWORD (0 (off) or 1 (on)), not REG_SZ (--force writes it anyway)"},
        {{"set", kProduct, "ServerPort", "REG_DWORD", "0"},
         "ServerPort takes a port from 1 to 65535, not 0"},
        {{"set", kProduct, "ServerAllow", "REG_SZ", "10.0.0.0/99"}, "has no prefix length"},
        {{"delete", "HKLM"}, "cannot be deleted"},
        {{"import", "/nonexistent/file.reg"}, "cannot be read"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(Run(c.args), 1) << c.pszSays;
        EXPECT_NE(m_err.find(c.pszSays), std::string::npos) << m_err;
        EXPECT_EQ(std::count(m_err.begin(), m_err.end(), '\n'), 1) << m_err;
    }
    EXPECT_EQ(Run({"--force", "set", kProduct, "ServerPort", "REG_DWORD", "0"}), 0) << m_err;
    EXPECT_EQ(Value("Software\\Quenlor\\Vistrel", "ServerPort"), (std::vector<BYTE>{0, 0, 0, 0}));
    // Help is asked for, not a mistake; another store is worked on when named.
    EXPECT_EQ(Run({"--help"}), 0);
    EXPECT_NE(m_out.find("usage: vistrel-reg"), std::string::npos);
    EXPECT_TRUE(m_err.empty());
    const std::string other = m_dir.File("other/registry.db");
    EXPECT_EQ(Run({"--settings", other, "set", kProduct, "ServerPort", "REG_DWORD", "9000"}), 0);
    EXPECT_EQ(Run({"--settings", other, "query", kProduct, "ServerPort"}), 0);
    EXPECT_NE(m_out.find("(9000)"), std::string::npos) << m_out;
    EXPECT_EQ(Run({"query", kProduct, "ServerPort"}), 0);
    EXPECT_NE(m_out.find("(0)"), std::string::npos) << "the user's store is another";
    EXPECT_EQ(Run({"frobnicate"}), 2);
    EXPECT_EQ(Run({"set", kProduct}), 2);
    EXPECT_NE(m_err.find("usage"), std::string::npos);
}

TEST_F(RegTool, ExportDeleteImportGivesTheIdenticalStore)
{
    Run({"set", kProduct, "ServerPort", "REG_DWORD", "8081"});
    // A value of a mebibyte: tens of thousands of continued lines, joined as they come.
    std::string big;
    for (int i = 0; i < (1 << 20); ++i)
        big += "0123456789abcdef"[(i * 7) % 16], big += "0123456789abcdef"[i % 16];
    ASSERT_EQ(Run({"--force", "set", kProduct, "Big", "REG_BINARY", big}), 0) << m_err;
    Run({"--force", "set", kProduct, "JpegQuality", "REG_DWORD", "-5"});
    Run({"--force", "set", std::string(kProduct) + "\\caption3", "Text", "REG_SZ",
         "a \\ b \" c \xE2\x82\xAC"});
    Run({"--force", "set", std::string(kProduct) + "\\caption3", "Empty", "REG_SZ", ""});
    // Text that a quoted string cannot hold (lines), with a byte that is not UTF-8.
    Run({"--force", "set", std::string(kProduct) + "\\caption3", "Lines", "REG_SZ",
         "a\r\nb \xE9 \xE2\x82"});
    Run({"--force", "set", std::string(kProduct) + "\\caption3", "Blob", "REG_BINARY", ""});
    Run({"--force", "set", std::string(kProduct) + "\\caption3", "@", "REG_SZ", "default"});
    Run({"set", std::string(kProduct) + "\\Deep\\Er", "Short", "REG_BINARY", "0102"});
    const std::string before = Export();
    EXPECT_NE(before.find("@=\"default\""), std::string::npos) << before;

    ASSERT_EQ(Run({"delete", "HKLM\\Software"}), 0);
    EXPECT_NE(Run({"query", kProduct}), 0);
    ASSERT_EQ(Run({"import", m_dir.File("export.reg")}), 0) << m_err;
    EXPECT_EQ(Export(), before);
}

TEST_F(RegTool, ImportsWhatTheWindowsRegistryEditorWrites)
{
    // UTF-16LE with a byte-order mark and CRLF line ends, continuation lines, comments,
    // the default value, a deletion of a key and of a value.
    Run({"set", "HKLM\\Software\\Old", "x", "REG_DWORD", "1"});
    Run({"--force", "set", kProduct, "Gone", "REG_DWORD", "1"});
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n"
        u"\r\n"
        u"; written on Windows\r\n"
        u"[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Vistrel]\r\n"
        u"\"ServerPort\"=dword:00001f90\r\n"
        u"\"CaptureDevice\"=dword:ffffffff\r\n"
        u"\"Gone\"=-\r\n"
        u"@=\"Caf\u00e9 \\\"cam\\\"\"\r\n"
        u"\r\n"
        u"[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Vistrel\\caption0]\r\n"
        u"\"FontInfo\"=hex:f3,ff,ff,ff,00,00,00,00,00,00,00,00,00,00,00,00,90,01,00,00,00,\\\r\n"
        u"  00,00,00,00,00,00,00,41,72,69,61,6c,00,00,00,00,00,00,00,00,00,00,00,00,00,\\\r\n"
        u"  00,00,00,00,00,00,00,00,00,00,00,00,00,00\r\n"
        u"\"Other\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
        u"\"Hex text\"=hex(1):68,00,69,00,00,00\r\n"
        u"\"Path\"=hex(2):25,00,77,00,69,00,6e,00,64,00,69,00,72,00,25,00,00,00\r\n"
        u"\"Big\"=hex(b):00,00,00,00,01,00,00,00\r\n"
        u"\r\n"
        u"[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n"
        u"\x1a"; // the old end-of-file mark
    std::vector<BYTE> bytes = {0xFF, 0xFE};
    for (char16_t c : text)
    {
        bytes.push_back(BYTE(c & 0xFF));
        bytes.push_back(BYTE(c >> 8));
    }
    WriteBytes(m_dir.File("win.reg"), bytes);
    ASSERT_EQ(Run({"import", m_dir.File("win.reg")}), 0) << m_err;
    EXPECT_EQ(Value("Software\\Quenlor\\Vistrel", "ServerPort"),
              (std::vector<BYTE>{0x90, 0x1F, 0, 0}));
    EXPECT_EQ(Value("Software\\Quenlor\\Vistrel", "CaptureDevice"),
              (std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(Value("Software\\Quenlor\\Vistrel", "Gone").empty());
    const std::string def = "Caf\xC3\xA9 \"cam\"";
    std::vector<BYTE> defZ(def.begin(), def.end());
    defZ.push_back(0);
    EXPECT_EQ(Value("Software\\Quenlor\\Vistrel", ""), defZ);
    const auto fontInfo = Value("Software\\Quenlor\\Vistrel\\caption0", "FontInfo");
    ASSERT_EQ(fontInfo.size(), 60u);
    EXPECT_EQ(fontInfo[0], 0xF3);
    EXPECT_EQ(fontInfo[28], 'A');
    // Text written as hex is kept as text; query names every type and shows what it holds.
    DWORD type = 0;
    EXPECT_EQ(Value("Software\\Quenlor\\Vistrel\\caption0", "Hex text", &type),
              (std::vector<BYTE>{'h', 'i', 0}));
    EXPECT_EQ(type, REG_SZ);
    ASSERT_EQ(Run({"query", std::string(kProduct) + "\\caption0"}), 0) << m_err;
    for (const char* line :
         {"    Hex text    REG_SZ    hi\n", "    Other    REG_MULTI_SZ    a\\0b\n",
          "    Path    REG_EXPAND_SZ    %windir%\n",
          "    Big    REG_QWORD    0x100000000 (4294967296)\n"})
        EXPECT_NE(m_out.find(line), std::string::npos) << line << m_out;
    EXPECT_NE(Run({"query", "HKLM\\Software\\Old"}), 0);

    // The older header, in UTF-8.
    ASSERT_EQ(
        Run({"import",
             Import("REGEDIT4\n\n[HKLM\\Software\\Quenlor\\Vistrel]\n\"ImageType\"=dword:1\n")}),
        0)
        << m_err;
    EXPECT_EQ(Value("Software\\Quenlor\\Vistrel", "ImageType"), (std::vector<BYTE>{1, 0, 0, 0}));
}

TEST_F(RegTool, ABadFileChangesNothingAndNamesTheLine)
{
    Run({"set", kProduct, "ServerPort", "REG_DWORD", "8081"});
    const std::string before = Export();
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"Windows Registry Editor Version "
         "5.00\n\n[HKLM\\Software\\Quenlor\\Vistrel]\n\"ServerPort\"=dword:00000050\n"
         "\"Broken\"=dword:zz\n",
         "line 5"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\Software\\A]\n\"x\"=\"unterminated\n",
         "line 3"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\Software\\A]\n\"x\"=qword:1\n",
         "unknown value type"},
        // A path written with single backslashes would lose them.
        {"Windows Registry Editor Version 5.00\n[HKLM\\Software\\A]\n"
         "\"x\"=\"%windir%\\system32\\shell32.dll,-267\"\n",
         "line 3: a backslash before 's'"},
        // Ctrl-Z ends a file only at its very end.
        {"Windows Registry Editor Version 5.00\n\x1a[HKLM\\Software\\A]\n", "line 2"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\Software\\A]\n\"x\"=dword:123456789\n",
         "line 3"},
        {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Software]\n",
         "not under HKEY_LOCAL_MACHINE"},
        {"Windows Registry Editor Version 5.00\n\"x\"=dword:1\n", "before any [KEY]"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\Software\\A\n", "line 2"},
        {"[HKLM\\Software\\A]\n", "not a registry file"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\Software\\A]\n\"x\"=hex:01,\\\n",
         "continued"},
        {"Windows Registry Editor Version 5.00\n[-HKLM]\n", "cannot be deleted"},
        // A NUL would cut a name short and put its values elsewhere.
        {std::string("Windows Registry Editor Version 5.00\n[HKLM\\Software\\A") + '\0' +
             "B]\n\"x\"=dword:1\n",
         "line 2: a key name cannot hold a NUL"},
        {std::string("Windows Registry Editor Version 5.00\n[HKLM\\Software\\A]\n\"x") + '\0' +
             "y\"=dword:1\n",
         "line 3: a value name cannot hold a NUL"},
    };
    for (const auto& [text, says] : bad)
    {
        EXPECT_EQ(Run({"import", Import(text)}), 1) << text;
        EXPECT_NE(m_err.find(says), std::string::npos) << m_err;
        EXPECT_EQ(Export(), before) << "nothing may change: " << text;
    }
}

TEST_F(RegTool, DeepAndCircularKeysAreRefusedOrReportedAndNeverFollowedForEver)
{
    // Made by this tool: 512 levels below the root at most, as in the Windows registry.
    std::string deep = "HKLM";
    for (int i = 0; i < 511; ++i)
        deep += "\\k";
    EXPECT_EQ(Run({"set", deep, "A", "REG_DWORD", "1"}), 0) << m_err;
    EXPECT_EQ(Run({"set", deep + "\\k\\k", "A", "REG_DWORD", "1"}), 1);
    EXPECT_NE(m_err.find("more than 512 levels deep"), std::string::npos) << m_err;
    EXPECT_EQ(Run({"import", Import("Windows Registry Editor Version 5.00\r\n\r\n[" + deep +
                                    "\\k\\k]\r\n\"A\"=dword:00000001\r\n")}),
              1);
    EXPECT_NE(m_err.find("line 3: "), std::string::npos) << m_err;
    EXPECT_NE(m_err.find("more than 512 levels deep"), std::string::npos) << m_err;
    EXPECT_EQ(Run({"delete", "HKLM\\k"}), 0) << m_err;

    // Made by another program: 3 000 levels, then a root that is its own parent.
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(CRegistryHive::DefaultPath().c_str(), &pDb), SQLITE_OK);
    sqlite3_exec(pDb, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_int64 nParent = 1;
    for (int i = 0; i < 3000; ++i)
    {
        const std::string sql = "INSERT INTO keys(parent, name) VALUES(" + std::to_string(nParent) +
                                ", '" + (i == 0 ? "Deep" : "d") + "')";
        ASSERT_EQ(sqlite3_exec(pDb, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        nParent = sqlite3_last_insert_rowid(pDb);
    }
    sqlite3_exec(pDb, "COMMIT", nullptr, nullptr, nullptr);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"query", "HKLM\\Deep", "/s"},
          std::vector<std::string>{"export", "HKLM\\Deep", m_dir.File("deep.reg")}})
    {
        EXPECT_EQ(Run(args), 1) << args[0];
        EXPECT_NE(m_err.find("deeper than a key may be"), std::string::npos) << m_err;
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("deep.reg"))) << "no half an export";
    EXPECT_EQ(Run({"delete", "HKLM\\Deep"}), 0) << m_err;
    EXPECT_EQ(Run({"query", "HKLM\\Deep"}), 1);

    ASSERT_EQ(Run({"--force", "set", kProduct, "A", "REG_DWORD", "1"}), 0);
    ASSERT_EQ(sqlite3_exec(pDb, "UPDATE keys SET parent=1 WHERE id=1", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(pDb);
    EXPECT_EQ(Run({"query", "HKLM", "/s"}), 1);
    EXPECT_NE(m_err.find("HKLM\\HKEY_LOCAL_MACHINE: the store is corrupt here"), std::string::npos)
        << m_err;
}
