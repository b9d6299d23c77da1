// A camera at 30 frames a second (the played camera, running in real time) and the program
// idle. Not a test:  build/bin/vistrel_bench_camera [idle seconds for the CPU figure, default 30]
//  - the age of the frame a request gets after the camera was left alone for 0, 1 and 10 s:
//    when the camera took it, relative to the request, and how long the request waited;
//  - CPU time over the idle period: this process with the camera connected in a capture
//    window (preview off, as headless), and the real program, headless, serving the test
//    pattern, with nobody asking.

#include "platform/capture/CaptureWindow.h"
#include "platform/capture/V4l2Driver.h"
#include "platform/net/AsyncSocket.h"
#include "tests/support/NetClient.h"
#include "tests/support/PlayedCamera.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QEventLoop>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace
{
std::int64_t NowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// User and system time of another process, in seconds.
double CpuSecondsOf(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(f, line);
    std::istringstream in(line.substr(line.rfind(')') + 2));
    std::string field;
    double fTicks = 0;
    for (int i = 3; i <= 15 && in >> field; ++i)
        if (i == 14 || i == 15)
            fTicks += std::stod(field);
    return fTicks / double(sysconf(_SC_CLK_TCK));
}

void FrameAges(CPlayedCamera& camera)
{
    CV4l2Driver cam(camera.Api(), "/dev/video0", "Played Cam");
    std::string error;
    if (!cam.Open(error))
    {
        std::printf("cannot open the played camera: %s\n", error.c_str());
        return;
    }
    CFrameBuffer frame;
    cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs);
    std::printf("%10s %26s %16s\n", "idle s", "frame taken - request ms", "request waited ms");
    for (int nIdle : {0, 1, 10})
        for (int i = 0; i < 3; ++i)
        {
            std::this_thread::sleep_for(std::chrono::seconds(nIdle));
            const std::int64_t nRequest = NowNs();
            const bool bOk = cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs);
            const std::int64_t nDone = NowNs();
            std::printf("%10d %26.1f %16.1f%s\n", nIdle,
                        double(cam.LastFrameTakenNs() - nRequest) / 1e6,
                        double(nDone - nRequest) / 1e6, bOk ? "" : "  (failed)");
        }
    std::printf("frames made %u, dropped %d, converted %d\n\n", camera.nFrame, camera.nDropped,
                camera.nConversions);
}
} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int nIdleSeconds = argc > 1 ? std::atoi(argv[1]) : 30;

    CPlayedCamera camera;
    camera.bRealTime = true;
    camera.devices["/dev/video0"] = {"Played Cam"};
    FrameAges(camera);

    {
        const CDriverList drivers = CDriverList::Discover(camera.Api());
        QWidget parent;
        CCaptureWindow window(drivers, &parent, 0, 0);
        window.DriverConnect(0);
        const double fBefore = CpuSeconds();
        QEventLoop idle;
        QTimer::singleShot(nIdleSeconds * 1000, &idle, &QEventLoop::quit);
        idle.exec();
        std::printf("idle %d s with the camera connected (preview off): %.3f s of CPU in this "
                    "process\n",
                    nIdleSeconds, CpuSeconds() - fBefore);
    }

    CTempDir dir;
    setenv("XDG_CONFIG_HOME", dir.File("config").c_str(), 1);
    const unsigned nPort = FreePort();
    QProcess server;
    server.setWorkingDirectory(QString::fromStdString(dir.Path().string()));
    server.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    server.start(QStringLiteral(VISTREL_BINARY),
                 {QStringLiteral("-platform"), QStringLiteral("offscreen"),
                  QStringLiteral("--server"), QStringLiteral("on"), QStringLiteral("--port"),
                  QString::number(nPort), QStringLiteral("--device"),
                  QStringLiteral("Test Pattern")});
    server.waitForStarted();
    QThread::msleep(2000); // started and settled
    const double fBefore = CpuSecondsOf(pid_t(server.processId()));
    QThread::msleep(std::uint64_t(nIdleSeconds) * 1000);
    std::printf("the program headless, serving the test pattern, idle %d s: %.3f s of CPU\n",
                nIdleSeconds, CpuSecondsOf(pid_t(server.processId())) - fBefore);
    server.terminate();
    server.waitForFinished(5000);
    return 0;
}
