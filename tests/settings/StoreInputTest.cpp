// Values in the store are input from outside: another program, a hand-edited .reg file or an
// older version may have left anything there. Loading must take what fits, fall back to the
// defaults for the rest, never write to the store while doing so, and draw what it loaded.

#include "settings/Settings.h"

#include "platform/gdi/DibSection.h"
#include "platform/gdi/MemoryDC.h"
#include "platform/registry/RegistryHive.h"
#include "platform/registry/RegistryKey.h"
#include "platform/ui/MessageBox.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <cstring>
#include <ctime>
#include <gtest/gtest.h>

namespace
{
class StoreInput : public ::testing::Test
{
protected:
    CTempDir m_dir;
    CScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.Path().string()};
    int m_nBoxes = 0;

    void SetUp() override
    {
        SetMessageBoxPresenter(
            [this](const std::string&, const std::string&, unsigned)
            {
                ++m_nBoxes;
                return IDOK;
            });
        CSettings fresh;
        fresh.Load(); // lays out the keys, as the first start does
    }
    void TearDown() override { SetMessageBoxPresenter({}); }
    std::string StorePath() const { return CRegistryHive::DefaultPath(); }

    static void Set(const char* pszKey, const char* pszName, DWORD nType, const std::string& bytes)
    {
        CRegistryKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, pszKey), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key.m_hKey, pszName, 0, nType,
                                 reinterpret_cast<const BYTE*>(bytes.data()), DWORD(bytes.size())),
                  ERROR_SUCCESS);
    }
    static std::string CaptionKey(int i)
    {
        return std::string(CSettings::kProductKey) + "\\caption" + std::to_string(i);
    }
};

std::string Bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s.push_back(char(b));
    return s;
}
} // namespace

TEST_F(StoreInput, WrongTypesSizesAndLongTextsLoadByTheRulesWithoutWriting)
{
    const std::string product = CSettings::kProductKey;
    // Integers: the type plays no part, longer than four bytes is the default, shorter is
    // zero-extended.
    Set(product.c_str(), "ServerPort", REG_SZ, std::string("8081") + '\0'); // five bytes
    Set(product.c_str(), "JpegQuality", REG_SZ, "5");                       // one byte -> 0x35
    Set(product.c_str(), "ImageWidth", REG_BINARY, Bytes({0x80, 2}));       // 640
    Set(product.c_str(), "ImageHeight", REG_BINARY, "");                    // nothing -> 0
    Set(product.c_str(), "CaptureDevice", REG_BINARY, std::string(4096, '\xff'));
    Set(product.c_str(), "OverlayTransColor", REG_DWORD, Bytes({1, 2, 3, 4}));

    // Texts around the 1024-byte read buffer, without a zero, not UTF-8, and of another type.
    const std::string s1022(1022, 'a'), s1023(1023, 'b'), s1024(1024, 'c'), s65536(65536, 'd');
    const std::string invalid = "\xff\xfe bad \xc3 UTF-8 \xed\xa0\x80 %Y";
    Set(CaptionKey(0).c_str(), "Text", REG_SZ, s1022 + '\0');
    Set(CaptionKey(1).c_str(), "Text", REG_SZ, s1023 + '\0');
    Set(CaptionKey(2).c_str(), "Text", REG_SZ, s1024 + '\0');
    Set(CaptionKey(3).c_str(), "Text", REG_SZ, s65536 + '\0');
    Set(CaptionKey(4).c_str(), "Text", REG_DWORD, "ABCD"); // no terminating zero
    Set(CaptionKey(5).c_str(), "Text", 2 /* REG_EXPAND_SZ */, invalid + '\0');
    // A font record of the wrong size: short is zero-extended (no face, height 1), long is
    // the default.
    Set(CaptionKey(0).c_str(), "FontInfo", REG_BINARY, Bytes({1, 0, 0, 0}));
    Set(CaptionKey(1).c_str(), "FontInfo", REG_BINARY, std::string(61, 'x'));
    Set(CaptionKey(2).c_str(), "Enabled", REG_SZ, "yes"); // three bytes

    const auto before = ReadBytes(StorePath());
    CSettings s;
    s.Load();
    EXPECT_EQ(ReadBytes(StorePath()), before);
    EXPECT_EQ(m_nBoxes, 0);

    EXPECT_EQ(s.ServerPort, 8080);
    EXPECT_EQ(s.JpegQuality, 0x35);
    EXPECT_EQ(s.ImageWidth, 640);
    EXPECT_EQ(s.ImageHeight, 0);
    EXPECT_EQ(s.CaptureDevice, -1);
    EXPECT_EQ(s.OverlayTransColor, 0x04030201u);

    const CCaption defaults;
    EXPECT_EQ(s.captions[0].Text, s1022);
    EXPECT_EQ(s.captions[1].Text, s1023);
    EXPECT_EQ(s.captions[2].Text, defaults.Text);
    EXPECT_EQ(s.captions[3].Text, defaults.Text);
    EXPECT_EQ(s.captions[4].Text, "ABCD");
    EXPECT_EQ(s.captions[5].Text, invalid);
    EXPECT_EQ(s.captions[0].FontInfo.lfHeight, 1);
    EXPECT_EQ(s.captions[0].FontInfo.lfFaceName[0], '\0');
    EXPECT_EQ(std::memcmp(&s.captions[1].FontInfo, &defaults.FontInfo, sizeof(LOGFONTA)), 0);
    EXPECT_EQ(s.captions[2].Enabled, 0x00736579);

    // Everything loaded draws, with the time expanded, inside the picture.
    auto section = CDibSection::Create(320, 240);
    CMemoryDC dc;
    dc.SelectBitmap(section.get());
    dc.FillSolidRect({0, 0, 320, 240}, RGB(1, 2, 3));
    for (CCaption& c : s.captions)
    {
        c.Enabled = 1;
        c.HPosType = 1; // centred: long texts start far to the left
        c.Draw(dc, {0, 0, 320, 240});
    }
    // The text that is not UTF-8 still shows: its valid parts are drawn as glyphs.
    dc.FillSolidRect({0, 0, 320, 240}, RGB(1, 2, 3));
    CCaption& odd = s.captions[5];
    odd.BackType = 1; // transparent: only glyphs change pixels
    odd.HPosType = 0;
    odd.VPosType = 0;
    odd.TextColor = RGB(250, 250, 250);
    odd.Draw(dc, {0, 0, 320, 240});
    int nChanged = 0;
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            nChanged += section->RowFromTop(y)[3 * x] != 3;
    EXPECT_GT(nChanged, 50);
}

TEST_F(StoreInput, ALongTimeFormatExpandsCompletely)
{
    // Every %c grows a two-byte code to about twenty-four characters: far past the first guess
    // of the expansion's size.
    std::string format;
    for (int i = 0; i < 32768; ++i)
        format += "%c";
    std::tm when{};
    when.tm_year = 126;
    when.tm_mon = 11;
    when.tm_mday = 7;
    when.tm_hour = 10;
    char one[64];
    const std::size_t nOne = std::strftime(one, sizeof one, "%c", &when);
    ASSERT_GT(nOne, 8u);
    const std::string expanded = CCaption::ExpandTime(format, when);
    ASSERT_EQ(expanded.size(), nOne * 32768);
    EXPECT_EQ(expanded.compare(expanded.size() - nOne, nOne, one, nOne), 0);
}
