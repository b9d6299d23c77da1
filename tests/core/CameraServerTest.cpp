// The camera server without a window: started with a store, a working folder and a reporter
// that collects what it says, driven through its operations as the window drives it.

#include "core/CameraServer.h"

#include "JpegDecode.h"
#include "platform/capture/TestPatternDriver.h"
#include "platform/registry/RegistryKey.h"
#include "settings/DeviceMemory.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/CapturedStderr.h"
#include "tests/support/NetClient.h"
#include "tests/support/PlayedCamera.h"
#include "tests/support/RefusingDriver.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <QCoreApplication>
#include <QGuiApplication>
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

class CCollectingReporter : public CReporter
{
public:
    std::vector<std::string>& boxes;
    std::vector<std::string> lines;
    explicit CCollectingReporter(std::vector<std::string>& b) : boxes(b) {}
    void Message(const std::string& strText, const std::string&, unsigned) override
    {
        boxes.push_back(strText);
    }
    void Line(const std::string& strText) override { lines.push_back(strText); }
};

class CameraServer : public ::testing::Test
{
protected:
    CTempDir m_dir;
    CScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.Path().string()};
    CDriverList m_drivers = Drivers();
    std::vector<std::string> m_boxes;
    CCollectingReporter m_reporter{m_boxes};

    void Store(const char* pszName, DWORD nValue)
    {
        CRegistryKey key;
        key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey);
        key.SetDword(nValue, pszName);
    }
    std::unique_ptr<CCameraServer> Start()
    {
        CRunContext context;
        context.strStore = CRegistryHive::DefaultPath();
        context.strWorkingFolder = m_dir.Path().string();
        context.pReporter = &m_reporter;
        auto core = std::make_unique<CCameraServer>(m_drivers, context);
        core->Start();
        return core;
    }
    static std::vector<std::uint8_t> Fetch(const char* pszHost, unsigned nPort)
    {
        return FetchWhilePumping(pszHost, nPort);
    }
    // The size of the frames the connected device gives (160x120 with none, as the capture
    // window's own).
    static QSize FrameSize(CCameraServer& core)
    {
        const CCaptureDriver* p = core.Capture().Driver();
        return p != nullptr ? QSize(p->Width(), p->Height()) : QSize(160, 120);
    }
    // Video > Format's OK with the size at this place of its list.
    static void ChooseFormat(CCameraServer& core, std::size_t nIndex)
    {
        CCaptureDriver* p = core.Capture().Driver();
        ASSERT_NE(p, nullptr);
        const auto formats = p->Formats();
        ASSERT_LT(nIndex, formats.size());
        std::string error;
        ASSERT_TRUE(p->SetFormat(formats[nIndex], error)) << error;
        core.KeepDeviceChoices();
    }
    static void SetImageType(CCameraServer& core, int nType)
    {
        const CSettings& s = core.Settings();
        core.ApplyServerSettings(unsigned(s.ServerPort), s.HttpHeaders, s.ServerEnabled, nType);
    }
};

std::vector<std::uint8_t> Body(const std::vector<std::uint8_t>& r)
{
    const std::string s(r.begin(), r.end());
    const auto n = s.find("\r\n\r\n");
    return n == std::string::npos ? r : std::vector<std::uint8_t>(r.begin() + long(n) + 4, r.end());
}
} // namespace

TEST_F(CameraServer, StartsWithTheDefaultsAndNoServer)
{
    auto core = Start();
    EXPECT_EQ(core->Title(), "No Driver Selected");
    EXPECT_EQ(core->Settings().CaptureDevice, -1);
    EXPECT_FALSE(core->Server().IsListening());
    EXPECT_FALSE(core->Overlay());
    EXPECT_EQ(FrameSize(*core), QSize(160, 120));
    EXPECT_TRUE(m_boxes.empty());
    // Without a window there is none: not one widget, not one window.
    EXPECT_TRUE(QGuiApplication::allWindows().isEmpty());
}

TEST_F(CameraServer, ReconnectsTheSavedDriverAndServesItsFrames)
{
    Store("CaptureDevice", 1);
    Store("ServerEnabled", 1);
    Store("ServerPort", 0); // refused: never truncated to some other port
    auto refused = Start();
    ASSERT_EQ(m_boxes, std::vector<std::string>{"Aieeee! Can't open server on configured port\n"});
    EXPECT_FALSE(refused->Server().IsListening());
    EXPECT_EQ(refused->Status(),
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
    auto core = Start();
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_EQ(core->Settings().CaptureDevice, 1);
    EXPECT_EQ(core->Title(), "Test Pattern");
    EXPECT_EQ(FrameSize(*core), QSize(640, 480));
    ASSERT_EQ(core->Server().Port(), nPort);

    // Served (what is served, over both protocols, is the end-to-end tests' part).
    const auto a = Fetch("127.0.0.1", nPort);
    ASSERT_GT(a.size(), 17u);
    EXPECT_EQ(std::string(a.begin(), a.begin() + 17), "HTTP/1.0 200 OK\r\n");

    // Starting again replaces the socket on the same port.
    core->SetServerEnabled(true);
    core->SetServerEnabled(true);
    EXPECT_EQ(core->Server().Port(), nPort);
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_FALSE(Fetch("127.0.0.1", nPort).empty());

    // Held by another socket: the message, and no server.
    auto other = Start();
    EXPECT_EQ(m_boxes, std::vector<std::string>{"Aieeee! Can't open server on configured port\n"});
    EXPECT_FALSE(other->Server().IsListening());
    EXPECT_EQ(other->Status(), "Can't open the server on port " + std::to_string(nPort) +
                                   ": Address already in use");
}

TEST_F(CameraServer, ADriverThatRefusesLeavesNoDriverSelected)
{
    Store("CaptureDevice", 0);
    auto core = Start();
    EXPECT_EQ(m_boxes, std::vector<std::string>{"DOH! Can't open this driver"});
    EXPECT_EQ(core->Settings().CaptureDevice, -1);
    EXPECT_EQ(core->Title(), "No driver selected");
    EXPECT_NE(core->Status().find("busy"), std::string::npos);

    core->SelectDriver(1);
    EXPECT_EQ(core->Settings().CaptureDevice, 1);
    core->SelectDriver(1); // the connected one again: disconnects
    EXPECT_EQ(core->Settings().CaptureDevice, -1);
    EXPECT_EQ(core->Title(), "No driver selected");
}

TEST_F(CameraServer, AnOverlayThatCannotBeOpenedIsReportedAndStartUpGoesOn)
{
    Store("UseOverlay", 1);
    Store("CaptureDevice", 1);
    auto core = Start();
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_NE(m_boxes[0].find("overlay.bmp"), std::string::npos);
    EXPECT_NE(m_boxes[0].find("No such file"), std::string::npos);
    ASSERT_TRUE(core->Overlay());
    EXPECT_TRUE(core->Overlay()->IsEmpty());
    EXPECT_EQ(core->Settings().CaptureDevice, 1); // the driver was still reconnected

    m_boxes.clear();
    WriteBytes(m_dir.File("overlay.bmp"), MakeBmp(CTestPicture::Pattern(4, 4)));
    auto loaded = Start();
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_EQ(loaded->Overlay()->Width(), 4u);
}

TEST_F(CameraServer, PicturesBuiltElsewhereArriveOnThisThreadAndNeverOutliveTheCameraServer)
{
    Store("CaptureDevice", 1);
    auto core = Start();
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
        core->Service().BuildSnapshotLater(collect);
    EXPECT_TRUE(got.empty()) << "pictures are delivered from the event loop";
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

    // A BMP is built away from this thread too, and comes back the same way.
    got.clear();
    SetImageType(*core, 1);
    core->Service().BuildSnapshotLater(collect);
    EXPECT_TRUE(got.empty());
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 1; }, 30000));
    EXPECT_TRUE(got[0].bOnThisThread);
    EXPECT_EQ(got[0].nLength, int(got[0].bytes.size()));

    // Gone with images still being encoded: none is delivered to it afterwards.
    got.clear();
    for (int i = 0; i < 3; ++i)
        core->Service().BuildSnapshotLater(collect);
    core.reset();
    // Its encoding threads were stopped with it and its results let go: whatever is still
    // queued on the event loop finds nothing to deliver.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(got.empty());
}

TEST_F(CameraServer, ACameraIsKnownByItsIdentityAndKeepsItsFormatAcrossRestarts)
{
    CPlayedCamera camera;
    camera.devices["/dev/video0"] = {"Cam A"};
    camera.devices["/dev/video0"].strById = "usb-Cam_A_1-video-index0";
    camera.devices["/dev/video1"] = {"Cam B"};
    m_drivers = CDriverList::Discover(camera.Api());
    auto core = Start();
    core->SelectDriver(0);
    ASSERT_EQ(core->Settings().CaptureDevice, 0);
    EXPECT_EQ(core->Settings().CaptureDeviceId, "usb-Cam_A_1-video-index0");

    // Video > Format, 320x240, OK: kept for this camera at once, without File > Save.
    ChooseFormat(*core, 1);
    EXPECT_EQ(FrameSize(*core), QSize(320, 240));
    // Video > Source, OK: kept too.
    const std::string strId = core->Settings().CaptureDeviceId;
    const CCaptureState before = CDeviceMemory::Load(CRegistryHive::DefaultPath(), strId);
    std::string error;
    ASSERT_TRUE(core->Capture().Driver()->SetControl(V4L2_CID_BRIGHTNESS, 77, error));
    core->KeepDeviceChoices();
    EXPECT_EQ(
        CDeviceMemory::Load(CRegistryHive::DefaultPath(), strId).controls.at(V4L2_CID_BRIGHTNESS),
        77);
    core->SaveSettings();
    core.reset();

    // The camera forgets its size over a restart; Vistrel puts it back.
    camera.nWidth = 640;
    camera.nHeight = 480;
    core = Start();
    EXPECT_EQ(core->Settings().CaptureDevice, 0);
    EXPECT_EQ(FrameSize(*core), QSize(320, 240));
    core.reset();

    // The index set in the store afterwards (vistrel-reg, an older .reg file) is the newer
    // word: it is used, not the remembered identity.
    Store("CaptureDevice", 1);
    core = Start();
    EXPECT_EQ(core->Settings().CaptureDevice, 1);
    EXPECT_EQ(core->Title(), "Cam B");
    core->SelectDriver(0); // back to Cam A, saved with its index
    core->SaveSettings();
    core.reset();

    // Cam A is gone and Cam B has its index now: nothing is connected in its place.
    camera.Unplug("/dev/video0");
    m_drivers = CDriverList::Discover(camera.Api());
    ASSERT_EQ(m_drivers.Count(), 2);
    m_boxes.clear();
    core = Start();
    EXPECT_EQ(m_boxes, std::vector<std::string>{"DOH! Can't open this driver"});
    EXPECT_EQ(core->Settings().CaptureDevice, -1);
    EXPECT_EQ(core->Status(),
              "The capture device usb-Cam_A_1-video-index0 kept in the settings is not connected");
    EXPECT_EQ(camera.nOpen, 0);
    core.reset();

    // A store from before identities were kept still goes by index.
    CRegistryKey key;
    key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey);
    RegDeleteValueA(key.m_hKey, CSettings::kDeviceIdValue);
    key.Close();
    core = Start();
    EXPECT_EQ(core->Settings().CaptureDevice, 0);
    EXPECT_EQ(core->Title(), "Cam B");

    // The test pattern keeps its size the same way.
    core->SelectDriver(1);
    ASSERT_EQ(core->Title(), "Test Pattern");
    ChooseFormat(*core, 0);
    const QSize chosen = FrameSize(*core);
    EXPECT_NE(chosen, QSize(640, 480));
    core.reset();
    m_drivers = CDriverList::Discover(camera.Api()); // a new run's drivers, at their defaults
    core = Start();
    core->SelectDriver(1);
    EXPECT_EQ(FrameSize(*core), chosen);
}

TEST_F(CameraServer, ACameraFrameIsWaitedForOnTheEventLoopConvertedOnceAndSharedByThoseWaiting)
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
        auto core = Start();
        ASSERT_EQ(core->Settings().CaptureDevice, 0);
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
                [&] { return bAnswered && core->Server().LiveConnections() == int(got.size()); },
                30000));
            for (const auto& bDone : answered)
                EXPECT_FALSE(bDone) << "served before the camera had a new frame";

            // Frames come: all three get the same one, converted once. It is one that came
            // after they asked; which one depends on how busy the machine is.
            const int nAsked = int(camera.nFrame & 0xFFFF);
            for (int i = 0; i < 200 && pCam->Conversions() == nConverted; ++i)
            {
                camera.Advance(camera.nPeriodNs);
                PumpUntil([&] { return pCam->Conversions() != nConverted; }, 20);
            }
            PumpUntil([&] { return core->Server().LiveConnections() == 0; }, 30000);
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
                const int nServed = CPlayedCamera::FrameNumberOf(topDown.data(), 640, 480, 1920);
                EXPECT_GT(nServed, nAsked);
                EXPECT_LE(nServed, int(camera.nFrame & 0xFFFF));
            }
        }

        // Unplugged: let go of at once, and the next request gets the user's stand-by
        // picture.
        camera.Unplug("/dev/video0");
        const auto standby = Body(Fetch("127.0.0.1", nPort));
        EXPECT_EQ(camera.nOpen, 0);
        EXPECT_TRUE(core->Capture().IsWaitingForDevice());
        ASSERT_GT(standby.size(), 54u);
        EXPECT_EQ(ReadLE32(&standby[18]), 33u) << "capoff.bmp";
        EXPECT_NE(core->Status().find("/dev/video0"), std::string::npos) << core->Status();
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
    auto core = Start();
    EXPECT_EQ(m_boxes, std::vector<std::string>{"DOH! Can't open this driver"});
    EXPECT_EQ(core->Settings().CaptureDevice, 0);
    EXPECT_NE(core->Status().find("in use by another program"), std::string::npos)
        << core->Status();
    EXPECT_NE(core->Status().find("trying again every second"), std::string::npos);
    camera.devices["/dev/video0"].bBusy = false;
    EXPECT_TRUE(PumpUntil([&] { return !core->Capture().IsWaitingForDevice(); }, 30000));
    EXPECT_EQ(core->Status(), "");
    EXPECT_EQ(camera.nOpen, 1);
}
