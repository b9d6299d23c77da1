// Cameras through the real conversion libraries: the played camera answers the kernel's calls
// below them, and frames are asked for the one way the program asks, through the capture
// session on the event loop.

#include "platform/capture/V4l2Driver.h"
#include "platform/capture/CaptureSession.h"
#include "platform/capture/DriverList.h"

#include "tests/support/CapturedStderr.h"
#include "tests/support/PlayedCamera.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QThread>

#include <gtest/gtest.h>
#include <linux/videodev2.h>

namespace
{
class V4l2 : public ::testing::Test
{
protected:
    CPlayedCamera m_camera;
    void SetUp() override
    {
        m_camera.devices["/dev/video0"] = {"Played Cam A"};
        m_camera.devices["/dev/video1"] = {"Metadata Node", false};
        m_camera.devices["/dev/video2"] = {"Played Cam B"};
    }
    // The frame buffer shows the played frame nFrame, as near as its conversion keeps it.
    static void ExpectFrame(const CFrameBuffer& f, std::uint32_t nFrame)
    {
        ASSERT_FALSE(f.IsEmpty());
        EXPECT_EQ(CPlayedCamera::FrameNumberOf(f.Data(), f.Width(), f.Height(), f.Width() * 3),
                  int(nFrame & 0xFFFF));
        for (int y : {f.Height() / 2, f.Height() - 1})
            for (int x : {0, 7, f.Width() - 1})
                EXPECT_TRUE(
                    CPlayedCamera::LooksRight(f.Data(), f.Width(), f.Height(), f.Width() * 3, x, y))
                    << x << "," << y;
    }
    // A request for a fresh frame, as the image service makes it: the camera's time goes on
    // while the event loop waits. True when a frame (not the stand-by picture) came.
    bool Request(CCaptureSession& session)
    {
        bool bDone = false;
        bool bGrabbed = false;
        session.WhenFrameReady(
            [&]
            {
                bGrabbed = session.GrabFrameNoStop();
                bDone = true;
            });
        for (int i = 0; i < 1000 && !bDone; ++i)
        {
            m_camera.Advance(m_camera.nPeriodNs / 4);
            QCoreApplication::processEvents();
        }
        return bDone && bGrabbed;
    }
};
} // namespace

TEST_F(V4l2, DiscoveryListsCaptureNodesThenTheTestPatternEachKnownByOneIdentity)
{
    // A camera that gives no card name and has no by-id link is known by its bus and node,
    // the same way when it is listed and when it is opened.
    m_camera.devices["/dev/video3"] = {""};
    m_camera.devices["/dev/video3"].strBusInfo = "usb-0000:00:14.0-4";
    const CDriverList list = CDriverList::Discover(m_camera.Api());
    ASSERT_EQ(list.Count(), 4);
    std::string name;
    ASSERT_TRUE(list.GetDriverDescription(0, name));
    EXPECT_EQ(name, "Played Cam A");
    ASSERT_TRUE(list.GetDriverDescription(1, name));
    EXPECT_EQ(name, "Played Cam B");
    ASSERT_TRUE(list.GetDriverDescription(2, name));
    EXPECT_EQ(name, "/dev/video3");
    EXPECT_EQ(list.Driver(2)->Identity(), "usb-0000:00:14.0-4 /dev/video3");
    ASSERT_TRUE(list.GetDriverDescription(3, name));
    EXPECT_EQ(name, "Test Pattern");
    EXPECT_FALSE(list.GetDriverDescription(4, name));
    EXPECT_FALSE(list.GetDriverDescription(-1, name));
    EXPECT_EQ(m_camera.nOpen, 0) << "probing closes what it opens";
    std::string error;
    EXPECT_TRUE(list.Driver(2)->Open(error)) << error;
}

TEST_F(V4l2, YuyvAndMjpegFramesComeThroughTheRealLibrariesOneConversionEach)
{
    for (const std::uint32_t nFormat : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG})
    {
        SCOPED_TRACE(nFormat == V4L2_PIX_FMT_YUYV ? "YUYV" : "MJPEG");
        m_camera.nPixelFormat = nFormat;
        const CDriverList list = CDriverList::Discover(m_camera.Api());
        CCaptureSession session(list);
        ASSERT_TRUE(session.Connect(0)) << session.LastError();
        CCaptureDriver* cam = list.Driver(0);
        // 1280x720: the format that is fastest there is the camera's own MJPEG; 640x480 YUYV.
        std::string error;
        ASSERT_TRUE(cam->SetFormat({nFormat == V4L2_PIX_FMT_MJPEG ? 1280 : 640,
                                    nFormat == V4L2_PIX_FMT_MJPEG ? 720 : 480,
                                    nFormat,
                                    {}},
                                   error))
            << error;
        EXPECT_EQ(m_camera.nPixelFormat, nFormat);
        EXPECT_EQ(m_camera.nMapped, CV4l2Driver::kBufferCount);
        for (int i = 0; i < 3; ++i)
        {
            m_camera.Advance(m_camera.nPeriodNs * 5);
            ASSERT_TRUE(Request(session)) << session.LastError();
            ExpectFrame(session.Frame(), m_camera.nFrame);
        }
        EXPECT_EQ(cam->Conversions(), 3u) << "one for each frame served";
        session.Disconnect();
        session.Disconnect();
        EXPECT_EQ(m_camera.nOpen, 0);
        EXPECT_EQ(m_camera.nMapped, 0);
        EXPECT_FALSE(session.GrabFrameNoStop());
    }
}

TEST_F(V4l2, AnUnpluggedCameraIsLetGoAtOnceAndReplugsUnderAnyNodeWithItsChoices)
{
    m_camera.devices["/dev/video0"].strById = "usb-Played_Cam_A_SN1-video-index0";
    CDriverList list = CDriverList::Discover(m_camera.Api());
    CCaptureDriver* cam = list.Driver(0);
    EXPECT_EQ(cam->Identity(), "usb-Played_Cam_A_SN1-video-index0");
    EXPECT_EQ(list.Driver(1)->Identity(), "usb-0000:00:14.0-1 Played Cam B");
    CCaptureSession session(list);
    ASSERT_TRUE(session.Connect(0)) << session.LastError();
    std::string error;
    ASSERT_TRUE(cam->SetFormat({320, 240, 0, {}}, error)) << error;
    ASSERT_TRUE(cam->SetControl(V4L2_CID_BRIGHTNESS, 77, error)) << error;
    ASSERT_TRUE(Request(session));

    // Pulled out while our descriptor is open: the request fails at once, saying why, and
    // nothing holds the node any more.
    m_camera.Unplug("/dev/video0");
    EXPECT_FALSE(Request(session));
    EXPECT_EQ(session.LastError(), "/dev/video0: the camera has gone (No such device)");
    EXPECT_TRUE(session.IsWaitingForDevice());
    EXPECT_EQ(m_camera.nOpen, 0);
    EXPECT_EQ(m_camera.nMapped, 0);
    EXPECT_FALSE(Request(session));
    EXPECT_EQ(session.LastError(), "Played Cam A has gone; waiting for it to come back");

    // Back under a new node, another camera at its old one: found by itself, with its size
    // and controls, and never the other camera.
    const int fdHeld = m_camera.Api().open("/dev/video2", 0); // keeps the next node taken
    m_camera.devices["/dev/video0"] = {"Played Cam C"};
    const std::string node = m_camera.Replug();
    EXPECT_NE(node, "/dev/video0");
    m_camera.nWidth = 640; // a camera starts with its own defaults again
    m_camera.controls[V4L2_CID_BRIGHTNESS] = 128;
    QString said;
    QObject::connect(&session, &CCaptureSession::DeviceBack, [&](const QString& s) { said = s; });
    QElapsedTimer waited;
    waited.start();
    while (session.IsWaitingForDevice() && waited.elapsed() < 30000)
    {
        QCoreApplication::processEvents();
        QThread::msleep(5);
    }
    EXPECT_FALSE(session.IsWaitingForDevice());
    EXPECT_EQ(said, "Played Cam A is connected");
    EXPECT_EQ(static_cast<CV4l2Driver*>(cam)->Path(), node);
    EXPECT_EQ(cam->Width(), 320);
    EXPECT_EQ(m_camera.controls[V4L2_CID_BRIGHTNESS], 77);
    ASSERT_TRUE(Request(session)) << session.LastError();
    ExpectFrame(session.Frame(), m_camera.nFrame);
    session.Disconnect();
    m_camera.Api().close(fdHeld);

    // Gone for good, another camera at its old node: nothing is connected.
    m_camera.Unplug(node);
    EXPECT_FALSE(cam->Open(error));
    EXPECT_FALSE(cam->IsOpen());
    EXPECT_EQ(m_camera.nOpen, 0);
}

TEST_F(V4l2, ACameraInUseElsewhereIsReportedInWordsNamingIt)
{
    for (bool bAtOpen : {true, false})
    {
        m_camera.devices["/dev/video0"].nOpenErrno = bAtOpen ? EBUSY : 0;
        m_camera.devices["/dev/video0"].bBusy = !bAtOpen; // as uvcvideo: refused at the format
        CV4l2Driver cam(m_camera.Api(), "/dev/video0", "Played Cam A");
        std::string error;
        EXPECT_FALSE(cam.Open(error));
        EXPECT_TRUE(cam.WasBusy());
        EXPECT_EQ(error.substr(0, 55), "/dev/video0 (Played Cam A) is in use by another program")
            << error;
        EXPECT_FALSE(cam.IsOpen());
        EXPECT_EQ(m_camera.nOpen, 0);
    }
}

TEST_F(V4l2, ControlsAndSizesComeFromTheCamerasOwnFormats)
{
    CV4l2Driver cam(m_camera.Api(), "/dev/video0", "Played Cam A");
    std::string error;
    ASSERT_TRUE(cam.Open(error));
    const auto controls = cam.Controls();
    ASSERT_EQ(controls.size(), 3u);
    EXPECT_EQ(controls[0].strName, "Brightness");
    EXPECT_EQ(controls[0].kind, CCaptureControl::Integer);
    EXPECT_EQ(controls[0].nValue, 128);
    EXPECT_EQ(controls[1].kind, CCaptureControl::Boolean);
    EXPECT_EQ(controls[2].kind, CCaptureControl::Menu);
    ASSERT_EQ(controls[2].menu.size(), 3u);
    EXPECT_EQ(controls[2].menu[1].second, "50 Hz");
    ASSERT_TRUE(cam.SetControl(V4L2_CID_BRIGHTNESS, 200, error));
    EXPECT_EQ(m_camera.controls[V4L2_CID_BRIGHTNESS], 200);
    EXPECT_EQ(cam.Controls()[0].nValue, 200);
    EXPECT_FALSE(cam.SetControl(0x12345678, 1, error));

    // Every size once, each in the camera's format that is fastest there: raw YUYV where it
    // keeps up, MJPEG at 1280x720 where raw frames come at a third of the rate.
    const auto formats = cam.Formats();
    ASSERT_EQ(formats.size(), 3u);
    EXPECT_EQ(formats[1].nWidth, 320);
    EXPECT_EQ(formats[1].strPixelFormat, "YUYV, 30 fps");
    EXPECT_EQ(formats[2].nWidth, 1280);
    EXPECT_EQ(formats[2].strPixelFormat, "MJPG, 30 fps");
    ASSERT_TRUE(cam.SetFormat(formats[2], error)) << error;
    EXPECT_EQ(m_camera.nPixelFormat, V4L2_PIX_FMT_MJPEG);
    EXPECT_EQ(cam.CurrentFormat().strPixelFormat, "MJPG, 30 fps");
    EXPECT_EQ(m_camera.nPeriodNs, 1000000000 / 30) << "the rate is set, not left to chance";
    ASSERT_TRUE(cam.SetFormat(formats[1], error)) << error;
    EXPECT_EQ(m_camera.nPixelFormat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(cam.Width(), 320);
    EXPECT_EQ(m_camera.nOpen, 1);
    EXPECT_EQ(m_camera.nMapped, CV4l2Driver::kBufferCount);
}

TEST_F(V4l2, ARequestAfterAPauseGetsAFrameTakenAfterItAndNeverABadOne)
{
    const CDriverList list = CDriverList::Discover(m_camera.Api());
    CCaptureSession session(list);
    ASSERT_TRUE(session.Connect(0));
    CCaptureDriver* cam = list.Driver(0);
    // The first request skips the dark frames of a camera that has just started.
    ASSERT_TRUE(Request(session)) << session.LastError();
    EXPECT_GT(m_camera.nFrame, std::uint32_t(m_camera.nDarkFrames));
    ExpectFrame(session.Frame(), m_camera.nFrame);

    // Nobody takes frames for 10 s: the camera fills its buffers, then drops the rest.
    for (std::int64_t nIdleNs :
         {std::int64_t(10000000000), std::int64_t(1000000000), std::int64_t(0)})
    {
        m_camera.Advance(nIdleNs);
        const std::int64_t nRequestNs = m_camera.nNowNs;
        ASSERT_TRUE(Request(session)) << session.LastError();
        ExpectFrame(session.Frame(), m_camera.nFrame);
        EXPECT_LE(m_camera.nNowNs - nRequestNs, 2 * m_camera.nPeriodNs) << "at most a period";
    }
    EXPECT_GT(m_camera.nDropped, 250) << "the kernel dropped what nobody queued for";
    // A request right behind another is served the same fresh frame, converted once.
    const std::uint64_t nConverted = cam->Conversions();
    const std::uint32_t nShared = m_camera.nFrame;
    bool bShared = false;
    session.WhenFrameReady([&] { bShared = session.GrabFrameNoStop(); });
    EXPECT_TRUE(bShared) << "answered at once";
    ExpectFrame(session.Frame(), nShared);
    EXPECT_EQ(cam->Conversions(), nConverted);

    // Frames flagged as errors or cut short are passed over, unconverted; an MJPEG frame that
    // does not decode costs its one try, and the next is served.
    m_camera.nErrorFrames = 2;
    m_camera.nCorruptFrames = 1;
    m_camera.Advance(2 * m_camera.nPeriodNs);
    ASSERT_TRUE(Request(session)) << session.LastError();
    ExpectFrame(session.Frame(), m_camera.nFrame);
    EXPECT_EQ(m_camera.nErrorFrames + m_camera.nCorruptFrames, 0);
    EXPECT_EQ(cam->Conversions(), nConverted + 1);
    std::string error;
    ASSERT_TRUE(cam->SetFormat({1280, 720, V4L2_PIX_FMT_MJPEG, {}}, error)) << error;
    ASSERT_TRUE(Request(session)) << session.LastError();
    m_camera.Advance(5 * m_camera.nPeriodNs);
    ASSERT_TRUE(Request(session)) << session.LastError();
    // The next three frames the camera takes arrive broken: only the newest is tried, and
    // the request waits for the next.
    const std::uint64_t nBefore = cam->Conversions();
    m_camera.nCorruptFrames = 3;
    m_camera.Advance(3 * m_camera.nPeriodNs);
    {
        // The decoder's complaint about it is not printed: the frame is simply passed over.
        CCapturedStderr quiet;
        ASSERT_TRUE(Request(session)) << session.LastError();
        EXPECT_EQ(quiet.Stop(), "");
    }
    ExpectFrame(session.Frame(), m_camera.nFrame);
    EXPECT_EQ(cam->Conversions(), nBefore + 2);

    // The preview takes what is there without waiting; nothing there is not a stale frame.
    m_camera.Advance(5 * m_camera.nPeriodNs);
    EXPECT_TRUE(session.TakeNewest());
    EXPECT_FALSE(session.TakeNewest());
}

TEST_F(V4l2, AStalledCameraAnswersAtOnceWithTheStandbyAndIsStartedAgainUntilItSends)
{
    for (const int nCure : {1, 2})
    {
        SCOPED_TRACE(nCure == 1 ? "a stream restart cures it" : "only opening it again does");
        const CDriverList list = CDriverList::Discover(m_camera.Api());
        CCaptureSession session(list);
        QImage standby(8, 6, QImage::Format_RGB32);
        standby.fill(QColor(255, 0, 0));
        session.SetStandbyPicture(standby);
        ASSERT_TRUE(session.Connect(0));
        ASSERT_TRUE(Request(session));
        QString said;
        QObject::connect(&session, &CCaptureSession::DeviceBack,
                         [&](const QString& s) { said = s; });
        // The camera stops sending, with no error: the request waiting on it gets the stand-by
        // picture when the wait runs out, and says why.
        m_camera.bStalled = true;
        m_camera.nStallCure = nCure;
        m_camera.Advance(5 * m_camera.nPeriodNs);
        const int nStarts = m_camera.nStreamStarts;
        bool bDone = false;
        session.WhenFrameReady([&] { bDone = !session.GrabFrameNoStop(); });
        QElapsedTimer waited;
        waited.start();
        while (!bDone && waited.elapsed() < 30000)
        {
            QCoreApplication::processEvents();
            QThread::msleep(5);
        }
        ASSERT_TRUE(bDone);
        EXPECT_EQ(session.LastError(),
                  "Played Cam A sent no frame for 2 s; its stream is being restarted");
        EXPECT_EQ(session.Frame().Width(), 8) << "the stand-by picture";
        EXPECT_TRUE(session.IsStalled());
        EXPECT_GT(m_camera.nStreamStarts, nStarts) << "restarted at once";
        // Meanwhile a request is answered at once, not after another wait.
        bool bAtOnce = false;
        session.WhenFrameReady([&] { bAtOnce = !session.GrabFrameNoStop(); });
        EXPECT_TRUE(bAtOnce);
        // Started again (stream, then opened afresh) until frames come: then it says so.
        waited.restart();
        while (session.IsStalled() && waited.elapsed() < 30000)
        {
            m_camera.Advance(m_camera.nPeriodNs);
            QCoreApplication::processEvents();
            QThread::msleep(5);
        }
        EXPECT_FALSE(session.IsStalled());
        EXPECT_EQ(said, "Played Cam A sends frames again");
        ASSERT_TRUE(Request(session)) << session.LastError();
        ExpectFrame(session.Frame(), m_camera.nFrame);
    }
}
