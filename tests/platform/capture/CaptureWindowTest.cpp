#include "platform/capture/CaptureWindow.h"
#include "platform/capture/CaptureSession.h"
#include "platform/capture/TestPatternDriver.h"
#include <linux/videodev2.h>

#include "tests/support/BmpBuilder.h"
#include "tests/support/PlayedCamera.h"
#include "tests/support/TempDir.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

TEST(CaptureWindow, ShowsTheSessionsDriverAndTheSessionGrabsAndSavesBitmaps)
{
    CPlayedCamera camera;
    camera.devices["/dev/video0"] = {"Played Cam"};
    const CDriverList drivers = CDriverList::Discover(camera.Api());
    CCaptureSession session(drivers);
    QWidget parent;
    CCaptureWindow window(session, &parent, 11, 34);
    EXPECT_EQ(window.geometry(), QRect(11, 34, 160, 120));
    QImage standby(8, 6, QImage::Format_RGB32);
    standby.fill(QColor(255, 0, 0));
    session.SetStandbyPicture(standby);

    CAPSTATUS status;
    CAPDRIVERCAPS caps;
    EXPECT_FALSE(window.GetStatus(&status));
    EXPECT_FALSE(window.DriverGetCaps(&caps));
    EXPECT_FALSE(session.Connect(5));
    ASSERT_TRUE(session.Connect(0));
    ASSERT_TRUE(window.GetStatus(&status));
    EXPECT_EQ(status.uiImageWidth, 640u);
    ASSERT_TRUE(window.DriverGetCaps(&caps));
    EXPECT_TRUE(caps.fHasDlgVideoSource);
    EXPECT_TRUE(caps.fHasDlgVideoFormat);
    EXPECT_FALSE(caps.fHasDlgVideoDisplay);

    // A frame taken as a request takes it, saved as a bottom-up BMP.
    CTempDir dir;
    bool bGrabbed = false;
    session.WhenFrameReady([&] { bGrabbed = session.GrabFrameNoStop(); });
    for (int i = 0; i < 400 && !bGrabbed; ++i)
    {
        camera.Advance(camera.nPeriodNs);
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(bGrabbed) << session.LastError();
    ASSERT_TRUE(session.FileSaveDib(dir.File("capframe.bmp").c_str()));
    auto bytes = ReadBytes(dir.File("capframe.bmp"));
    ASSERT_EQ(bytes.size(), 54u + 1920u * 480u);
    EXPECT_EQ(ReadLE32(&bytes[18]), 640u);
    EXPECT_EQ(ReadLE32(&bytes[22]), 480u); // bottom-up
    // The picture's top row sits in the last row of the file.
    std::vector<std::uint8_t> topDown;
    for (int y = 479; y >= 0; --y)
        topDown.insert(topDown.end(), &bytes[54 + 1920 * std::size_t(y)],
                       &bytes[54 + 1920 * std::size_t(y)] + 1920);
    EXPECT_EQ(CPlayedCamera::FrameNumberOf(topDown.data(), 640, 480, 1920),
              int(camera.nFrame & 0xFFFF));

    // Unplugged: the grab fails, says why, and the frame buffer holds the stand-by picture.
    camera.Unplug("/dev/video0");
    EXPECT_FALSE(session.GrabFrameNoStop());
    EXPECT_NE(session.LastError().find("/dev/video0"), std::string::npos);
    EXPECT_TRUE(session.IsWaitingForDevice());
    EXPECT_EQ(camera.nOpen, 0) << "released at once";
    ASSERT_TRUE(session.FileSaveDib(dir.File("capframe.bmp").c_str()));
    bytes = ReadBytes(dir.File("capframe.bmp"));
    EXPECT_EQ(ReadLE32(&bytes[18]), 8u);
    EXPECT_EQ(bytes.size(), 54u + 24u * 6u); // the larger frame before it is cut away
    EXPECT_EQ(bytes[54 + 2], 255);           // red

    // A save into a missing folder fails and leaves nothing behind.
    EXPECT_FALSE(session.FileSaveDib(dir.File("missing/capframe.bmp").c_str()));
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
    session.Disconnect();
    EXPECT_EQ(session.Driver(), nullptr);
    EXPECT_FALSE(window.GetStatus(&status));
}

TEST(CaptureWindow, TheTestPatternMovesAndOffersItsSizes)
{
    CTestPatternDriver pattern;
    std::string error;
    ASSERT_TRUE(pattern.Open(error));
    CFrameBuffer a;
    CFrameBuffer b;
    ASSERT_TRUE(pattern.Grab(a, error));
    ASSERT_TRUE(pattern.Grab(b, error));
    EXPECT_EQ(a.Width(), 640);
    EXPECT_EQ(a.Height(), 480);
    EXPECT_NE(a.DibFileBytes(), b.DibFileBytes());
    // Deterministic: the same frame number draws the same picture.
    CFrameBuffer again;
    again.Resize(640, 480);
    pattern.Render(again, 1);
    EXPECT_EQ(again.DibFileBytes(), a.DibFileBytes());

    std::vector<std::pair<int, int>> sizes;
    for (const auto& f : pattern.Formats())
        sizes.emplace_back(f.nWidth, f.nHeight);
    for (const auto& want :
         {std::make_pair(160, 120), std::make_pair(320, 240), std::make_pair(640, 480),
          std::make_pair(1280, 720), std::make_pair(1920, 1080)})
        EXPECT_NE(std::find(sizes.begin(), sizes.end(), want), sizes.end());
    ASSERT_TRUE(pattern.SetFormat({1280, 720, 0, {}}, error));
    ASSERT_TRUE(pattern.Grab(a, error));
    EXPECT_EQ(a.Width(), 1280);
    EXPECT_FALSE(pattern.SetFormat({1000, 1000, 0, {}}, error));

    ASSERT_EQ(pattern.Controls().size(), 1u);
    ASSERT_TRUE(pattern.SetControl(CTestPatternDriver::kPatternControl,
                                   CTestPatternDriver::Checkerboard, error));
    EXPECT_EQ(pattern.Controls()[0].nValue, CTestPatternDriver::Checkerboard);
    EXPECT_FALSE(pattern.SetControl(CTestPatternDriver::kPatternControl, 9, error));
}

#include "platform/capture/CaptureDialogs.h"

#include <QComboBox>
#include <QSpinBox>

TEST(CaptureDialogs, SourceAppliesControlsAtOnceCancelPutsThemBackAndFormatOnOk)
{
    CPlayedCamera camera;
    camera.devices["/dev/video0"] = {"Played Cam"};
    const CDriverList drivers = CDriverList::Discover(camera.Api());
    CCaptureDriver* cam = drivers.Driver(0);
    std::string error;
    ASSERT_TRUE(cam->Open(error));

    CCaptureSourceDialog source(*cam, nullptr);
    auto* spin = source.findChild<QSpinBox*>();
    ASSERT_NE(spin, nullptr);
    spin->setValue(77);
    EXPECT_EQ(camera.controls[V4L2_CID_BRIGHTNESS], 77);
    auto* menu = source.findChild<QComboBox*>();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->currentText(), "50 Hz");
    menu->setCurrentIndex(2);
    EXPECT_EQ(camera.controls[V4L2_CID_POWER_LINE_FREQUENCY], 2);
    source.reject();
    EXPECT_NE(camera.controls[V4L2_CID_BRIGHTNESS], 77);
    EXPECT_EQ(camera.controls[V4L2_CID_POWER_LINE_FREQUENCY], 1);

    CCaptureFormatDialog format(*cam, nullptr);
    auto* sizes = format.findChild<QComboBox*>(QStringLiteral("sizes"));
    ASSERT_NE(sizes, nullptr);
    ASSERT_EQ(sizes->count(), 3);
    EXPECT_EQ(sizes->itemText(2), "1280 x 720  MJPG, 30 fps");
    EXPECT_EQ(sizes->currentIndex(), 0);
    sizes->setCurrentIndex(1);
    EXPECT_EQ(cam->Width(), 640) << "nothing changes before OK";
    format.accept();
    EXPECT_EQ(cam->Width(), 320);
    EXPECT_TRUE(format.Error().empty());
}

TEST(FrameBuffer, SavedFilesHavePaddedBottomUpRowsAtAnySize)
{
    CTempDir dir;
    const std::string path = dir.File("capframe.bmp");
    // Rows that need padding, and more rows than one write takes at once.
    for (const auto& [w, h] : {std::make_pair(5, 3), std::make_pair(7, 1500), std::make_pair(4, 2)})
    {
        CFrameBuffer frame;
        ASSERT_TRUE(frame.Resize(w, h));
        for (int y = 0; y < h; ++y)
            for (int i = 0; i < w * 3; ++i)
                frame.Row(y)[i] = std::uint8_t(y * 31 + i + 1);
        ASSERT_TRUE(frame.SaveDib(path));
        const auto bytes = ReadBytes(path);
        const std::size_t nStride = (std::size_t(w) * 3 + 3) / 4 * 4;
        ASSERT_EQ(bytes.size(), 54 + nStride * std::size_t(h)) << w << "x" << h;
        EXPECT_EQ(ReadLE32(&bytes[2]), bytes.size());
        EXPECT_EQ(ReadLE32(&bytes[34]), bytes.size() - 54);
        for (int y = 0; y < h; ++y)
        {
            const std::uint8_t* pRow = &bytes[54 + nStride * std::size_t(h - 1 - y)];
            ASSERT_EQ(std::memcmp(pRow, frame.Row(y), std::size_t(w) * 3), 0) << "row " << y;
            for (std::size_t i = std::size_t(w) * 3; i < nStride; ++i)
                ASSERT_EQ(pRow[i], 0) << "padding of row " << y;
        }
        EXPECT_EQ(bytes, frame.DibFileBytes());
    }
}

TEST(CaptureWindow, TheTestPatternRedrawnInPlaceIsEveryFrameExactly)
{
    // Grabbing into the same buffer again and again only puts back what moved; every frame
    // must still be exactly the one drawn from scratch, also after the buffer was written by
    // someone else, after a pattern change and at another size.
    CTestPatternDriver pattern;
    CTestPatternDriver reference; // draws each frame from scratch into a new buffer
    std::string error;
    ASSERT_TRUE(pattern.Open(error));
    CFrameBuffer live;
    auto expectFresh = [&](const char* pszWhen)
    {
        CFrameBuffer fresh;
        ASSERT_TRUE(fresh.Resize(live.Width(), live.Height()));
        reference.Render(fresh, pattern.FramesGrabbed());
        ASSERT_EQ(live.DibFileBytes(), fresh.DibFileBytes())
            << pszWhen << ", frame " << pattern.FramesGrabbed();
    };
    for (int i = 0; i < 70; ++i) // the bar wraps around the picture
    {
        ASSERT_TRUE(pattern.Grab(live, error));
        expectFresh("in a row");
    }
    std::memset(live.Row(100), 7, 300); // as the stand-by picture does
    ASSERT_TRUE(pattern.Grab(live, error));
    expectFresh("after another writer");
    for (CTestPatternDriver* p : {&pattern, &reference})
        ASSERT_TRUE(p->SetControl(CTestPatternDriver::kPatternControl, CTestPatternDriver::Gradient,
                                  error));
    ASSERT_TRUE(pattern.Grab(live, error));
    expectFresh("after a pattern change");
    ASSERT_TRUE(pattern.SetFormat({320, 240, 0, {}}, error));
    for (int i = 0; i < 3; ++i)
    {
        ASSERT_TRUE(pattern.Grab(live, error));
        expectFresh("at another size");
    }
}
