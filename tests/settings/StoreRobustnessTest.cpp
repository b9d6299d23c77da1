// The store under kills and contention: saves interrupted at random points leave every value
// wholly old or wholly new, and two programs saving at once both get their values in.

#include "platform/registry/RegistryHive.h"
#include "settings/RegistryKey.h"
#include "settings/Settings.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <random>
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
