// Loading and saving the whole settings record against a store on disk (the current folder's
// file system, so a save pays for its sync).

#include "settings/Settings.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>

namespace
{
CSettings Sample()
{
    CSettings s;
    s.ServerEnabled = 1;
    s.JpegQuality = 90;
    for (CCaption& c : s.captions)
    {
        c.Enabled = 1;
        c.Text = "%Y-%m-%d %H:%M:%S";
    }
    return s;
}

void SettingsLoad(benchmark::State& state)
{
    CTempDir dir;
    CScopedEnv xdg("XDG_CONFIG_HOME", dir.Path().string());
    if (Sample().Save() != ERROR_SUCCESS)
        state.SkipWithError("the store could not be written");
    for (auto _ : state)
    {
        CSettings s;
        s.Load();
        benchmark::DoNotOptimize(s.JpegQuality);
    }
}

void SettingsSave(benchmark::State& state)
{
    CTempDir dir;
    CScopedEnv xdg("XDG_CONFIG_HOME", dir.Path().string());
    CSettings s = Sample();
    for (auto _ : state)
    {
        ++s.ImageWidth;
        if (s.Save() != ERROR_SUCCESS)
            state.SkipWithError("the store could not be written");
    }
}
} // namespace

BENCHMARK(SettingsLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(SettingsSave)->Unit(benchmark::kMillisecond);
