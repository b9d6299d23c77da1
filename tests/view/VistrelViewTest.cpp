#include "view/VistrelView.h"

#include "JpegDecode.h"
#include "platform/capture/TestPatternDriver.h"
#include "platform/registry/RegistryKey.h"
#include "platform/ui/MessageBox.h"
#include "settings/DeviceMemory.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/CapturedStderr.h"
#include "tests/support/Modal.h"
#include "tests/support/NetClient.h"
#include "tests/support/PlayedCamera.h"
#include "tests/support/RefusingDriver.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <QComboBox>
#include <QDialog>
#include <QSpinBox>
#include <QTimer>

#include <array>
#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace
{

CDriverList Drivers()
{
    std::vector<std::unique_ptr<CCaptureDriver>> d;
    d.push_back(std::make_unique<CRefusingDriver>());
    d.push_back(std::make_unique<CTestPatternDriver>());
    return CDriverList(std::move(d));
}

class VistrelView : public ::testing::Test
{
protected:
    CTempDir m_dir;
    CScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.Path().string()};
    CDriverList m_drivers = Drivers();
    std::vector<std::string> m_boxes;

    void SetUp() override
    {
        SetMessageBoxPresenter(
            [this](const std::string& text, const std::string&, unsigned)
            {
                m_boxes.push_back(text);
                return IDOK;
            });
    }
    void TearDown() override { SetMessageBoxPresenter({}); }
    void Store(const char* pszName, DWORD nValue)
    {
        CRegistryKey key;
        key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey);
        key.SetDword(nValue, pszName);
    }
    std::unique_ptr<CVistrelView> Start()
    {
        auto view = std::make_unique<CVistrelView>(m_drivers);
        view->SetWorkingDirectory(m_dir.Path().string());
        view->OnInitialUpdate();
        return view;
    }
    static std::vector<std::uint8_t> Fetch(const char* pszHost, unsigned nPort)
    {
        return FetchWhilePumping(pszHost, nPort);
    }
};

std::vector<std::uint8_t> Body(const std::vector<std::uint8_t>& r)
{
    const std::string s(r.begin(), r.end());
    const auto n = s.find("\r\n\r\n");
    return n == std::string::npos ? r : std::vector<std::uint8_t>(r.begin() + long(n) + 4, r.end());
}
} // namespace

TEST_F(VistrelView, StartsWithTheDefaultsAndNoServer)
{
    auto view = Start();
    EXPECT_EQ(view->DocumentTitle(), "No Driver Selected");
    EXPECT_EQ(view->m_settings.CaptureDevice, -1);
    EXPECT_FALSE(view->m_server.IsListening());
    EXPECT_FALSE(view->m_pOverlay);
    ASSERT_TRUE(view->m_hCapWnd);
    EXPECT_EQ(view->m_hCapWnd->size(), QSize(160, 120));
    EXPECT_TRUE(m_boxes.empty());
}

TEST_F(VistrelView, ReconnectsTheSavedDriverAndServesItsFrames)
{
    Store("CaptureDevice", 1);
    Store("ServerEnabled", 1);
    Store("ServerPort", 0); // refused: never truncated to some other port
    auto refused = Start();
    ASSERT_EQ(m_boxes, std::vector<std::string>{"Aieeee! Can't open server on configured port\n"});
    EXPECT_FALSE(refused->m_server.IsListening());
    EXPECT_EQ(refused->StatusText(),
              "Can't open the server on port 0, which is not between 1 and 65535");
    refused.reset();

    m_boxes.clear();
    Store("ServerPort", 70000 + 8080);
    Start();
    EXPECT_EQ(m_boxes.size(), 1u);

    // A free port, found by binding one and letting it go.
    const unsigned nPort = FreePort();
    ASSERT_NE(nPort, 0u);
    Store("ServerPort", nPort);
    m_boxes.clear();
    auto view = Start();
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_EQ(view->m_settings.CaptureDevice, 1);
    EXPECT_EQ(view->DocumentTitle(), "Test Pattern");
    EXPECT_EQ(view->m_hCapWnd->size(), QSize(640, 480));
    ASSERT_EQ(view->ListeningPort(), nPort);

    const auto a = Fetch("127.0.0.1", nPort);
    const auto b = Fetch("::1", nPort);
    const std::string head(a.begin(), a.begin() + 17);
    EXPECT_EQ(head, "HTTP/1.0 200 OK\r\n");
    const auto da = DecodeJpegBytes(Body(a));
    const auto db = DecodeJpegBytes(Body(b));
    ASSERT_TRUE(da.bOk);
    ASSERT_TRUE(db.bOk);
    EXPECT_EQ(da.nWidth, 640);
    EXPECT_EQ(da.nHeight, 480);
    EXPECT_NE(da.rgb, db.rgb) << "two requests, two different frames";

    // Starting again replaces the socket on the same port.
    view->StartServer();
    view->StartServer();
    EXPECT_EQ(view->ListeningPort(), nPort);
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_FALSE(Fetch("127.0.0.1", nPort).empty());

    // Held by another socket: the message, and no server.
    auto other = Start();
    EXPECT_EQ(m_boxes, std::vector<std::string>{"Aieeee! Can't open server on configured port\n"});
    EXPECT_FALSE(other->m_server.IsListening());
    EXPECT_EQ(other->StatusText(), "Can't open the server on port " + std::to_string(nPort) +
                                       ": Address already in use");
}

TEST_F(VistrelView, ADriverThatRefusesLeavesNoDriverSelected)
{
    Store("CaptureDevice", 0);
    auto view = Start();
    EXPECT_EQ(m_boxes, std::vector<std::string>{"DOH! Can't open this driver"});
    EXPECT_EQ(view->m_settings.CaptureDevice, -1);
    EXPECT_EQ(view->DocumentTitle(), "No driver selected");
    EXPECT_NE(view->StatusText().find("busy"), std::string::npos);

    view->SelectDriver(1);
    EXPECT_EQ(view->m_settings.CaptureDevice, 1);
    view->SelectDriver(1); // the connected one again: disconnects
    EXPECT_EQ(view->m_settings.CaptureDevice, -1);
    EXPECT_EQ(view->DocumentTitle(), "No driver selected");
}

TEST_F(VistrelView, AnOverlayThatCannotBeOpenedIsReportedAndStartUpGoesOn)
{
    Store("UseOverlay", 1);
    Store("CaptureDevice", 1);
    auto view = Start();
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_NE(m_boxes[0].find("overlay.bmp"), std::string::npos);
    EXPECT_NE(m_boxes[0].find("No such file"), std::string::npos);
    ASSERT_TRUE(view->m_pOverlay);
    EXPECT_TRUE(view->m_pOverlay->IsEmpty());
    EXPECT_EQ(view->m_settings.CaptureDevice, 1); // the driver was still reconnected

    m_boxes.clear();
    WriteBytes(m_dir.File("overlay.bmp"), MakeBmp(CTestPicture::Pattern(4, 4)));
    auto loaded = Start();
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_EQ(loaded->m_pOverlay->Width(), 4u);
}

TEST_F(VistrelView, ImagesEncodedElsewhereArriveOnThisThreadAndNeverOutliveTheView)
{
    Store("CaptureDevice", 1);
    auto view = Start();
    struct Delivered
    {
        int nLength;
        std::vector<std::uint8_t> bytes;
        bool bOnThisThread;
    };
    std::vector<Delivered> got;
    const auto self = std::this_thread::get_id();
    auto collect = [&](int nLength, std::unique_ptr<std::uint8_t[]> p)
    {
        got.push_back({nLength, std::vector<std::uint8_t>(p.get(), p.get() + nLength),
                       std::this_thread::get_id() == self});
    };
    for (int i = 0; i < 4; ++i)
        view->m_service.BuildSnapshotLater(true, collect);
    EXPECT_TRUE(got.empty()) << "JPEG images are delivered from the event loop";
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 4; }, 5000));
    std::vector<std::vector<std::uint8_t>> pictures;
    for (const Delivered& d : got)
    {
        EXPECT_TRUE(d.bOnThisThread);
        ASSERT_EQ(std::string(d.bytes.begin(), d.bytes.begin() + 17), "HTTP/1.0 200 OK\r\n");
        const auto decoded = DecodeJpegBytes(Body(d.bytes));
        ASSERT_TRUE(decoded.bOk);
        EXPECT_EQ(decoded.nWidth, 640);
        pictures.push_back(decoded.rgb);
    }
    for (std::size_t i = 1; i < pictures.size(); ++i)
        EXPECT_NE(pictures[i], pictures[i - 1]) << "each its own frame";

    // A BMP needs no encoding: it comes at once.
    got.clear();
    view->m_settings.ImageType = 1;
    view->m_service.BuildSnapshotLater(true, collect);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].nLength, int(got[0].bytes.size()));

    // An encoding that fails is answered with the 503 and its reason reaches the status text.
    got.clear();
    view->m_settings.ImageType = 0;
    std::filesystem::remove(m_dir.File("frame.jpg"));
    std::filesystem::create_directory(m_dir.File("frame.jpg"));
    view->m_service.BuildSnapshotLater(true, collect);
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 1; }, 5000));
    EXPECT_EQ(std::string(got[0].bytes.begin(), got[0].bytes.begin() + 12), "HTTP/1.0 503");
    EXPECT_NE(view->StatusText().find("JPEG encoding failed"), std::string::npos);
    std::filesystem::remove(m_dir.File("frame.jpg"));

    // Gone with images still being encoded: none is delivered to it afterwards.
    got.clear();
    for (int i = 0; i < 3; ++i)
        view->m_service.BuildSnapshotLater(true, collect);
    view.reset();
    // Its encoding threads were stopped with it and its results let go: whatever is still
    // queued on the event loop finds nothing to deliver.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(got.empty());
}

TEST_F(VistrelView, ACameraIsKnownByItsIdentityAndKeepsItsFormatAcrossRestarts)
{
    CPlayedCamera camera;
    camera.devices["/dev/video0"] = {"Cam A"};
    camera.devices["/dev/video0"].strById = "usb-Cam_A_1-video-index0";
    camera.devices["/dev/video1"] = {"Cam B"};
    m_drivers = CDriverList::Discover(camera.Api());
    auto view = Start();
    view->SelectDriver(0);
    ASSERT_EQ(view->m_settings.CaptureDevice, 0);
    EXPECT_EQ(view->m_settings.CaptureDeviceId, "usb-Cam_A_1-video-index0");

    // Video > Format, 320x240, OK: kept for this camera at once, without File > Save.
    WhenModal(
        [](QWidget* p)
        {
            p->findChild<QComboBox*>(QStringLiteral("sizes"))->setCurrentIndex(1);
            static_cast<QDialog*>(p)->accept();
        });
    view->OnVideoFormat();
    EXPECT_EQ(view->m_hCapWnd->size(), QSize(320, 240));
    // Video > Source: a change cancelled is put back and not kept; one taken with OK is kept.
    const std::string strId = view->m_settings.CaptureDeviceId;
    const CCaptureState before = CDeviceMemory::Load(strId);
    for (const bool bOk : {false, true})
    {
        WhenModal(
            [bOk](QWidget* p)
            {
                p->findChild<QSpinBox*>()->setValue(77);
                bOk ? static_cast<QDialog*>(p)->accept() : static_cast<QDialog*>(p)->reject();
            });
        view->OnVideoSource();
        EXPECT_EQ(CDeviceMemory::Load(strId) == before, !bOk) << "OK " << bOk;
        EXPECT_EQ(camera.controls[V4L2_CID_BRIGHTNESS] == 77, bOk) << "OK " << bOk;
    }
    view->m_settings.Save();
    view.reset();

    // The camera forgets its size over a restart; Vistrel puts it back.
    camera.nWidth = 640;
    camera.nHeight = 480;
    view = Start();
    EXPECT_EQ(view->m_settings.CaptureDevice, 0);
    EXPECT_EQ(view->m_hCapWnd->size(), QSize(320, 240));
    view.reset();

    // The index set in the store afterwards (vistrel-reg, an older .reg file) is the newer
    // word: it is used, not the remembered identity.
    Store("CaptureDevice", 1);
    view = Start();
    EXPECT_EQ(view->m_settings.CaptureDevice, 1);
    EXPECT_EQ(view->DocumentTitle(), "Cam B");
    view->SelectDriver(0); // back to Cam A, saved with its index
    view->m_settings.Save();
    view.reset();

    // Cam A is gone and Cam B has its index now: nothing is connected in its place.
    camera.Unplug("/dev/video0");
    m_drivers = CDriverList::Discover(camera.Api());
    ASSERT_EQ(m_drivers.Count(), 2);
    m_boxes.clear();
    view = Start();
    EXPECT_EQ(m_boxes, std::vector<std::string>{"DOH! Can't open this driver"});
    EXPECT_EQ(view->m_settings.CaptureDevice, -1);
    EXPECT_EQ(view->StatusText(),
              "The capture device usb-Cam_A_1-video-index0 kept in the settings is not connected");
    EXPECT_EQ(camera.nOpen, 0);
    view.reset();

    // A store from before identities were kept still goes by index.
    CRegistryKey key;
    key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey);
    RegDeleteValueA(key.m_hKey, CSettings::kDeviceIdValue);
    key.Close();
    view = Start();
    EXPECT_EQ(view->m_settings.CaptureDevice, 0);
    EXPECT_EQ(view->DocumentTitle(), "Cam B");

    // The test pattern keeps its size the same way.
    view->SelectDriver(1);
    ASSERT_EQ(view->DocumentTitle(), "Test Pattern");
    WhenModal(
        [](QWidget* p)
        {
            p->findChild<QComboBox*>(QStringLiteral("sizes"))->setCurrentIndex(0);
            static_cast<QDialog*>(p)->accept();
        });
    view->OnVideoFormat();
    const QSize chosen = view->m_hCapWnd->size();
    EXPECT_NE(chosen, QSize(640, 480));
    view.reset();
    m_drivers = CDriverList::Discover(camera.Api()); // a new run's drivers, at their defaults
    view = Start();
    view->SelectDriver(1);
    EXPECT_EQ(view->m_hCapWnd->size(), chosen);
}

TEST_F(VistrelView, ACameraFrameIsWaitedForOnTheEventLoopConvertedOnceAndSharedByThoseWaiting)
{
    // The stand-by picture the user keeps in the working folder.
    WriteBytes(m_dir.File("capoff.bmp"), MakeBmp(CTestPicture::Solid(33, 17, RGB(0, 128, 255))));
    for (const std::uint32_t nFormat : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG})
    {
        SCOPED_TRACE(nFormat == V4L2_PIX_FMT_YUYV ? "YUYV" : "MJPEG");
        CPlayedCamera camera;
        camera.devices["/dev/video0"] = {"Cam A"};
        camera.nPixelFormat = nFormat;
        m_drivers = CDriverList::Discover(camera.Api());
        const unsigned nPort = FreePort();
        ASSERT_NE(nPort, 0u);
        Store("ServerPort", nPort);
        Store("ServerEnabled", 1);
        Store("CaptureDevice", 0);
        Store("ImageType", 1); // BMP: the frame's own pixels
        auto view = Start();
        ASSERT_EQ(view->m_settings.CaptureDevice, 0);
        const CCaptureDriver* pCam = m_drivers.Driver(0);
        // Only the program's own lines reach standard error while it serves.
        CCapturedStderr stderrText;

        for (int nRound = 0; nRound < 3; ++nRound)
        {
            // The camera left alone for 10 s, then three requests together.
            camera.Advance(10000000000);
            const std::uint64_t nConverted = pCam->Conversions();
            std::vector<CReadResult> got(3);
            std::array<std::atomic<bool>, 3> answered{};
            std::vector<std::thread> clients;
            for (std::size_t i = 0; i < got.size(); ++i)
                clients.emplace_back(
                    [&got, &answered, i, nPort]
                    {
                        const int fd = ConnectTo("127.0.0.1", nPort);
                        got[i] = ReadAll(fd, 30000);
                        ::close(fd);
                        answered[i] = true;
                    });
            // No new frame yet: all three are taken in and wait, and the window goes on
            // answering meanwhile.
            bool bAnswered = false;
            QTimer::singleShot(50, [&bAnswered] { bAnswered = true; });
            EXPECT_TRUE(PumpUntil(
                [&] { return bAnswered && view->m_server.LiveConnections() == int(got.size()); },
                30000));
            for (const auto& bDone : answered)
                EXPECT_FALSE(bDone) << "served before the camera had a new frame";

            // Frames come: all three get the same one, converted once.
            for (int i = 0; i < 200 && view->m_server.LiveConnections() > 0; ++i)
            {
                camera.Advance(camera.nPeriodNs);
                PumpUntil([&] { return view->m_server.LiveConnections() == 0; }, 20);
            }
            PumpUntil([&] { return view->m_server.LiveConnections() == 0; }, 30000);
            for (auto& t : clients)
                t.join();
            EXPECT_EQ(pCam->Conversions(), nConverted + 1) << "round " << nRound;
            for (const auto& r : got)
            {
                const auto body = Body(r.bytes);
                ASSERT_EQ(body.size(), 54u + 640u * 480u * 3u);
                EXPECT_EQ(body, Body(got[0].bytes));
                std::vector<std::uint8_t> topDown;
                for (int y = 479; y >= 0; --y)
                    topDown.insert(topDown.end(), &body[54 + 1920 * std::size_t(y)],
                                   &body[54 + 1920 * std::size_t(y)] + 1920);
                EXPECT_EQ(CPlayedCamera::FrameNumberOf(topDown.data(), 640, 480, 1920),
                          int(camera.nFrame & 0xFFFF));
            }
        }

        // Unplugged: let go of at once, and the next request gets the user's stand-by
        // picture.
        camera.Unplug("/dev/video0");
        const auto standby = Body(Fetch("127.0.0.1", nPort));
        EXPECT_EQ(camera.nOpen, 0);
        EXPECT_TRUE(view->m_capture.IsWaitingForDevice());
        ASSERT_GT(standby.size(), 54u);
        EXPECT_EQ(ReadLE32(&standby[18]), 33u) << "capoff.bmp";
        EXPECT_NE(view->StatusText().find("/dev/video0"), std::string::npos) << view->StatusText();
        std::istringstream lines(stderrText.Stop());
        for (std::string line; std::getline(lines, line);)
            EXPECT_EQ(line.rfind("Vistrel: ", 0), 0u) << "not ours: " << line;
    }

    // In use by another program at the start: kept, said so, tried every second, and
    // connected by itself when the other program lets go.
    CPlayedCamera camera;
    camera.devices["/dev/video0"] = {"Cam A"};
    camera.devices["/dev/video0"].bBusy = true; // as uvcvideo: refused at the format
    m_drivers = CDriverList::Discover(camera.Api());
    m_boxes.clear();
    auto view = Start();
    EXPECT_EQ(m_boxes, std::vector<std::string>{"DOH! Can't open this driver"});
    EXPECT_EQ(view->m_settings.CaptureDevice, 0);
    EXPECT_NE(view->StatusText().find("in use by another program"), std::string::npos)
        << view->StatusText();
    EXPECT_NE(view->StatusText().find("trying again every second"), std::string::npos);
    camera.devices["/dev/video0"].bBusy = false;
    EXPECT_TRUE(PumpUntil([&] { return !view->m_capture.IsWaitingForDevice(); }, 30000));
    EXPECT_EQ(view->StatusText(), "");
    EXPECT_EQ(camera.nOpen, 1);
}
