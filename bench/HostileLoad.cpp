// Hostile clients against the real program, headless, serving its stand-by picture as BMP:
//  - 0, 64 and 200 clients that ask for a 1920x1080 BMP (6.2 MB) and never read it, then a
//    healthy client timed (median and worst of five) with the server's resident memory, and
//    the first healthy client right behind the burst of 200;
//  - 20 non-readers, one every 0.6 s, of a 1 KiB RLE capoff.bmp that claims 5792x5792
//    (100 MB a response), with the server's peak resident memory;
//  - 700 and 1 500 clients that ask for the test pattern (640x480 JPEG) with a 4 KiB receive
//    buffer and never read, more than may be open at once, then a healthy client timed.
// Not a test:  build/bin/vistrel_bench_hostile

#include "platform/net/AsyncSocket.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/NetClient.h"
#include "tests/support/ProcessStats.h"
#include "tests/support/TempDir.h"

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

class CServer
{
public:
    CServer(const CTempDir& dir, unsigned nPort, const char* pszDevice = "none",
            const char* pszFormat = "bmp")
        : m_nPort(nPort)
    {
        m_process.setWorkingDirectory(QString::fromStdString(dir.Path().string()));
        m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        m_process.start(QStringLiteral(VISTREL_BINARY),
                        {QStringLiteral("-platform"), QStringLiteral("offscreen"),
                         QStringLiteral("--server"), QStringLiteral("on"), QStringLiteral("--port"),
                         QString::number(nPort), QStringLiteral("--device"),
                         QString::fromLatin1(pszDevice), QStringLiteral("--format"),
                         QString::fromLatin1(pszFormat)});
        m_process.waitForStarted();
        for (int i = 0; i < 100; ++i)
        {
            const int fd = ConnectTo("127.0.0.1", nPort);
            if (fd >= 0)
            {
                ::close(fd);
                break;
            }
            QThread::msleep(50);
        }
    }
    ~CServer()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    pid_t Pid() const { return pid_t(m_process.processId()); }
    // A client that asks and then never reads; its descriptor.
    int Stall() const { return ConnectTo("127.0.0.1", m_nPort, 4096); }
    // One whole response, timed in milliseconds; negative when it was not whole.
    double TimedFetch(std::size_t nExpected) const
    {
        const auto t0 = Clock::now();
        const int fd = ConnectTo("127.0.0.1", m_nPort);
        const CReadResult r = ReadAll(fd, 60000);
        ::close(fd);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        return r.bEof && r.bytes.size() >= nExpected ? ms : -ms;
    }

private:
    unsigned m_nPort;
    QProcess m_process;
};

void StalledReaders()
{
    CTempDir dir;
    WriteBytes(dir.File("capoff.bmp"), MakeBmp(CTestPicture::Solid(1920, 1080, RGB(40, 90, 200))));
    const std::size_t nBody = 54 + std::size_t(1920) * 3 * 1080;
    std::printf("stalled readers of a 1920x1080 BMP (%zu bytes), then a healthy client:\n", nBody);
    std::printf("%8s %12s %12s %14s %14s\n", "stalled", "p50 ms", "worst ms", "RSS KiB",
                "peak RSS KiB");
    for (int nStalled : {0, 64, 200})
    {
        CServer server(dir, FreePort());
        std::vector<int> stalled;
        for (int i = 0; i < nStalled; ++i)
        {
            stalled.push_back(server.Stall());
            QThread::msleep(5);
        }
        // A burst of non-readers is weeded out about 0.5 s for each bound's worth of them
        // (kStallMs); after that, the healthy client.
        QThread::msleep(nStalled == 0 ? 0 : 6000);
        std::vector<double> times;
        for (int i = 0; i < 5; ++i)
            times.push_back(server.TimedFetch(nBody));
        const long nRss = ResidentKiB(server.Pid());
        const long nPeak = PeakResidentKiB(server.Pid());
        std::sort(times.begin(), times.end());
        std::printf("%8d %12.1f %12.1f %14ld %14ld%s\n", nStalled, times[2], times.back(), nRss,
                    nPeak, times.front() < 0 ? "  (a response was cut)" : "");
        for (int fd : stalled)
            ::close(fd);
    }
    {
        // The first healthy client right behind a burst: it waits its turn in the backlog.
        CServer server(dir, FreePort());
        std::vector<int> stalled;
        for (int i = 0; i < 200; ++i)
            stalled.push_back(server.Stall());
        std::printf("a healthy client right behind a burst of 200 stalled: %.1f ms\n",
                    server.TimedFetch(nBody));
        for (int fd : stalled)
            ::close(fd);
    }
}

void BitmapBomb()
{
    CTempDir dir;
    std::vector<BYTE> header = InfoHeader(5792, 5792, 8, BI_RLE8, 1);
    header.insert(header.end(), {0, 0, 0, 0});
    std::vector<BYTE> rle;
    for (int i = 0; i < 256; ++i)
        rle.insert(rle.end(), {255, 0, 0, 0});
    rle.insert(rle.end(), {0, 1});
    const std::vector<BYTE> bomb = AssembleBmp(header, rle);
    WriteBytes(dir.File("capoff.bmp"), bomb);
    CServer server(dir, FreePort());
    const long nStart = ResidentKiB(server.Pid());
    std::vector<int> stalled;
    for (int i = 0; i < 20; ++i)
    {
        stalled.push_back(server.Stall());
        QThread::msleep(600);
    }
    std::printf("\n20 non-readers of a %zu-byte RLE capoff.bmp claiming 5792x5792 (100 MB a "
                "response): RSS %ld KiB at start, %ld KiB with all 20, peak %ld KiB\n",
                bomb.size(), nStart, ResidentKiB(server.Pid()), PeakResidentKiB(server.Pid()));
    for (int fd : stalled)
        ::close(fd);
}

void IdleConnections()
{
    // Descriptors for every client here and for the server (which inherits the limit).
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
    CTempDir dir;
    std::printf("\nidle clients of the test pattern (640x480 JPEG, 4 KiB receive buffers, the "
                "request sent, nothing read), then a healthy client:\n");
    std::printf("%8s %16s %16s\n", "idle", "healthy ms", "then (p50 of 5)");
    for (int nIdle : {700, 1500})
    {
        CServer server(dir, FreePort(), "Test Pattern", "jpeg");
        std::vector<int> idle;
        for (int i = 0; i < nIdle; ++i)
        {
            const int fd = server.Stall();
            if (fd < 0)
                break;
            SendAll(fd, "GET / HTTP/1.0\r\n\r\n", 18);
            idle.push_back(fd);
        }
        const double first = server.TimedFetch(1000);
        std::vector<double> times;
        for (int i = 0; i < 5; ++i)
            times.push_back(server.TimedFetch(1000));
        std::sort(times.begin(), times.end());
        std::printf("%8zu %16.1f %16.1f%s\n", idle.size(), first, times[2],
                    first < 0 || times.front() < 0 ? "  (a healthy client got no picture)" : "");
        for (int fd : idle)
            ::close(fd);
    }
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    CTempDir config;
    setenv("XDG_CONFIG_HOME", config.File("config").c_str(), 1);
    StalledReaders();
    BitmapBomb();
    IdleConnections();
    return 0;
}
