// Load on the real server over loopback: the test pattern at 640x480, JPEG quality 75, one
// overlay and two captions. Reports requests per second and p50/p99 latency for 1, 4 and 16
// concurrent clients next to the bare encode time of the same frame, and the server's
// resident memory over a long run. Not a test:
//   build/bin/vistrel_bench_server [requests per level, default 600] [soak requests, default 10000]
// Each level runs three times and the median run is reported; the bare encode is the median
// of seven batches.

#include "captions/Caption.h"
#include "imaging/JpegWriter.h"
#include "platform/capture/DriverList.h"
#include "platform/capture/TestPatternDriver.h"
#include "platform/gdi/MemoryDC.h"
#include "platform/net/AsyncSocket.h"
#include "settings/Settings.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/NetClient.h"
#include "tests/support/ProcessStats.h"
#include "tests/support/TempDir.h"

#include <QGuiApplication>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

void Configure(CSettings& s, unsigned nPort, int nPattern)
{
    s.Load();
    s.ServerEnabled = 1;
    s.ServerPort = int(nPort);
    s.CaptureDevice = nPattern;
    s.ImageType = 0;
    s.JpegQuality = 75;
    s.HttpHeaders = 1;
    s.UseOverlay = 1;
    s.OverlayTransColor = RGB(255, 0, 255);
    s.UseCustomSize = 0;
    for (int i = 0; i < 2; ++i)
    {
        CCaption& c = s.captions[std::size_t(i)];
        c.Enabled = 1;
        c.Text = i == 0 ? "Front door %Y-%m-%d" : "%H:%M:%S";
        c.HPosType = i == 0 ? 0 : 2;
        c.VPosType = 0;
        std::memset(&c.FontInfo, 0, sizeof c.FontInfo);
        c.FontInfo.lfHeight = -18;
        c.FontInfo.lfWeight = 700;
        std::strcpy(c.FontInfo.lfFaceName, "DejaVu Sans");
    }
    s.Save();
}

// The overlay: a frame-wide picture, all key colour but a logo block in one corner.
void WriteOverlay(const std::string& path)
{
    CTestPicture pic;
    pic.nWidth = 640;
    pic.nHeight = 480;
    pic.pixels.assign(640 * 480, RGB(255, 0, 255));
    for (int y = 400; y < 470; ++y)
        for (int x = 520; x < 630; ++x)
            pic.pixels[std::size_t(y) * 640 + std::size_t(x)] = RGB(255, 255, 255);
    WriteBytes(path, MakeBmp(pic));
}

double BareEncodeMs(const CTempDir& dir)
{
    CTestPatternDriver pattern;
    CFrameBuffer frame;
    frame.Resize(640, 480);
    pattern.Render(frame, 1);
    auto section = CDibSection::Create(640, 480);
    for (int y = 0; y < 480; ++y)
        std::memcpy(section->RowFromTop(y), frame.Row(y), 640 * 3);
    CJpegWriter writer;
    writer.SetQuality(75);
    const std::string out = dir.File("bare.jpg");
    // The median of several batches: one slow moment of a shared machine does not decide it.
    std::vector<double> batches;
    for (int b = 0; b < 7; ++b)
    {
        const int n = 100;
        const auto t0 = Clock::now();
        for (int i = 0; i < n; ++i)
            writer.WriteFile(section->Bits(), 640, 480, out.c_str());
        batches.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / n);
    }
    std::sort(batches.begin(), batches.end());
    return batches[batches.size() / 2];
}

struct Level
{
    double rps;
    double p50;
    double p99;
    int nErrors;
};

Level Run(unsigned nPort, int nClients, int nRequests)
{
    std::vector<double> latencies;
    std::mutex lock;
    std::atomic<int> nNext{0};
    std::atomic<int> nErrors{0};
    const auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < nClients; ++c)
        threads.emplace_back(
            [&]
            {
                std::vector<double> mine;
                while (nNext++ < nRequests)
                {
                    const auto s = Clock::now();
                    const int fd = ConnectTo("127.0.0.1", nPort);
                    if (fd < 0)
                    {
                        ++nErrors;
                        continue;
                    }
                    SendAll(fd, "GET / HTTP/1.0\r\n\r\n", 18);
                    const auto r = ReadAll(fd, 10000);
                    ::close(fd);
                    if (!r.bEof || r.bytes.size() < 1000 || r.bytes[r.bytes.size() - 1] != 0xD9)
                        ++nErrors;
                    mine.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - s).count());
                }
                std::lock_guard<std::mutex> g(lock);
                latencies.insert(latencies.end(), mine.begin(), mine.end());
            });
    for (auto& t : threads)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p)
    {
        return latencies.empty() ? 0 : latencies[std::size_t(p * double(latencies.size() - 1))];
    };
    return {double(latencies.size()) / seconds, pct(0.5), pct(0.99), nErrors.load()};
}
} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    const int nPerLevel = argc > 1 ? std::atoi(argv[1]) : 600;
    const int nSoak = argc > 2 ? std::atoi(argv[2]) : 10000;

    CTempDir dir;
    setenv("XDG_CONFIG_HOME", dir.File("config").c_str(), 1);
    const unsigned nPort = FreePort();
    const int nPattern = CDriverList::Discover(CV4l2Api::System()).Count() - 1;
    CSettings settings;
    Configure(settings, nPort, nPattern);
    WriteOverlay(dir.File("overlay.bmp"));

    QProcess server;
    server.setWorkingDirectory(QString::fromStdString(dir.Path().string()));
    server.setProcessChannelMode(QProcess::ForwardedChannels);
    server.start(QStringLiteral(VISTREL_BINARY),
                 {QStringLiteral("-platform"), QStringLiteral("offscreen")});
    server.waitForStarted();
    for (int i = 0; i < 100 && ConnectTo("127.0.0.1", nPort) < 0; ++i)
        QThread::msleep(50);
    Run(nPort, 1, 20); // warm up

    const double encode = BareEncodeMs(dir);
    std::printf("bare encode of the 640x480 frame: %.2f ms (1/encode = %.0f per second)\n\n",
                encode, 1000.0 / encode);
    std::printf("%8s %10s %10s %10s %8s %12s\n", "clients", "req/s", "p50 ms", "p99 ms", "errors",
                "p50/encode");
    for (int n : {1, 4, 16})
    {
        // Each level three times; the run with the median throughput is reported.
        std::vector<Level> runs;
        for (int r = 0; r < 3; ++r)
            runs.push_back(Run(nPort, n, nPerLevel));
        std::sort(runs.begin(), runs.end(),
                  [](const Level& a, const Level& b) { return a.rps < b.rps; });
        const Level l = runs[1];
        std::printf("%8d %10.1f %10.2f %10.2f %8d %12.2f\n", n, l.rps, l.p50, l.p99, l.nErrors,
                    l.p50 / encode);
    }

    if (nSoak > 0)
    {
        Run(nPort, 4, 500);
        const long before = ResidentKiB(pid_t(server.processId()));
        const Level l = Run(nPort, 4, nSoak);
        const long after = ResidentKiB(pid_t(server.processId()));
        std::printf("\n%d requests at 4 clients: %.1f req/s, %d errors; server RSS %ld KiB before, "
                    "%ld KiB after\n",
                    nSoak, l.rps, l.nErrors, before, after);
    }
    server.terminate();
    server.waitForFinished(5000);
    return 0;
}
