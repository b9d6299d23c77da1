// A camera at 30 frames a second (the played camera in real time, below the real conversion
// libraries) asked for pictures the one way the program asks, through the capture session.
// Not a test:  build/bin/vistrel_bench_camera [idle seconds for the CPU figure, default 30]
// For YUYV and MJPEG at 640x480 and 1280x720:
//  - after the camera was left alone for 0, 1 and 10 s: when the camera took the frame a
//    request got, relative to the request, and how long the request waited;
//  - conversions per served picture, and the processor time one conversion takes;
// then the CPU time over an idle period with the camera connected (preview off, as headless),
// and of the real program, headless, serving the test pattern with nobody asking.

#include "platform/capture/CaptureSession.h"
#include "platform/capture/FrameConverter.h"
#include "platform/capture/V4l2Driver.h"
#include "tests/support/NetClient.h"
#include "tests/support/PlayedCamera.h"
#include "tests/support/ProcessStats.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QEventLoop>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
std::int64_t NowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double CpuSeconds(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void Idle(int nMs)
{
    QEventLoop idle;
    QTimer::singleShot(nMs, &idle, &QEventLoop::quit);
    idle.exec();
}

// Processor time of one conversion of a frame of the camera's, with the converter the driver
// uses, in milliseconds.
double ConversionMs(CPlayedCamera& camera, std::uint32_t nFormat, int w, int h)
{
    const CV4l2Api api = camera.Api();
    CFrameConverter converter(api);
    const int fd = api.open("/dev/video0", O_RDWR);
    const auto bytes = CPlayedCamera::FrameBytes(1234, nFormat, w, h);
    std::vector<std::uint8_t> bgr(std::size_t(w) * std::size_t(h) * 3);
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f.fmt.pix.width = std::uint32_t(w);
    f.fmt.pix.height = std::uint32_t(h);
    f.fmt.pix.pixelformat = nFormat;
    f.fmt.pix.bytesperline = nFormat == V4L2_PIX_FMT_YUYV ? std::uint32_t(w * 2) : 0;
    f.fmt.pix.sizeimage = std::uint32_t(bytes.size());
    std::string why;
    converter.Convert(fd, f, bytes.data(), bytes.size(), bgr.data(), bgr.size(), why); // warm
    constexpr int kTimes = 50;
    const double fStart = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < kTimes; ++i)
        converter.Convert(fd, f, bytes.data(), bytes.size(), bgr.data(), bgr.size(), why);
    const double fMs = (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - fStart) * 1000 / kTimes;
    converter.Forget();
    api.close(fd);
    return fMs;
}

void FrameAges(std::uint32_t nFormat, int w, int h)
{
    CPlayedCamera camera;
    camera.devices["/dev/video0"] = {"Played Cam"};
    camera.RunInRealTime();
    const CDriverList list = CDriverList::Discover(camera.Api());
    CCaptureSession session(list);
    std::string error;
    CCaptureDriver* pCam = list.Driver(0);
    pCam->Restore({w, h, nFormat, {}});
    if (!session.Connect(0))
    {
        std::printf("cannot connect the played camera: %s\n", session.LastError().c_str());
        return;
    }
    const auto* pV4l2 = static_cast<const CV4l2Driver*>(pCam);
    auto request = [&](double& fTakenMs, double& fWaitedMs)
    {
        bool bDone = false;
        bool bGrabbed = false;
        const std::int64_t nRequest = NowNs();
        std::int64_t nAnswered = 0;
        session.WhenFrameReady(
            [&]
            {
                bGrabbed = session.GrabFrameNoStop();
                nAnswered = NowNs();
                bDone = true;
            });
        while (!bDone)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        fTakenMs = double(pV4l2->LastFrameTakenNs() - nRequest) / 1e6;
        fWaitedMs = double(nAnswered - nRequest) / 1e6;
        return bGrabbed;
    };
    double fTaken = 0;
    double fWaited = 0;
    request(fTaken, fWaited); // past the dark frames of the start
    const std::uint64_t nConvertedBefore = pCam->Conversions();
    int nServed = 0;
    std::printf("%-5s %4dx%-4d", nFormat == V4L2_PIX_FMT_MJPEG ? "MJPEG" : "YUYV", w, h);
    for (int nIdle : {0, 1, 10})
    {
        double fTakenSum = 0;
        double fWaitedSum = 0;
        for (int i = 0; i < 3; ++i)
        {
            Idle(nIdle * 1000);
            nServed += request(fTaken, fWaited) ? 1 : 0;
            fTakenSum += fTaken;
            fWaitedSum += fWaited;
        }
        std::printf("  %+7.1f %6.1f", fTakenSum / 3, fWaitedSum / 3);
    }
    std::printf("  %5.2f  %6.2f\n", double(pCam->Conversions() - nConvertedBefore) / nServed,
                ConversionMs(camera, nFormat, w, h));
}
} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int nIdleSeconds = argc > 1 ? std::atoi(argv[1]) : 30;

    std::printf("frame taken - request, and the request's wait (ms, mean of 3), after the "
                "camera was idle:\n");
    std::printf("%-14s %15s %15s %15s %6s %7s\n", "", "0 s", "1 s", "10 s", "conv/", "conv");
    std::printf("%-14s %15s %15s %15s %6s %7s\n", "", "taken  waited", "taken  waited",
                "taken  waited", "picture", "CPU ms");
    for (const std::uint32_t nFormat : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG})
        for (const auto& [w, h] : {std::pair{640, 480}, std::pair{1280, 720}})
            FrameAges(nFormat, w, h);

    {
        CPlayedCamera camera;
        camera.devices["/dev/video0"] = {"Played Cam"};
        camera.RunInRealTime();
        const CDriverList drivers = CDriverList::Discover(camera.Api());
        CCaptureSession session(drivers);
        session.Connect(0);
        Idle(2000);
        const double fBefore = CpuSeconds();
        Idle(nIdleSeconds * 1000);
        std::printf("\nidle %d s with the camera connected (preview off): %.3f s of CPU in this "
                    "process (the played camera's clock included)\n",
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
