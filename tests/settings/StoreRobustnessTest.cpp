// The store under kills and contention: saves interrupted at random points leave every value
// wholly old or wholly new, and two programs saving at once both get their values in.

#include "platform/registry/RegistryHive.h"
#include "platform/registry/RegistryKey.h"
#include "platform/ui/MessageBox.h"
#include "settings/Settings.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
const char* const kValues[] = {"ServerPort",    "ServerEnabled",  "ImageType",
                               "HttpHeaders",   "PreviewEnabled", "CaptureDevice",
                               "ImageHeight",   "ImageWidth",     "JpegQuality",
                               "UseCustomSize", "UseOverlay",     "OverlayTransColor"};

// What a save of generation g writes: every value, and every caption's text and font, carry g.
void SaveGeneration(DWORD g)
{
    CRegistryKey key;
    key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey);
    for (const char* name : kValues)
        key.SetDword(g, name);
    for (int i = 0; i < 6; ++i)
    {
        CRegistryKey cap;
        cap.CreateSubKey(key, ("caption" + std::to_string(i)).c_str());
        cap.SetString(("generation " + std::to_string(g)).c_str(), "Text");
        std::vector<BYTE> font(60, BYTE(g));
        cap.SetBinary(font.data(), 60, "FontInfo");
    }
}

bool IsWhole(CRegistryKey& key, DWORD nMaxGeneration)
{
    for (const char* name : kValues)
    {
        DWORD v = 0;
        if (key.QueryDword(&v, name) == ERROR_SUCCESS && v > nMaxGeneration)
            return false;
    }
    for (int i = 0; i < 6; ++i)
    {
        CRegistryKey cap;
        if (cap.CreateSubKey(key, ("caption" + std::to_string(i)).c_str()) != ERROR_SUCCESS)
            return false;
        std::string text;
        if (cap.QueryString(text, "Text") == ERROR_SUCCESS && text.rfind("generation ", 0) != 0)
            return false;
        BYTE font[60];
        if (cap.QueryBinary(font, 60, "FontInfo") == ERROR_SUCCESS)
            for (BYTE b : font)
                if (b != font[0])
                    return false;
    }
    return true;
}
// A whole settings record of generation g: every number and every caption's text carry it.
CSettings Record(std::int32_t g)
{
    CSettings s;
    for (std::int32_t* p : {&s.UseOverlay, &s.ImageType, &s.CaptureDevice, &s.ServerPort,
                            &s.PreviewEnabled, &s.HttpHeaders, &s.ServerEnabled, &s.UseCustomSize,
                            &s.ImageWidth, &s.ImageHeight, &s.JpegQuality})
        *p = g;
    s.OverlayTransColor = COLORREF(g);
    for (CCaption& c : s.captions)
    {
        c.Text = "generation " + std::to_string(g);
        c.XPos = g;
    }
    return s;
}

// The generation of a loaded record, or -1 when its values come from different saves.
std::int32_t GenerationOf(const CSettings& s)
{
    const std::int32_t g = s.ServerPort;
    const CSettings whole = Record(g);
    bool bSame = s.UseOverlay == g && s.ImageType == g && s.CaptureDevice == g &&
                 s.PreviewEnabled == g && s.HttpHeaders == g && s.ServerEnabled == g &&
                 s.UseCustomSize == g && s.ImageWidth == g && s.ImageHeight == g &&
                 s.JpegQuality == g && s.OverlayTransColor == COLORREF(g);
    for (std::size_t i = 0; i < s.captions.size(); ++i)
        bSame = bSame && s.captions[i].Text == whole.captions[i].Text && s.captions[i].XPos == g;
    return bSame ? g : -1;
}

// Saves records of rising generations, from nFirst on, until killed.
[[noreturn]] void SaveForever(std::int32_t nFirst)
{
    SetMessageBoxPresenter([](const std::string&, const std::string&, unsigned) -> int
                           { _exit(3); });
    for (std::int32_t g = nFirst;; ++g)
        Record(g).Save();
}
} // namespace

TEST(StoreRobustness, SavesKilledAtTwoHundredPointsLeaveWholeValues)
{
    CTempDir dir;
    CScopedEnv xdg("XDG_CONFIG_HOME", dir.Path().string());
    SaveGeneration(0);
    std::mt19937 rng(7);
    DWORD nGeneration = 0;
    for (int round = 0; round < 200; ++round)
    {
        const DWORD nFirst = nGeneration + 1;
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
        {
            for (DWORD g = nFirst;; ++g)
                SaveGeneration(g);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 15000));
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
        nGeneration += 1000; // far above what any child reached

        CRegistryKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey), ERROR_SUCCESS)
            << "round " << round;
        ASSERT_TRUE(IsWhole(key, nGeneration)) << "round " << round;
    }
}

TEST(StoreRobustness, TwoProgramsSavingAThousandTimesEachBothLand)
{
    CTempDir dir;
    CScopedEnv xdg("XDG_CONFIG_HOME", dir.Path().string());
    SaveGeneration(0);
    pid_t pids[2];
    for (int c = 0; c < 2; ++c)
    {
        pids[c] = fork();
        ASSERT_GE(pids[c], 0);
        if (pids[c] == 0)
        {
            int nFailures = 0;
            for (DWORD i = 1; i <= 1000; ++i)
            {
                CRegistryKey key;
                nFailures +=
                    key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey) != ERROR_SUCCESS;
                nFailures +=
                    key.SetDword(i, c == 0 ? "ServerPort" : "JpegQuality") != ERROR_SUCCESS;
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
    CRegistryKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey), ERROR_SUCCESS);
    DWORD a = 0;
    DWORD b = 0;
    EXPECT_EQ(key.QueryDword(&a, "ServerPort"), ERROR_SUCCESS);
    EXPECT_EQ(key.QueryDword(&b, "JpegQuality"), ERROR_SUCCESS);
    EXPECT_EQ(a, 1000u);
    EXPECT_EQ(b, 1000u);
}

TEST(StoreRobustness, WholeRecordsOnlyLoadsDuringSavesAndAfterKilledSaves)
{
    CTempDir dir;
    CScopedEnv xdg("XDG_CONFIG_HOME", dir.Path().string());
    std::vector<std::string> boxes;
    SetMessageBoxPresenter(
        [&](const std::string& text, const std::string&, unsigned)
        {
            boxes.push_back(text);
            return IDOK;
        });
    ASSERT_EQ(Record(1).Save(), ERROR_SUCCESS);

    // Another program saves over and over while this one loads: every load is one record.
    const pid_t saver = fork();
    ASSERT_GE(saver, 0);
    if (saver == 0)
        SaveForever(2);
    std::set<std::int32_t> seen;
    for (int i = 0; i < 300 && seen.size() < 20; ++i)
    {
        CSettings loaded;
        loaded.Load();
        const std::int32_t g = GenerationOf(loaded);
        ASSERT_NE(g, -1) << "load " << i << " mixed saves (ServerPort " << loaded.ServerPort
                         << ", JpegQuality " << loaded.JpegQuality << ")";
        seen.insert(g);
    }
    kill(saver, SIGKILL);
    waitpid(saver, nullptr, 0);
    EXPECT_GE(seen.size(), 3u) << "the loads never overlapped the saves";

    // Saves killed anywhere leave the record of the last completed save.
    std::mt19937 rng(11);
    std::int32_t nLast = 0;
    for (int round = 0; round < 40; ++round)
    {
        const std::int32_t nFirst = 1000000 * (round + 1); // above anything saved before
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            SaveForever(nFirst);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 8000));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        CSettings loaded;
        loaded.Load();
        const std::int32_t g = GenerationOf(loaded);
        ASSERT_NE(g, -1) << "round " << round;
        ASSERT_GE(g, nLast) << "round " << round;
        nLast = g;
    }
    EXPECT_TRUE(boxes.empty()) << boxes.front();
    SetMessageBoxPresenter({});
}
