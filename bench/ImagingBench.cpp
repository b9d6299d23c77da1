// Frame imaging costs per operation: load, stretch, overlay, encode. Not a test: run
// build/bin/vistrel_bench_imaging and compare the stretch against the encode.

#include "imaging/Dib.h"
#include "imaging/JpegWriter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace
{
std::string TempFile(const std::string& strName)
{
    return (std::filesystem::temp_directory_path() / ("vistrel-bench-" + strName)).string();
}

// A camera-like 24-bit frame file: smooth gradients with some detail, so JPEG has work.
std::string MakeFrameFile(int w, int h)
{
    const std::string path = TempFile(std::to_string(w) + "x" + std::to_string(h) + ".bmp");
    if (std::filesystem::exists(path))
        return path;
    const std::int64_t nStride = DibStride24(w);
    std::vector<BYTE> file(std::size_t(54 + nStride * h), 0);
    WriteLE16(file.data(), 0x4D42);
    WriteLE32(file.data() + 2, DWORD(file.size()));
    WriteLE32(file.data() + 10, 54);
    WriteLE32(file.data() + 14, 40);
    WriteLE32(file.data() + 18, DWORD(w));
    WriteLE32(file.data() + 22, DWORD(h));
    WriteLE16(file.data() + 26, 1);
    WriteLE16(file.data() + 28, 24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
        {
            BYTE* p = file.data() + 54 + nStride * y + 3 * x;
            p[0] = BYTE(x * 255 / w);
            p[1] = BYTE(y * 255 / h);
            p[2] = BYTE(((x / 16 + y / 16) & 1) ? 200 : 60);
        }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
    return path;
}

void Load(benchmark::State& state)
{
    const auto path = MakeFrameFile(int(state.range(0)), int(state.range(1)));
    for (auto _ : state)
    {
        CDib dib;
        benchmark::DoNotOptimize(dib.Load(path.c_str()).Length());
    }
}

void Stretch(benchmark::State& state)
{
    const int w = int(state.range(0));
    const int h = int(state.range(1));
    const int nDiv = int(state.range(2));
    CDib dib;
    (void)dib.Load(MakeFrameFile(w, h).c_str());
    auto section = CDibSection::Create(w / nDiv, h / nDiv);
    CMemoryDC dc;
    dc.SelectBitmap(section.get());
    for (auto _ : state)
        benchmark::DoNotOptimize(dib.Draw(dc, {0, 0, w / nDiv, h / nDiv}, {0, 0, w, h}));
}

// A frame-sized picture loaded and a same-size bitmap to draw it on.
struct COverlaySetup
{
    int w;
    int h;
    CDib dib;
    std::unique_ptr<CDibSection> section;
    CMemoryDC dc;
    explicit COverlaySetup(const benchmark::State& state)
        : w(int(state.range(0))), h(int(state.range(1))), section(CDibSection::Create(w, h))
    {
        (void)dib.Load(MakeFrameFile(w, h).c_str());
        dc.SelectBitmap(section.get());
    }
};

// Drawn at one placement again and again, as over every served image.
void Overlay(benchmark::State& state)
{
    COverlaySetup o(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            o.dib.DrawTransparent(o.dc, {0, 0, o.w, o.h}, {0, 0, o.w, o.h}, RGB(60, 0, 0)));
}

// At two placements in turn: never the same twice in a row, so every draw scans the picture
// (what the first draw at a new placement costs).
void OverlayUnrecorded(benchmark::State& state)
{
    COverlaySetup o(state);
    int n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(o.dib.DrawTransparent(o.dc, {0, 0, o.w, o.h - (n++ & 1)},
                                                       {0, 0, o.w, o.h}, RGB(60, 0, 0)));
}

void Encode(benchmark::State& state)
{
    const int w = int(state.range(0));
    const int h = int(state.range(1));
    CDib dib;
    (void)dib.Load(MakeFrameFile(w, h).c_str());
    auto section = CDibSection::Create(w, h);
    CMemoryDC dc;
    dc.SelectBitmap(section.get());
    dib.Draw(dc);
    CJpegWriter writer;
    writer.SetQuality(75);
    const auto out = TempFile("frame.jpg");
    for (auto _ : state)
        benchmark::DoNotOptimize(writer.WriteFile(section->Bits(), w, h, out.c_str()));
}

// A small picture encoded into a buffer that a 71 MB picture once grew: what one large
// picture costs every later one.
void EncodeAfterALargeOne(benchmark::State& state)
{
    const int w = 320;
    const int h = 240;
    auto section = CDibSection::Create(w, h);
    CJpegWriter writer;
    writer.SetQuality(75);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(std::size_t(71) << 20);
    for (auto _ : state)
        benchmark::DoNotOptimize(writer.Encode(section->Bits(), w, h, bytes));
}
} // namespace

BENCHMARK(EncodeAfterALargeOne)->Unit(benchmark::kMillisecond);
BENCHMARK(OverlayUnrecorded)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(Load)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(Stretch)
    ->Args({640, 480, 1})
    ->Args({640, 480, 2})
    ->Args({1920, 1080, 1})
    ->Args({1920, 1080, 2})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Overlay)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(Encode)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
