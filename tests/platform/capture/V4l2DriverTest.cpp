#include "platform/capture/V4l2Driver.h"
#include "platform/capture/DriverList.h"

#include "tests/support/PlayedCamera.h"

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
    void ExpectFrame(const CFrameBuffer& f, std::uint32_t nFrame)
    {
        for (int y : {0, f.Height() / 2, f.Height() - 1})
            for (int x : {0, 7, f.Width() - 1})
            {
                std::uint8_t want[3];
                CPlayedCamera::Pixel(nFrame, x, y, want);
                const std::uint8_t* got = f.Row(y) + 3 * x;
                ASSERT_EQ(got[0], want[0]) << x << "," << y;
                ASSERT_EQ(got[1], want[1]);
                ASSERT_EQ(got[2], want[2]);
            }
    }
};
} // namespace

TEST_F(V4l2, DiscoveryListsCaptureNodesThenTheTestPattern)
{
    const CDriverList list = CDriverList::Discover(m_camera.Api());
    ASSERT_EQ(list.Count(), 3);
    std::string name;
    ASSERT_TRUE(list.GetDriverDescription(0, name));
    EXPECT_EQ(name, "Played Cam A");
    ASSERT_TRUE(list.GetDriverDescription(1, name));
    EXPECT_EQ(name, "Played Cam B");
    ASSERT_TRUE(list.GetDriverDescription(2, name));
    EXPECT_EQ(name, "Test Pattern");
    EXPECT_FALSE(list.GetDriverDescription(3, name));
    EXPECT_FALSE(list.GetDriverDescription(-1, name));
    EXPECT_EQ(m_camera.nOpen, 0) << "probing closes what it opens";
}

TEST_F(V4l2, ConnectsGrabsFreshFramesAndReleasesEverything)
{
    {
        CV4l2Driver cam(m_camera.Api(), "/dev/video0", "Played Cam A");
        std::string error;
        ASSERT_TRUE(cam.Open(error)) << error;
        EXPECT_EQ(cam.Width(), 640);
        EXPECT_EQ(cam.Height(), 480);
        EXPECT_EQ(m_camera.nMapped, CV4l2Driver::kBufferCount);
        CFrameBuffer frame;
        ASSERT_TRUE(cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs)) << error;
        EXPECT_EQ(frame.Width(), 640);
        ExpectFrame(frame, m_camera.nFrame);
        const std::uint32_t nFirst = m_camera.nFrame;
        m_camera.nNowNs += m_camera.nPeriodNs;
        ASSERT_TRUE(cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs));
        EXPECT_GT(m_camera.nFrame, nFirst);
        ExpectFrame(frame, m_camera.nFrame);
        cam.Close();
        cam.Close();
        EXPECT_EQ(m_camera.nOpen, 0);
        EXPECT_EQ(m_camera.nMapped, 0);
        EXPECT_FALSE(cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs));
    }
    EXPECT_EQ(m_camera.nOpen, 0);
}

TEST_F(V4l2, AnUnpluggedCameraFailsItsGrabsWithoutCrashing)
{
    CV4l2Driver cam(m_camera.Api(), "/dev/video0", "Played Cam A");
    std::string error;
    ASSERT_TRUE(cam.Open(error));
    CFrameBuffer frame;
    ASSERT_TRUE(cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs));
    m_camera.bUnplugged = true;
    EXPECT_FALSE(cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs));
    EXPECT_EQ(error, "/dev/video0: the camera has gone (No such device)");
    // Released at once, before anyone closes it: the node is not held.
    EXPECT_FALSE(cam.IsOpen());
    EXPECT_EQ(m_camera.nOpen, 0);
    EXPECT_EQ(m_camera.nMapped, 0);
    EXPECT_FALSE(cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs));
    cam.Close();
    EXPECT_EQ(m_camera.nOpen, 0);
    EXPECT_EQ(m_camera.nMapped, 0);
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
        EXPECT_EQ(error.substr(0, 55), "/dev/video0 (Played Cam A) is in use by another program")
            << error;
        EXPECT_FALSE(cam.IsOpen());
        EXPECT_EQ(m_camera.nOpen, 0);
    }
}

TEST_F(V4l2, AReplugFindsTheSameCameraUnderAnyNodeWithItsChoicesAndNeverAnother)
{
    m_camera.devices["/dev/video0"].strById = "usb-Played_Cam_A_SN1-video-index0";
    CDriverList list = CDriverList::Discover(m_camera.Api());
    CCaptureDriver* cam = list.Driver(0);
    EXPECT_EQ(cam->Identity(), "usb-Played_Cam_A_SN1-video-index0");
    EXPECT_EQ(list.Driver(1)->Identity(), "usb-0000:00:14.0-1 Played Cam B");
    std::string error;
    ASSERT_TRUE(cam->Open(error)) << error;
    ASSERT_TRUE(cam->SetFormat({320, 240, 0, {}}, error)) << error;
    ASSERT_TRUE(cam->SetControl(V4L2_CID_BRIGHTNESS, 77, error)) << error;

    // Pulled out while our descriptor is open: it comes back under a new node.
    m_camera.Unplug("/dev/video0");
    CFrameBuffer frame;
    EXPECT_FALSE(cam->Grab(frame, error, CV4l2Driver::kGrabTimeoutMs));
    EXPECT_EQ(m_camera.nOpen, 0);
    EXPECT_EQ(m_camera.nMapped, 0);
    const int fdHeld = m_camera.Api().open("/dev/video2", 0); // keeps the next node taken
    m_camera.devices["/dev/video0"] = {"Played Cam C"};       // another camera there
    const std::string node = m_camera.Replug();
    EXPECT_NE(node, "/dev/video0");
    m_camera.nWidth = 640; // a camera starts with its own defaults again
    m_camera.controls[V4L2_CID_BRIGHTNESS] = 128;
    ASSERT_TRUE(cam->Open(error)) << error;
    EXPECT_EQ(static_cast<CV4l2Driver*>(cam)->Path(), node);
    EXPECT_EQ(cam->Width(), 320);
    EXPECT_EQ(m_camera.controls[V4L2_CID_BRIGHTNESS], 77);
    ASSERT_TRUE(cam->Grab(frame, error, CV4l2Driver::kGrabTimeoutMs)) << error;
    ExpectFrame(frame, m_camera.nFrame);
    cam->Close();
    m_camera.Api().close(fdHeld);

    // Gone for good, another camera at its old node: nothing is connected.
    m_camera.Unplug(node);
    EXPECT_FALSE(cam->Open(error));
    EXPECT_FALSE(cam->IsOpen());
    EXPECT_EQ(m_camera.nOpen, 0);
}

TEST_F(V4l2, ControlsAndSizesComeFromTheCamera)
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
    CFrameBuffer frame;
    ASSERT_TRUE(cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs));
    EXPECT_EQ(frame.Width(), 320);
    EXPECT_EQ(frame.Height(), 240);
    ExpectFrame(frame, m_camera.nFrame);
    EXPECT_EQ(m_camera.nOpen, 1);
    EXPECT_EQ(m_camera.nMapped, CV4l2Driver::kBufferCount);
}

TEST_F(V4l2, AGrabAfterAPauseIsAFrameTakenAfterTheRequestAndNeverABadOne)
{
    CV4l2Driver cam(m_camera.Api(), "/dev/video0", "Played Cam A");
    std::string error;
    ASSERT_TRUE(cam.Open(error));
    CFrameBuffer frame;
    // The first grab skips the dark frames of a camera that has just started.
    ASSERT_TRUE(cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs)) << error;
    EXPECT_GT(m_camera.nFrame, std::uint32_t(m_camera.nDarkFrames));
    ExpectFrame(frame, m_camera.nFrame);

    // Nobody takes frames for 10 s: the camera fills its buffers, then drops the rest.
    for (std::int64_t nIdleNs :
         {std::int64_t(10000000000), std::int64_t(1000000000), std::int64_t(0)})
    {
        m_camera.nNowNs += nIdleNs;
        const std::int64_t nRequestNs = m_camera.nNowNs;
        ASSERT_TRUE(cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs)) << error;
        ExpectFrame(frame, m_camera.nFrame);
        EXPECT_LE(m_camera.nNowNs - nRequestNs, m_camera.nPeriodNs) << "at most one period";
    }
    EXPECT_GT(m_camera.nDropped, 250) << "the kernel dropped what nobody queued for";
    // The last request came right behind another and shared its frame.
    EXPECT_EQ(m_camera.nConversions, 3) << "only the frames served are converted";
    // A request right behind another is served the same fresh frame, converted once.
    const std::uint32_t nShared = m_camera.nFrame;
    ASSERT_TRUE(cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs)) << error;
    ExpectFrame(frame, nShared);
    EXPECT_EQ(m_camera.nConversions, 3);
    EXPECT_GT(m_camera.nDequeued, 10);

    // Frames flagged as errors are passed over, and so is a frame taken just before the pause,
    // and one that does not decode.
    m_camera.nErrorFrames = 3;
    m_camera.nCorruptFrames = 1;
    m_camera.nNowNs += 2 * m_camera.nPeriodNs;
    ASSERT_TRUE(cam.Grab(frame, error, CV4l2Driver::kGrabTimeoutMs)) << error;
    ExpectFrame(frame, m_camera.nFrame);
    EXPECT_EQ(m_camera.nErrorFrames, 0);
    EXPECT_EQ(m_camera.nCorruptFrames, 0);

    // The preview takes what is there without waiting; nothing there is not a stale frame.
    m_camera.nNowNs += 5 * m_camera.nPeriodNs;
    ASSERT_TRUE(cam.Grab(frame, error, 0)) << error;
    EXPECT_FALSE(cam.Grab(frame, error, 0));
    EXPECT_EQ(error, "/dev/video0: no frame was ready");
}
