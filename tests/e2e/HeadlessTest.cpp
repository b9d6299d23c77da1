// Headless use as the README describes it: configured with vistrel-reg, run with
// "-platform offscreen", fetched from, ended with SIGTERM — and the store left as it was.

#include "JpegDecode.h"
#include "platform/capture/DriverList.h"
#include "platform/net/AsyncSocket.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/HeadlessProgram.h"
#include "tests/support/NetClient.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using Headless = HeadlessProgram;

TEST_F(Headless, ConfiguredByVistrelRegServesAndLeavesTheStoreUntouched)
{
    const unsigned nPort = FreePort();
    ASSERT_NE(nPort, 0u);
    const int nPattern = CDriverList::Discover(CV4l2Api::System()).Count() - 1;
    char port[16];
    char device[16];
    std::snprintf(port, sizeof port, "%08x", nPort);
    std::snprintf(device, sizeof device, "%08x", unsigned(nPattern));
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n"
                      "[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Vistrel]\r\n"
                      "\"ServerEnabled\"=dword:00000001\r\n"
                      "\"ServerPort\"=dword:" +
                      std::string(port) +
                      "\r\n"
                      "\"CaptureDevice\"=dword:" +
                      std::string(device) + "\r\n";
    for (int i = 0; i < 6; ++i)
        reg += "\r\n[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Vistrel\\caption" + std::to_string(i) +
               "]\r\n";
    reg += "\"Enabled\"=dword:00000001\r\n\"Text\"=\"%Y-%m-%d %H:%M:%S\"\r\n";
    WriteBytes(m_dir.File("setup.reg"), std::vector<BYTE>(reg.begin(), reg.end()));
    ASSERT_EQ(Reg({QStringLiteral("import"), QString::fromStdString(m_dir.File("setup.reg"))}), 0);

    const std::string before = ExportStore();
    const auto store = m_dir.File("config/vistrel/registry.db");
    const auto stamp = std::filesystem::last_write_time(store);
    const auto bytesBefore = ReadBytes(store);

    const auto jpeg = RunAndFetch(nPort);
    const std::string s(jpeg.begin(), jpeg.end());
    const auto n = s.find("\r\n\r\n");
    ASSERT_NE(n, std::string::npos);
    EXPECT_NE(s.find("Content-type: image/jpeg"), std::string::npos);
    const auto decoded =
        DecodeJpegBytes(std::vector<std::uint8_t>(jpeg.begin() + long(n) + 4, jpeg.end()));
    EXPECT_TRUE(decoded.bOk);
    EXPECT_EQ(decoded.nWidth, 640);

    EXPECT_EQ(ExportStore(), before);
    EXPECT_EQ(ReadBytes(store), bytesBefore) << "nothing is saved at exit";
    EXPECT_EQ(std::filesystem::last_write_time(store), stamp);

    ASSERT_EQ(Reg({QStringLiteral("set"), QStringLiteral("HKLM\\Software\\Quenlor\\Vistrel"),
                   QStringLiteral("ImageType"), QStringLiteral("REG_DWORD"), QStringLiteral("1")}),
              0);
    const auto bmp = RunAndFetch(nPort);
    const std::string b(bmp.begin(), bmp.end());
    const auto m = b.find("\r\n\r\nBM");
    ASSERT_NE(m, std::string::npos);
    EXPECT_EQ(bmp.size() - (m + 4), 54u + 640u * 3u * 480u);
}

TEST_F(Headless, WithoutADisplayTheCommandLineServesForThisRunOnly)
{
    const unsigned nPort = FreePort();
    ASSERT_NE(nPort, 0u);
    // A store with the server off and the keys a start creates.
    std::string reg = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Vistrel]\r\n"
                      "\"ServerEnabled\"=dword:00000000\r\n";
    for (int i = 0; i < 6; ++i)
        reg += "\r\n[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Vistrel\\caption" + std::to_string(i) +
               "]\r\n";
    WriteBytes(m_dir.File("setup.reg"), std::vector<BYTE>(reg.begin(), reg.end()));
    ASSERT_EQ(Reg({QStringLiteral("import"), QString::fromStdString(m_dir.File("setup.reg"))}), 0);
    const auto store = m_dir.File("config/vistrel/registry.db");
    const std::string before = ExportStore();
    const auto bytesBefore = ReadBytes(store);

    // No display, no platform chosen: the program runs headless by itself.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* pszName : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(pszName));
    const auto run = [&](const QStringList& args, QProcess& p)
    {
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(QString::fromStdString(m_dir.Path().string()));
        p.start(QStringLiteral(VISTREL_BINARY), args);
        EXPECT_TRUE(p.waitForStarted(5000));
    };
    QProcess version;
    run({QStringLiteral("--version")}, version);
    ASSERT_TRUE(version.waitForFinished(10000));
    EXPECT_EQ(version.exitCode(), 0);
    EXPECT_TRUE(version.readAllStandardOutput().startsWith("Vistrel 0."));
    QProcess wrong;
    run({QStringLiteral("--device"), QStringLiteral("No Such Camera")}, wrong);
    ASSERT_TRUE(wrong.waitForFinished(10000));
    EXPECT_EQ(wrong.exitCode(), 1);
    EXPECT_TRUE(wrong.readAllStandardError().contains("Test Pattern")) << "the list is shown";

    QProcess program;
    run({QStringLiteral("--server"), QStringLiteral("on"), QStringLiteral("--port"),
         QString::number(nPort), QStringLiteral("--device"), QStringLiteral("test pattern"),
         QStringLiteral("--format"), QStringLiteral("bmp"), QStringLiteral("--headers"),
         QStringLiteral("off")},
        program);
    const std::vector<std::uint8_t> bytes = FetchOnceListening(nPort);
    ::kill(pid_t(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(5000));
    EXPECT_EQ(program.exitCode(), 0);
    ASSERT_GT(bytes.size(), 2u);
    EXPECT_EQ(bytes[0], 'B') << "a bare BMP, no header";
    EXPECT_EQ(bytes.size(), 54u + 640u * 3u * 480u);
    const QString err = QString::fromUtf8(program.readAllStandardError());
    EXPECT_TRUE(err.contains("no display found, running headless")) << err.toStdString();
    EXPECT_TRUE(err.contains(
        QStringLiteral("settings are read from %1").arg(QString::fromStdString(store))))
        << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("serving images at http://127.0.0.1:%1/ and "
                                            "http://[::1]:%1/")
                                 .arg(nPort)))
        << err.toStdString();
    EXPECT_EQ(ExportStore(), before) << "the options are not saved";
    EXPECT_EQ(ReadBytes(store), bytesBefore);

    // Standard error read by nobody: the program's lines meet a closed pipe and it serves on.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ::close(pipeFds[0]);
    QProcess deaf;
    deaf.setChildProcessModifier(
        [nWrite = pipeFds[1]]
        {
            ::signal(SIGPIPE, SIG_DFL); // as a shell would start it
            ::dup2(nWrite, 2);
        });
    run({QStringLiteral("--server"), QStringLiteral("on"), QStringLiteral("--port"),
         QString::number(nPort)},
        deaf);
    ::close(pipeFds[1]);
    EXPECT_FALSE(FetchOnceListening(nPort).empty());
    EXPECT_EQ(deaf.state(), QProcess::Running) << "SIGPIPE ended the program";
    ::kill(pid_t(deaf.processId()), SIGTERM);
    ASSERT_TRUE(deaf.waitForFinished(5000));
    EXPECT_EQ(deaf.exitStatus(), QProcess::NormalExit);

    // With the server off, one line says so and how to switch it on.
    QProcess off;
    run({}, off);
    QByteArray offErr;
    for (int i = 0; i < 100 && !offErr.contains("--server on"); ++i)
    {
        off.waitForReadyRead(100);
        offErr += off.readAllStandardError();
    }
    ::kill(pid_t(off.processId()), SIGTERM);
    off.waitForFinished(5000);
    EXPECT_TRUE(offErr.contains("the web server is off; start Vistrel with --server on"))
        << offErr.toStdString();
}

TEST_F(Headless, ItsOwnStoreAndFolderWhoMayConnectAndAServerThatCannotOpenEndsTheRun)
{
    // A store and a working folder of its own, as a system service has them.
    const std::string store = m_dir.File("instance/registry.db");
    const std::string work = m_dir.File("instance");
    ASSERT_TRUE(std::filesystem::create_directory(work));
    const QStringList own = {QStringLiteral("--settings"), QString::fromStdString(store),
                             QStringLiteral("--working-folder"), QString::fromStdString(work)};
    ASSERT_EQ(
        Reg(QStringList{QStringLiteral("--settings"), QString::fromStdString(store),
                        QStringLiteral("set"), QStringLiteral("HKLM\\Software\\Quenlor\\Vistrel"),
                        QStringLiteral("ServerAllow"), QStringLiteral("REG_SZ"),
                        QStringLiteral("127.0.0.1")}),
        0);
    const unsigned nPort = FreePort();
    QProcess program;
    program.start(QStringLiteral(VISTREL_BINARY),
                  own + QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"),
                                    QStringLiteral("--server"), QStringLiteral("on"),
                                    QStringLiteral("--port"), QString::number(nPort),
                                    QStringLiteral("--device"), QStringLiteral("none"),
                                    QStringLiteral("--log-requests")});
    ASSERT_TRUE(program.waitForStarted(5000));
    const auto allowed = FetchOnceListening(nPort);
    const int fd = ConnectTo("127.0.0.2", nPort, 0, "127.0.0.2");
    const auto refused = ReadAll(fd, 8000).bytes;
    ::close(fd);

    // Another on the same port cannot serve: without a window it ends, status 1, and why.
    QProcess second;
    second.start(QStringLiteral(VISTREL_BINARY),
                 own + QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"),
                                   QStringLiteral("--server"), QStringLiteral("on"),
                                   QStringLiteral("--port"), QString::number(nPort)});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 1);
    const std::string secondErr = second.readAllStandardError().toStdString();
    EXPECT_NE(secondErr.find("Address already in use"), std::string::npos) << secondErr;

    ::kill(pid_t(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(5000));
    EXPECT_EQ(program.exitCode(), 0);
    const std::string err = program.readAllStandardError().toStdString();
    EXPECT_EQ(std::string(allowed.begin(), allowed.begin() + 12), "HTTP/1.0 200");
    EXPECT_EQ(std::string(refused.begin(), refused.end()), "HTTP/1.0 403 Forbidden\r\n\r\n");
    EXPECT_NE(err.find("settings are read from " + store), std::string::npos) << err;
    EXPECT_NE(err.find("no camera is chosen, so clients get the stand-by picture: choose one with "
                       "--device 0"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(" 127.0.0.1:"), std::string::npos) << "each connection is logged\n" << err;
    EXPECT_NE(err.find(" 127.0.0.2:"), std::string::npos) << err;
    EXPECT_NE(err.find(" 403 26 bytes "), std::string::npos) << err;
    EXPECT_TRUE(std::filesystem::exists(work + "/frame.jpg")) << "the working folder given";
}
