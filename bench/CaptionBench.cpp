// Six enabled captions of 20 characters with opaque backgrounds on a 640x480 image, next to
// the JPEG write of the same image. Not a test: run build/bin/vistrel_bench_captions.

#include "captions/Caption.h"
#include "imaging/JpegWriter.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace
{
std::array<CCaption, 6> SixCaptions()
{
    std::array<CCaption, 6> captions;
    for (int i = 0; i < 6; ++i)
    {
        CCaption& c = captions[std::size_t(i)];
        c.Enabled = 1;
        c.HPosType = i % 3;
        c.VPosType = i / 3 * 2;
        c.Text = "Camera %H:%M:%S ok.."; // 20 characters once expanded
        std::memset(&c.FontInfo, 0, sizeof c.FontInfo);
        c.FontInfo.lfHeight = -16;
        c.FontInfo.lfWeight = 400;
        std::strcpy(c.FontInfo.lfFaceName, "DejaVu Sans");
    }
    return captions;
}

void SixCaptionsOn640x480(benchmark::State& state)
{
    auto section = CDibSection::Create(640, 480);
    CMemoryDC dc;
    dc.SelectBitmap(section.get());
    const auto captions = SixCaptions();
    for (auto _ : state)
        for (const auto& c : captions)
            c.Draw(dc, {0, 0, 640, 480});
}

void JpegWriteOf640x480(benchmark::State& state)
{
    auto section = CDibSection::Create(640, 480);
    CMemoryDC dc;
    dc.SelectBitmap(section.get());
    for (const auto& c : SixCaptions())
        c.Draw(dc, {0, 0, 640, 480});
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            section->RowFromTop(y)[3 * x] = BYTE((x ^ y) & 0xFF);
    CJpegWriter writer;
    writer.SetQuality(75);
    const auto path = (std::filesystem::temp_directory_path() / "vistrel-bench-cap.jpg").string();
    for (auto _ : state)
        benchmark::DoNotOptimize(writer.WriteFile(section->Bits(), 640, 480, path.c_str()));
}
} // namespace

BENCHMARK(SixCaptionsOn640x480)->Unit(benchmark::kMillisecond);
BENCHMARK(JpegWriteOf640x480)->Unit(benchmark::kMillisecond);
