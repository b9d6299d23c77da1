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
    static void Store(const char* pszName, DWORD n)
    {
        CRegistryKey key;
        ASSERT_EQ(key.Create(CRegistryHive::UserStore("vistrel"), "Software\\Quenlor\\Vistrel"),
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
