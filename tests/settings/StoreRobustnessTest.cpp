// The store under kills and contention: saves interrupted at random points leave every value
// wholly old or wholly new, and two programs saving at once both get their values in.

#include "platform/registry/RegistryHive.h"
#include "platform/registry/RegistryKey.h"
#include "platform/ui/MessageBox.h"
#include "settings/Settings.h"
#include "tests/support/ChildProgress.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <algorithm>
#include <atomic>
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

// What a store holds after a save was killed: each value as a whole save wrote it.
struct CSnapshot
{
    std::vector<DWORD> numbers; // the twelve values
    std::vector<DWORD> texts;   // the generation in each caption's text
    std::vector<std::vector<BYTE>> fonts;
};

// Reads every value; false when one is missing or not laid out as SaveGeneration writes it.
bool Read(CRegistryKey& key, CSnapshot& out)
{
    out = CSnapshot{};
    for (const char* name : kValues)
    {
        DWORD v = 0;
        if (key.QueryDword(&v, name) != ERROR_SUCCESS)
            return false;
        out.numbers.push_back(v);
    }
    for (int i = 0; i < 6; ++i)
    {
        CRegistryKey cap;
        if (cap.CreateSubKey(key, ("caption" + std::to_string(i)).c_str()) != ERROR_SUCCESS)
            return false;
        std::string text;
        if (cap.QueryString(text, "Text") != ERROR_SUCCESS || text.rfind("generation ", 0) != 0)
            return false;
        out.texts.push_back(DWORD(std::stoul(text.substr(11))));
        std::vector<BYTE> font(60);
        if (cap.QueryBinary(font.data(), 60, "FontInfo") != ERROR_SUCCESS)
            return false;
        out.fonts.push_back(font);
    }
    return true;
}

// A value is whole when it is what it was before the killed saves, or what one of them wrote
// (a generation from nFirst up to the one the saver had begun).
bool IsWhole(const CSnapshot& before, const CSnapshot& now, DWORD nFirst, DWORD nBegun)
{
    auto fits = [&](DWORD v, DWORD old)
    {
        return v == old || (v >= nFirst && v <= nBegun);
    };
    for (std::size_t i = 0; i < now.numbers.size(); ++i)
        if (!fits(now.numbers[i], before.numbers[i]))
            return false;
    for (std::size_t i = 0; i < now.texts.size(); ++i)
    {
        if (!fits(now.texts[i], before.texts[i]))
            return false;
        // A font is one generation's byte throughout.
        const auto& f = now.fonts[i];
        if (std::count(f.begin(), f.end(), f[0]) != 60)
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

// Saves records of rising generations, from nFirst on, until killed; each generation is told
// in *begun before its save starts.
[[noreturn]] void SaveForever(std::int32_t nFirst, std::atomic<std::int64_t>& begun)
{
    SetMessageBoxPresenter([](const std::string&, const std::string&, unsigned) -> int
                           { _exit(3); });
    for (std::int32_t g = nFirst;; ++g)
    {
        begun = g;
        Record(g).Save();
    }
}
} // namespace

TEST(StoreRobustness, SavesKilledAtTwoHundredPointsLeaveWholeValues)
{
    CTempDir dir;
    CScopedEnv xdg("XDG_CONFIG_HOME", dir.Path().string());
    SaveGeneration(0);
    CChildProgress begun;
    std::mt19937 rng(7);
    CSnapshot before;
    {
        CRegistryKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey), ERROR_SUCCESS);
        ASSERT_TRUE(Read(key, before));
    }
    DWORD nFirst = 1;
    int nChanged = 0;
    int nAfterWholeSaves = 0;
    for (int round = 0; round < 200; ++round)
    {
        *begun = -1;
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
        {
            for (DWORD g = nFirst;; ++g)
            {
                *begun = g;
                SaveGeneration(g);
            }
        }
        // Killed anywhere in its first or its second save: in every other round at least one
        // save has landed whole.
        const DWORD nSkip = round % 2;
        nAfterWholeSaves += int(nSkip);
        ASSERT_TRUE(begun.WaitFor(nFirst + nSkip)) << "round " << round;
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        const DWORD nBegun = DWORD(begun->load());

        CRegistryKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey), ERROR_SUCCESS)
            << "round " << round;
        CSnapshot now;
        ASSERT_TRUE(Read(key, now)) << "round " << round;
        ASSERT_TRUE(IsWhole(before, now, nFirst, nBegun))
            << "round " << round << ": generations " << nFirst << " to " << nBegun;
        nChanged += now.numbers != before.numbers;
        before = now;
        nFirst = nBegun + 1;
    }
    EXPECT_GE(nChanged, nAfterWholeSaves);
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

    // Another program saves over and over while this one loads: every load is one record, and
    // none waits for the saves to pause.
    CChildProgress begun;
    const pid_t saver = fork();
    ASSERT_GE(saver, 0);
    if (saver == 0)
        SaveForever(2, *begun);
    ASSERT_TRUE(begun.WaitFor(2));
    std::set<std::int32_t> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int i = 0; (i < 300 || seen.size() < 3) && std::chrono::steady_clock::now() < deadline;
         ++i)
    {
        CSettings loaded;
        ASSERT_EQ(loaded.Load(), ERROR_SUCCESS) << "load " << i;
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
    CSettings settled;
    ASSERT_EQ(settled.Load(), ERROR_SUCCESS);
    std::int32_t nLast = GenerationOf(settled);
    for (int round = 0; round < 40; ++round)
    {
        const std::int32_t nFirst = 1000000 * (round + 1); // above anything saved before
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            SaveForever(nFirst, *begun);
        ASSERT_TRUE(begun.WaitFor(nFirst)) << "round " << round;
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 8000));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        CSettings loaded;
        ASSERT_EQ(loaded.Load(), ERROR_SUCCESS) << "round " << round;
        const std::int32_t g = GenerationOf(loaded);
        ASSERT_NE(g, -1) << "round " << round;
        // The save before these, or one of them that completed.
        ASSERT_TRUE(g == nLast || (g >= nFirst && g <= begun->load()))
            << "round " << round << ": generation " << g << ", before " << nLast;
        nLast = g;
    }
    EXPECT_TRUE(boxes.empty()) << boxes.front();
    SetMessageBoxPresenter({});
}
