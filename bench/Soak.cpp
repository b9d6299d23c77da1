// A long run of the real server at a steady rate, good clients mixed with chaos ones (random
// requests, random delays, resets). Reports, a minute at a time, resident memory, open
// descriptors and the good clients' p99 latency, then the memory slope and the p99 drift.
// Not a test:
//   build/bin/vistrel_bench_soak [minutes, default 30] [requests per second, default 20]

#include "platform/capture/DriverList.h"
#include "platform/net/AsyncSocket.h"
#include "platform/registry/RegistryHive.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/NetClient.h"
#include "tests/support/ProcessStats.h"
#include "tests/support/TempDir.h"

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int nMinutes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    const int nRate = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;

    CTempDir dir;
    setenv("XDG_CONFIG_HOME", dir.File("config").c_str(), 1);
    const unsigned nPort = FreePort();
    {
        CRegistryKey key;
        key.Create(CRegistryHive::UserStore("vistrel"), "Software\\Quenlor\\Vistrel");
        key.SetDword(1, "ServerEnabled");
        key.SetDword(nPort, "ServerPort");
        key.SetDword(DWORD(CDriverList::Discover(CV4l2Api::System()).Count() - 1), "CaptureDevice");
        CRegistryKey caption;
        caption.CreateSubKey(key, "caption0");
        caption.SetDword(1, "Enabled");
        caption.SetString("%Y-%m-%d %H:%M:%S", "Text");
    }
    QProcess server;
    server.setWorkingDirectory(QString::fromStdString(dir.Path().string()));
    server.start(QStringLiteral(VISTREL_BINARY),
                 {QStringLiteral("-platform"), QStringLiteral("offscreen")});
    server.waitForStarted();
    for (int i = 0; i < 100 && ConnectTo("127.0.0.1", nPort) < 0; ++i)
        QThread::msleep(50);

    std::printf("%6s %10s %6s %10s %8s %8s\n", "minute", "RSS KiB", "fds", "p99 ms", "good", "bad");
    std::vector<long> rss;
    std::vector<double> p99s;
    std::mt19937 rng(1);
    int nCrashes = 0;
    for (int minute = 1; minute <= nMinutes; ++minute)
    {
        std::vector<double> latencies;
        int nGood = 0;
        int nBad = 0;
        const auto end = Clock::now() + std::chrono::minutes(1);
        while (Clock::now() < end)
        {
            const auto second = Clock::now() + std::chrono::seconds(1);
            std::vector<std::thread> clients;
            std::vector<double> mine(std::size_t(nRate), -1);
            for (int i = 0; i < nRate; ++i)
            {
                const bool bChaos = i % 4 == 3;
                const unsigned seed = unsigned(rng());
                clients.emplace_back(
                    [&, i, bChaos, seed]
                    {
                        std::mt19937 r(seed);
                        const auto t = Clock::now();
                        const int fd = ConnectTo("127.0.0.1", nPort);
                        if (fd < 0)
                            return;
                        if (bChaos)
                        {
                            std::vector<char> junk(r() % 4097, char(r()));
                            std::this_thread::sleep_for(std::chrono::milliseconds(r() % 200));
                            SendAll(fd, junk.data(), junk.size());
                            if (r() % 2)
                            {
                                const linger l{1, 0};
                                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                            }
                            ::close(fd);
                            return;
                        }
                        SendAll(fd, "GET / HTTP/1.0\r\n\r\n", 18);
                        const auto res = ReadAll(fd, 10000);
                        ::close(fd);
                        const bool bOk =
                            res.bEof && res.bytes.size() > 100 && res.bytes.back() == 0xD9;
                        mine[std::size_t(i)] =
                            bOk ? std::chrono::duration<double, std::milli>(Clock::now() - t)
                                      .count()
                                : -2;
                    });
            }
            for (auto& t : clients)
                t.join();
            for (double v : mine)
            {
                if (v >= 0)
                {
                    latencies.push_back(v);
                    ++nGood;
                }
                else if (v == -2)
                    ++nBad;
            }
            std::this_thread::sleep_until(second);
        }
        if (server.state() != QProcess::Running)
        {
            ++nCrashes;
            break;
        }
        std::sort(latencies.begin(), latencies.end());
        const double p99 =
            latencies.empty() ? 0 : latencies[std::size_t(0.99 * double(latencies.size() - 1))];
        rss.push_back(ResidentKiB(pid_t(server.processId())));
        p99s.push_back(p99);
        std::printf("%6d %10ld %6d %10.2f %8d %8d\n", minute, rss.back(),
                    OpenDescriptorCount(pid_t(server.processId())), p99, nGood, nBad);
        std::fflush(stdout);
    }
    // Least-squares slope of resident memory, in KiB per ten minutes.
    double slope = 0;
    if (rss.size() > 1)
    {
        const double n = double(rss.size());
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (std::size_t i = 0; i < rss.size(); ++i)
        {
            sx += double(i);
            sy += double(rss[i]);
            sxx += double(i) * double(i);
            sxy += double(i) * double(rss[i]);
        }
        slope = (n * sxy - sx * sy) / (n * sxx - sx * sx) * 10;
    }
    const double drift =
        p99s.size() > 1 && p99s.front() > 0 ? (p99s.back() / p99s.front() - 1) * 100 : 0;
    std::printf("\ncrashes %d; RSS slope %.1f KiB per 10 minutes; p99 drift %+.1f %% (first to "
                "last minute)\n",
                nCrashes, slope, drift);
    server.terminate();
    server.waitForFinished(5000);
    return nCrashes == 0 ? 0 : 1;
}
