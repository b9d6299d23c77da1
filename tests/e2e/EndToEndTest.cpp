// The real program, started headless in a temporary working directory with its own store,
// fetched from over real sockets and with curl, and stopped with SIGTERM.

#include "JpegDecode.h"
#include "platform/capture/DriverList.h"
#include "platform/net/AsyncSocket.h"
#include "platform/registry/RegistryHive.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/NetClient.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <QProcess>
#include <QThread>

#include <chrono>
#include <csignal>
#include <ctime>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{
class EndToEnd : public ::testing::Test
{
protected:
    CTempDir m_dir;
    CScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.File("config")};
    unsigned m_nPort = 0;
    QProcess m_program;

    void SetUp() override
    {
        m_nPort = FreePort();
        ASSERT_NE(m_nPort, 0u);
        // The test pattern comes after whatever cameras this machine has.
        const int nPattern = CDriverList::Discover(CV4l2Api::System()).Count() - 1;
        Store("ServerEnabled", 1);
        Store("ServerPort", m_nPort);
        Store("CaptureDevice", DWORD(nPattern));
    }
    void TearDown() override
    {
        if (m_program.state() != QProcess::NotRunning)
        {
            m_program.kill();
            m_program.waitForFinished(3000);
        }
    }
    static void Store(const char* pszName, DWORD n, const char* pszKey = "")
    {
        CRegistryKey key;
        ASSERT_EQ(key.Create(CRegistryHive::UserStore("vistrel"),
                             (std::string("Software\\Quenlor\\Vistrel") + pszKey).c_str()),
                  ERROR_SUCCESS);
        key.SetDword(n, pszName);
    }
    void Launch()
    {
        m_program.setWorkingDirectory(QString::fromStdString(m_dir.Path().string()));
        m_program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_program.start(QStringLiteral(VISTREL_BINARY),
                        {QStringLiteral("-platform"), QStringLiteral("offscreen")});
        ASSERT_TRUE(m_program.waitForStarted(5000));
        for (int i = 0; i < 100; ++i)
        {
            const int fd = ConnectTo("127.0.0.1", m_nPort);
            if (fd >= 0)
            {
                ReadAll(fd, 5000);
                ::close(fd);
                return;
            }
            QThread::msleep(50);
        }
        FAIL() << "the server did not come up";
    }
    std::vector<std::uint8_t> Fetch(const char* pszHost)
    {
        const int fd = ConnectTo(pszHost, m_nPort);
        EXPECT_GE(fd, 0);
        if (fd < 0)
            return {};
        SendAll(fd, "GET / HTTP/1.0\r\n\r\n", 18);
        auto r = ReadAll(fd, 8000);
        ::close(fd);
        EXPECT_TRUE(r.bEof);
        return r.bytes;
    }
    void StopWithSignal(int nSignal = SIGTERM)
    {
        ::kill(pid_t(m_program.processId()), nSignal);
        ASSERT_TRUE(m_program.waitForFinished(60000));
        EXPECT_EQ(m_program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(m_program.exitCode(), 0);
    }
};

std::vector<std::uint8_t> Body(const std::vector<std::uint8_t>& r)
{
    const std::string s(r.begin(), r.end());
    const auto n = s.find("\r\n\r\n");
    return n == std::string::npos ? r : std::vector<std::uint8_t>(r.begin() + long(n) + 4, r.end());
}
} // namespace

TEST_F(EndToEnd, ServesJpegFramesOfTheTestPatternOverIpv4Ipv6AndCurl)
{
    Launch();
    const auto a = Fetch("127.0.0.1");
    const auto b = Fetch("::1");
    const std::string head(a.begin(), a.begin() + std::min<std::size_t>(a.size(), 200));
    EXPECT_EQ(head.rfind("HTTP/1.0 200 OK\r\nServer: Vistrel-", 0), 0u) << head;
    EXPECT_NE(head.find("Content-type: image/jpeg\r\n\r\n"), std::string::npos);
    const auto da = DecodeJpegBytes(Body(a));
    const auto db = DecodeJpegBytes(Body(b));
    ASSERT_TRUE(da.bOk);
    ASSERT_TRUE(db.bOk);
    EXPECT_EQ(da.nWidth, 640);
    EXPECT_EQ(da.nHeight, 480);
    EXPECT_NE(da.rgb, db.rgb);

    QProcess curl;
    const QString out = QString::fromStdString(m_dir.File("curl.jpg"));
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-sS"), QStringLiteral("-o"), out, QStringLiteral("--max-time"),
                QStringLiteral("10"), QStringLiteral("http://127.0.0.1:%1/").arg(m_nPort)});
    ASSERT_TRUE(curl.waitForFinished(15000));
    EXPECT_EQ(curl.exitCode(), 0) << curl.readAllStandardError().toStdString();
    const auto dc = DecodeJpegFile(out.toStdString());
    EXPECT_TRUE(dc.bOk);
    EXPECT_EQ(dc.nWidth, 640);

    StopWithSignal(SIGTERM);
    EXPECT_LT(ConnectTo("127.0.0.1", m_nPort), 0) << "the port is closed after the program ends";
}

TEST_F(EndToEnd, ServesBareBmpBodiesOfTheConfiguredSize)
{
    Store("ImageType", 1);
    Store("HttpHeaders", 0);
    Store("UseCustomSize", 1);
    Store("ImageWidth", 161);
    Store("ImageHeight", 1); // half the frame
    Launch();
    const auto r = Fetch("127.0.0.1");
    ASSERT_GE(r.size(), 54u);
    EXPECT_EQ(r[0], 'B');
    EXPECT_EQ(r[1], 'M');
    EXPECT_EQ(ReadLE32(&r[18]), 161u);
    EXPECT_EQ(ReadLE32(&r[22]), 240u);
    EXPECT_EQ(ReadLE16(&r[28]), 24);
    EXPECT_EQ(r.size(), 54u + 484u * 240u);
    EXPECT_EQ(ReadLE32(&r[2]), r.size());
    StopWithSignal(SIGINT); // Ctrl+C ends it the same way
}

// What is served follows the clock, the overlay's key colour and the quality, as the store
// says them: a caption of the seconds, a key colour whose red and blue differ (the overlay's
// other colour is the key with the two swapped), and quality 40.
TEST_F(EndToEnd, ThePictureFollowsTheClockTheKeyColourAndTheQuality)
{
    const COLORREF key = RGB(200, 0, 50);
    const COLORREF ink = RGB(50, 0, 200);
    CTestPicture overlay = CTestPicture::Solid(640, 480, ink);
    for (int y = 240; y < 400; ++y)
        for (int x = 320; x < 600; ++x)
            overlay.pixels[std::size_t(y) * 640 + std::size_t(x)] = key; // the frame shows here
    WriteBytes(m_dir.File("overlay.bmp"), MakeBmp(overlay));
    Store("UseOverlay", 1);
    Store("OverlayTransColor", key);
    Store("JpegQuality", 40);
    {
        CRegistryKey caption;
        ASSERT_EQ(caption.Create(CRegistryHive::UserStore("vistrel"),
                                 "Software\\Quenlor\\Vistrel\\caption0"),
                  ERROR_SUCCESS);
        caption.SetString("%S", "Text");
    }
    Store("Enabled", 1, "\\caption0");
    Store("TextColor", RGB(255, 255, 255), "\\caption0");
    Store("BackType", 1, "\\caption0"); // drawn over the overlay's colour
    Launch();

    // A picture and the second it was taken in, for certain.
    auto fetchInOneSecond = [this](std::time_t& when)
    {
        for (;;)
        {
            const std::time_t before = std::time(nullptr);
            auto picture = DecodeJpegBytes(Body(Fetch("127.0.0.1")));
            if (std::time(nullptr) == before || !picture.bOk)
            {
                when = before;
                return picture;
            }
        }
    };
    auto captionCell = [](const CDecodedJpeg& d)
    {
        std::vector<std::uint8_t> cell;
        for (int y = 0; y < 32; ++y)
            cell.insert(cell.end(), d.rgb.begin() + y * 640 * 3,
                        d.rgb.begin() + y * 640 * 3 + 96 * 3);
        return cell;
    };
    auto near = [](std::uint32_t rgb, COLORREF c)
    {
        return std::abs(int(rgb >> 16) - GetRValue(c)) < 24 &&
               std::abs(int((rgb >> 8) & 0xFF) - GetGValue(c)) < 24 &&
               std::abs(int(rgb & 0xFF) - GetBValue(c)) < 24;
    };

    std::time_t first = 0;
    const auto a = fetchInOneSecond(first);
    ASSERT_TRUE(a.bOk);
    EXPECT_EQ(a.lumaQuant, LumaQuantForQuality(40)) << "the configured quality";

    // The key colour lets the frame through, and only it: the overlay's other colour is drawn.
    EXPECT_TRUE(near(a.PixelRgb(100, 300), ink));
    EXPECT_TRUE(near(a.PixelRgb(600, 100), ink));
    int nKeyLike = 0;
    for (int x = 330; x < 590; x += 4)
        nKeyLike += near(a.PixelRgb(x, 320), key) ? 1 : 0;
    EXPECT_LT(nKeyLike, 6) << "the key colour was drawn instead of the frame";

    // The caption is there, and it is the clock's: another second, another caption.
    const auto cellA = captionCell(a);
    int nBright = 0;
    for (std::size_t i = 0; i + 2 < cellA.size(); i += 3)
        nBright += cellA[i] > 160 && cellA[i + 1] > 160 && cellA[i + 2] > 160 ? 1 : 0;
    EXPECT_GT(nBright, 10) << "no caption drawn";
    while (std::time(nullptr) == first)
        QThread::msleep(20);
    std::time_t second = 0;
    const auto b = fetchInOneSecond(second);
    ASSERT_TRUE(b.bOk);
    EXPECT_NE(captionCell(b), cellA) << "the caption did not follow the clock";
    std::time_t third = 0;
    const auto c = fetchInOneSecond(third);
    if (third == second)
        EXPECT_EQ(captionCell(c), captionCell(b)) << "the caption changed within one second";
    StopWithSignal(SIGTERM);
}
