#include "settings/Settings.h"

#include "platform/registry/Registry.h"
#include "platform/registry/RegistryHive.h"
#include "platform/registry/RegistryKey.h"
#include "platform/ui/MessageBox.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace
{
class Settings : public ::testing::Test
{
protected:
    CTempDir m_dir;
    CScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.Path().string()};
    std::vector<std::pair<std::string, std::string>> m_boxes;

    void SetUp() override
    {
        SetMessageBoxPresenter(
            [this](const std::string& text, const std::string& caption, unsigned)
            {
                m_boxes.emplace_back(caption, text);
                return IDOK;
            });
    }
    void TearDown() override { SetMessageBoxPresenter({}); }
    std::string StorePath() const { return CRegistryHive::DefaultPath(); }
};

bool KeyExists(const char* pszPath)
{
    HKEY h = nullptr;
    const LONG n = RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszPath, 0, KEY_READ, &h);
    RegCloseKey(h);
    return n == ERROR_SUCCESS;
}
} // namespace

TEST_F(Settings, AnEmptyStoreGivesTheDefaultsAndCreatesTheKeys)
{
    CSettings s;
    s.ServerPort = 1;
    s.CaptureDevice = 3;
    s.Load();
    EXPECT_EQ(s.ServerPort, 8080);
    EXPECT_EQ(s.ServerEnabled, 0);
    EXPECT_EQ(s.ImageType, 0);
    EXPECT_EQ(s.HttpHeaders, 1);
    EXPECT_EQ(s.PreviewEnabled, 1);
    EXPECT_EQ(s.CaptureDevice, -1);
    EXPECT_EQ(s.ImageHeight, 120);
    EXPECT_EQ(s.ImageWidth, 160);
    EXPECT_EQ(s.JpegQuality, 75);
    EXPECT_EQ(s.UseCustomSize, 0);
    EXPECT_EQ(s.UseOverlay, 0);
    EXPECT_EQ(s.OverlayTransColor, 0u);
    for (const auto& c : s.captions)
    {
        EXPECT_EQ(c.Enabled, 0);
        EXPECT_EQ(c.Text, "Click To Edit Caption");
    }
    EXPECT_TRUE(KeyExists("Software\\Quenlor\\Vistrel"));
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(KeyExists(("Software\\Quenlor\\Vistrel\\caption" + std::to_string(i)).c_str()));
    EXPECT_FALSE(KeyExists("Software\\Quenlor\\Vistrel\\caption6"));
    EXPECT_TRUE(m_boxes.empty());
}

TEST_F(Settings, SaveThenLoadRestoresEveryField)
{
    CSettings a;
    a.Load();
    a.OverlayTransColor = RGB(1, 2, 3);
    a.UseOverlay = 1;
    a.ImageType = 2;
    a.CaptureDevice = -1;
    a.ServerPort = 9123;
    a.PreviewEnabled = 0;
    a.HttpHeaders = 0;
    a.ServerEnabled = 1;
    a.UseCustomSize = 1;
    a.ImageWidth = -4;
    a.ImageHeight = 240;
    a.JpegQuality = 33;
    for (int i = 0; i < 6; ++i)
    {
        CCaption& c = a.captions[std::size_t(i)];
        c.Enabled = i % 2;
        c.HPosType = i;
        c.VPosType = 7 - i;
        c.XPos = -100 * i;
        c.YPos = 1000 + i;
        c.TextColor = RGB(BYTE(i), 20, 30);
        c.BackColor = RGB(40, BYTE(i), 60);
        c.BackType = i == 3 ? 5 : 0;
        c.Text = "cam " + std::to_string(i) + " %Y-%m-%d \"%H:%M\" \xC3\xA9";
        c.FontInfo.lfHeight = -10 - i;
        c.FontInfo.lfWeight = 700;
        c.FontInfo.lfItalic = 1;
        std::memset(c.FontInfo.lfFaceName, 0, 32);
        std::strcpy(c.FontInfo.lfFaceName, "DejaVu Serif");
    }
    ASSERT_EQ(a.Save(), ERROR_SUCCESS);

    CSettings b;
    b.Load();
    EXPECT_EQ(b.OverlayTransColor, a.OverlayTransColor);
    EXPECT_EQ(b.UseOverlay, 1);
    EXPECT_EQ(b.ImageType, 2);
    EXPECT_EQ(b.CaptureDevice, -1);
    EXPECT_EQ(b.ServerPort, 9123);
    EXPECT_EQ(b.PreviewEnabled, 0);
    EXPECT_EQ(b.HttpHeaders, 0);
    EXPECT_EQ(b.ServerEnabled, 1);
    EXPECT_EQ(b.UseCustomSize, 1);
    EXPECT_EQ(b.ImageWidth, -4);
    EXPECT_EQ(b.ImageHeight, 240);
    EXPECT_EQ(b.JpegQuality, 33);
    for (std::size_t i = 0; i < 6; ++i)
    {
        const CCaption& x = a.captions[i];
        const CCaption& y = b.captions[i];
        EXPECT_EQ(y.Enabled, x.Enabled);
        EXPECT_EQ(y.HPosType, x.HPosType);
        EXPECT_EQ(y.VPosType, x.VPosType);
        EXPECT_EQ(y.XPos, x.XPos);
        EXPECT_EQ(y.YPos, x.YPos);
        EXPECT_EQ(y.TextColor, x.TextColor);
        EXPECT_EQ(y.BackColor, x.BackColor);
        EXPECT_EQ(y.BackType, x.BackType);
        EXPECT_EQ(y.Text, x.Text);
        EXPECT_EQ(std::memcmp(&y.FontInfo, &x.FontInfo, 60), 0);
    }
    EXPECT_TRUE(m_boxes.empty());
}

TEST_F(Settings, MissingOrOversizedValuesTakeTheirDefaults)
{
    {
        CRegistryKey key;
        key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey);
        key.SetDword(5555, "ServerPort");
    }
    CSettings s;
    s.Load();
    EXPECT_EQ(s.ServerPort, 5555);
    EXPECT_EQ(s.JpegQuality, 75);
    EXPECT_EQ(s.CaptureDevice, -1);

    {
        CRegistryKey key;
        key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey);
        const BYTE eight[8] = {1, 0, 0, 0, 0, 0, 0, 0};
        key.SetBinary(eight, 8, "ServerPort");
        const BYTE four[4] = {50, 0, 0, 0};
        key.SetBinary(four, 4, "JpegQuality");
        CRegistryKey cap;
        cap.CreateSubKey(key, "caption2");
        cap.SetString("only text", "Text");
    }
    CSettings t;
    t.Load();
    EXPECT_EQ(t.ServerPort, 8080);
    EXPECT_EQ(t.JpegQuality, 50);
    EXPECT_EQ(t.captions[2].Text, "only text");
    EXPECT_EQ(t.captions[2].Enabled, 0);
    EXPECT_EQ(t.captions[2].BackColor, 0xFFFFFFu);
}

TEST_F(Settings, AStoreThatCannotBeUsedGivesDefaultsItsCauseAndIsLeftAlone)
{
    std::filesystem::create_directories(std::filesystem::path(StorePath()).parent_path());
    const std::vector<BYTE> garbage(3000, 0x33);
    WriteBytes(StorePath(), garbage);

    CSettings s;
    EXPECT_EQ(s.Load(), ERROR_BADDB); // the caller says it once, naming the file
    EXPECT_EQ(s.ServerPort, 8080);
    EXPECT_TRUE(m_boxes.empty()) << "not once per caption";

    // Saving does not pass for done: the caller learns why, and tells the user.
    EXPECT_EQ(s.Save(), ERROR_BADDB);
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_EQ(ReadBytes(StorePath()), garbage);
}

TEST_F(Settings, AReadOnlyStoreIsReadAndRefusesToSave)
{
    {
        CSettings s;
        s.Load();
        s.ServerPort = 4321;
        s.captions[2].Text = "kept";
        ASSERT_EQ(s.Save(), ERROR_SUCCESS);
    }
    {
        // A caption key the store lacks reads as a new caption, without a message.
        CRegistryKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey), ERROR_SUCCESS);
        ASSERT_EQ(RegDeleteTreeA(key.m_hKey, "caption5"), ERROR_SUCCESS);
    }
    ASSERT_EQ(chmod(StorePath().c_str(), 0444), 0);
    const auto before = ReadBytes(StorePath());
    CSettings s;
    CSettings::CaptionStatus keys{};
    EXPECT_EQ(s.Load(StorePath(), &keys), ERROR_SUCCESS);
    EXPECT_EQ(s.ServerPort, 4321);
    EXPECT_EQ(s.captions[2].Text, "kept");
    EXPECT_EQ(s.captions[5].Text, "Click To Edit Caption");
    EXPECT_EQ(keys[2], ERROR_SUCCESS);
    EXPECT_EQ(keys[5], ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(s.Save(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_EQ(ReadBytes(StorePath()), before);
}
