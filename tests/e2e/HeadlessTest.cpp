// Headless use as the README describes it: configured with vistrel-reg, run with
// "-platform offscreen", fetched from, ended with SIGTERM — and the store left as it was.

#include "JpegDecode.h"
#include "platform/capture/DriverList.h"
#include "platform/net/AsyncSocket.h"
#include "tests/support/BmpBuilder.h"
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
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
class Headless : public ::testing::Test
{
protected:
    CTempDir m_dir;
    CScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.File("config")};

    int Reg(const QStringList& args)
    {
        QProcess p;
        p.start(QStringLiteral(VISTREL_REG_BINARY), args);
        p.waitForFinished(10000);
        return p.exitCode();
    }
    std::string ExportStore()
    {
        const QString file = QString::fromStdString(m_dir.File("export.reg"));
        EXPECT_EQ(Reg({QStringLiteral("export"), QStringLiteral("HKLM\\Software"), file}), 0);
        const auto b = ReadBytes(file.toStdString());
        return std::string(b.begin(), b.end());
    }
    // One response, once the program listens (it is given five seconds to start).
    static std::vector<std::uint8_t> FetchOnceListening(unsigned nPort)
    {
        for (int i = 0; i < 100; ++i)
        {
            const int fd = ConnectTo("127.0.0.1", nPort);
            if (fd >= 0)
            {
                auto bytes = ReadAll(fd, 8000).bytes;
                ::close(fd);
                return bytes;
            }
            QThread::msleep(50);
        }
        return {};
    }
    std::vector<std::uint8_t> RunAndFetch(unsigned nPort)
    {
        QProcess program;
        program.setWorkingDirectory(QString::fromStdString(m_dir.Path().string()));
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QStringLiteral(VISTREL_BINARY),
                      {QStringLiteral("-platform"), QStringLiteral("offscreen")});
        EXPECT_TRUE(program.waitForStarted(5000));
        const std::vector<std::uint8_t> bytes = FetchOnceListening(nPort);
        ::kill(pid_t(program.processId()), SIGTERM);
        EXPECT_TRUE(program.waitForFinished(2000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
        return bytes;
    }
};
} // namespace

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

TEST_F(Headless, TheSignalsThatEndItNeverLeaveALargeResponseLookingWholeAndTheOthersAreIgnored)
{
    WriteBytes(m_dir.File("capoff.bmp"),
               MakeBmp(CTestPicture::Solid(1920, 1080, RGB(200, 40, 90))));
    const std::size_t nWhole = 54 + std::size_t(1920) * 3 * 1080;

    // A terminal closing (SIGHUP) and a quit key (SIGQUIT) end it as SIGTERM does.
    for (const int nSignal : {SIGTERM, SIGHUP, SIGQUIT})
    {
        SCOPED_TRACE(sigabbrev_np(nSignal));
        const unsigned nPort = FreePort();
        ASSERT_NE(nPort, 0u);
        QProcess program;
        program.setWorkingDirectory(QString::fromStdString(m_dir.Path().string()));
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QStringLiteral(VISTREL_BINARY),
                      {QStringLiteral("-platform"), QStringLiteral("offscreen"),
                       QStringLiteral("--server"), QStringLiteral("on"), QStringLiteral("--port"),
                       QString::number(nPort), QStringLiteral("--device"), QStringLiteral("none"),
                       QStringLiteral("--format"), QStringLiteral("bmp"),
                       QStringLiteral("--headers"), QStringLiteral("off")});
        ASSERT_TRUE(program.waitForStarted(5000));
        ASSERT_FALSE(FetchOnceListening(nPort).empty());
        // The user signals are not for it: it serves on.
        ::kill(pid_t(program.processId()), SIGUSR1);
        ::kill(pid_t(program.processId()), SIGUSR2);
        const int fdAfter = ConnectTo("127.0.0.1", nPort);
        ASSERT_GE(fdAfter, 0);
        EXPECT_EQ(ReadAll(fdAfter, 8000).bytes.size(), nWhole);
        ::close(fdAfter);

        // One client reads on as the program ends: its response is finished within the grace.
        // Another has its first bytes and then reads nothing: its response is reset.
        const int fdReading = ConnectTo("127.0.0.1", nPort, 4096);
        const int fd = ConnectTo("127.0.0.1", nPort, 4096);
        ASSERT_GE(fdReading, 0);
        ASSERT_GE(fd, 0);
        char first[1024];
        const ssize_t nFirstReading = ::recv(fdReading, first, sizeof first, 0);
        const ssize_t nFirst = ::recv(fd, first, sizeof first, 0);
        ASSERT_GT(nFirstReading, 0);
        ASSERT_GT(nFirst, 0);
        ::kill(pid_t(program.processId()), nSignal);
        const CReadResult whole = ReadAll(fdReading, 8000);
        ::close(fdReading);
        EXPECT_TRUE(whole.bEof);
        EXPECT_EQ(whole.bytes.size() + std::size_t(nFirstReading), nWhole)
            << "the response in flight is finished";
        ASSERT_TRUE(program.waitForFinished(5000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
        const CReadResult rest = ReadAll(fd, 8000);
        ::close(fd);
        const std::size_t nGot = std::size_t(nFirst) + rest.bytes.size();
        EXPECT_TRUE(rest.bReset || nGot >= nWhole)
            << "a clean end after " << nGot << " of " << nWhole << " bytes";
    }
}

TEST_F(Headless, AStoreHeldByAnotherProgramIsWaitedForAsLongAsAskedOrUntilASignal)
{
    // Another program keeps the whole store to itself.
    const std::string store = m_dir.File("config") + "/vistrel/registry.db";
    ASSERT_EQ(
        Reg({QStringLiteral("set"), QStringLiteral("HKLM\\Software\\Quenlor\\Vistrel"),
             QStringLiteral("ServerPort"), QStringLiteral("REG_DWORD"), QStringLiteral("8123")}),
        0);
    sqlite3* pOther = nullptr;
    ASSERT_EQ(sqlite3_open(store.c_str(), &pOther), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(pOther,
                           "SELECT 1 FROM sqlite_master; PRAGMA locking_mode=EXCLUSIVE; "
                           "BEGIN EXCLUSIVE",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);

    auto start = [this](const char* pszWait)
    {
        auto p = std::make_unique<QProcess>();
        p->setWorkingDirectory(QString::fromStdString(m_dir.Path().string()));
        p->setReadChannel(QProcess::StandardError);
        p->start(QStringLiteral(VISTREL_BINARY),
                 {QStringLiteral("-platform"), QStringLiteral("offscreen"),
                  QStringLiteral("--store-wait"), QString::fromLatin1(pszWait)});
        EXPECT_TRUE(p->waitForStarted(5000));
        return p;
    };
    auto readUntil = [](QProcess& p, const char* pszText)
    {
        QString err;
        while (!err.contains(QLatin1String(pszText)) && p.waitForReadyRead(30000))
            err += QString::fromUtf8(p.readAllStandardError());
        return err + QString::fromUtf8(p.readAllStandardError());
    };

    // The wait asked for, not a moment less, and said as it begins and as it ends.
    const auto t0 = std::chrono::steady_clock::now();
    auto waited = start("2");
    const QString said = readUntil(*waited, "waiting for it");
    EXPECT_TRUE(said.contains(QLatin1String("is locked by another program; waiting for it")))
        << said.toStdString();
    waited->waitForFinished(30000);
    ASSERT_EQ(waited->state(), QProcess::NotRunning);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(waited->exitCode(), 1);
    const QString gaveUp = said + QString::fromUtf8(waited->readAllStandardError());
    EXPECT_TRUE(gaveUp.contains(QLatin1String("gave up waiting for it after 2 seconds")))
        << gaveUp.toStdString();

    // A signal during a long wait ends it at once, as asked, and says so.
    auto stopped = start("3600");
    readUntil(*stopped, "waiting for it");
    ::kill(pid_t(stopped->processId()), SIGHUP);
    stopped->waitForFinished(30000);
    ASSERT_EQ(stopped->state(), QProcess::NotRunning) << "the wait went on after the signal";
    EXPECT_EQ(stopped->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(stopped->exitCode(), 0);
    const QString err = QString::fromUtf8(stopped->readAllStandardError());
    EXPECT_TRUE(
        err.contains(QLatin1String("stopped by SIGHUP while waiting for the settings store")))
        << err.toStdString();
    sqlite3_exec(pOther, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(pOther);
}

TEST_F(Headless, AProblemAndItsEndAreSaidAndAFifoNeverKeepsSigtermWaiting)
{
    const unsigned nPort = FreePort();
    ASSERT_NE(nPort, 0u);
    const std::string work = m_dir.File("work");
    ASSERT_TRUE(std::filesystem::create_directory(work));
    const std::string fifo = work + "/frame.jpg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);

    QProcess program;
    program.setWorkingDirectory(QString::fromStdString(work));
    program.start(QStringLiteral(VISTREL_BINARY),
                  {QStringLiteral("-platform"), QStringLiteral("offscreen"),
                   QStringLiteral("--server"), QStringLiteral("on"), QStringLiteral("--port"),
                   QString::number(nPort), QStringLiteral("--device"), QStringLiteral("0")});
    ASSERT_TRUE(program.waitForStarted(5000));
    const auto status = [](const std::vector<std::uint8_t>& b)
    {
        return std::string(b.begin(), b.begin() + std::min<std::size_t>(b.size(), 12));
    };
    EXPECT_EQ(status(FetchOnceListening(nPort)), "HTTP/1.0 503");
    std::filesystem::remove(fifo);
    EXPECT_EQ(status(FetchOnceListening(nPort)), "HTTP/1.0 200");
    std::filesystem::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(status(FetchOnceListening(nPort)), "HTTP/1.0 503");
    // The working folder deleted, then made again at its path: it is used again at once.
    std::filesystem::remove_all(work);
    EXPECT_EQ(status(FetchOnceListening(nPort)), "HTTP/1.0 503");
    ASSERT_TRUE(std::filesystem::create_directory(work));
    EXPECT_EQ(status(FetchOnceListening(nPort)), "HTTP/1.0 200");
    EXPECT_TRUE(std::filesystem::exists(work + "/frame.jpg"));

    // A FIFO in the folder holds no thread: SIGTERM ends the program as usual.
    ::kill(pid_t(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(5000));
    EXPECT_EQ(program.exitCode(), 0);
    const std::string err = program.readAllStandardError().toStdString();
    const std::size_t nProblem = err.find("frame.jpg");
    const std::size_t nGone = err.find("the problem above is gone; images are served again");
    EXPECT_NE(nProblem, std::string::npos) << err;
    EXPECT_NE(nGone, std::string::npos) << err;
    EXPECT_LT(nProblem, nGone) << err;
    EXPECT_NE(err.find("frame.jpg", nGone), std::string::npos) << "and the problem again\n" << err;
    const std::size_t nMissing = err.find("capframe.bmp", nGone);
    EXPECT_NE(nMissing, std::string::npos) << "the folder's absence is said\n" << err;
    EXPECT_NE(err.find("the problem above is gone", nMissing), std::string::npos) << err;
}

TEST_F(Headless, StoredValuesAndStartsThatCannotBeUsedAreSaidAndNothingElseTakesTheirPlace)
{
    const std::string work = m_dir.File("work");
    ASSERT_TRUE(std::filesystem::create_directory(work));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("XDG_RUNTIME_DIR")); // Qt's note on it is not for our users
    // One run: what it says on standard error, and the status of the response it served.
    const auto run = [&](QStringList args, std::string* pStatus)
    {
        const unsigned nPort = FreePort();
        QProcess program;
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(QString::fromStdString(work));
        if (pStatus != nullptr)
            args << QStringLiteral("-platform") << QStringLiteral("offscreen")
                 << QStringLiteral("--server") << QStringLiteral("on") << QStringLiteral("--port")
                 << QString::number(nPort);
        program.start(QStringLiteral(VISTREL_BINARY), args);
        EXPECT_TRUE(program.waitForStarted(5000));
        if (pStatus != nullptr)
        {
            const auto bytes = FetchOnceListening(nPort);
            *pStatus =
                std::string(bytes.begin(), bytes.begin() + std::min<long>(12, long(bytes.size())));
            ::kill(pid_t(program.processId()), SIGTERM);
        }
        EXPECT_TRUE(program.waitForFinished(10000));
        EXPECT_EQ(program.exitCode(), pStatus != nullptr ? 0 : 1);
        const std::string err = program.readAllStandardError().toStdString();
        EXPECT_EQ(err.find("QStandardPaths"), std::string::npos) << err;
        return err;
    };
    const QString key = QStringLiteral("HKLM\\Software\\Quenlor\\Vistrel");
    // --force: the store is being spoiled on purpose.
    const auto set = [&](const QString& strKey, const char* pszName, const char* pszType,
                         const std::string& strValue)
    {
        ASSERT_EQ(Reg({QStringLiteral("--force"), QStringLiteral("set"), strKey,
                       QString::fromLatin1(pszName), QString::fromLatin1(pszType),
                       QString::fromStdString(strValue)}),
                  0);
    };

    // A platform that is not there: one line naming those that are, status 1.
    const std::string noPlatform =
        run({QStringLiteral("-platform"), QStringLiteral("nosuch")}, nullptr);
    EXPECT_NE(noPlatform.find("no platform \"nosuch\""), std::string::npos) << noPlatform;
    EXPECT_NE(noPlatform.find("offscreen"), std::string::npos) << noPlatform;
    EXPECT_EQ(std::count(noPlatform.begin(), noPlatform.end(), '\n'), 1) << noPlatform;

    // An index that names no device, and an overlay that is no bitmap: each is said, and the
    // stand-by picture served meanwhile does not make the missing device's problem "gone".
    set(key, "CaptureDevice", "REG_DWORD", "0xfffffffe");
    set(key, "UseOverlay", "REG_DWORD", "1");
    WriteBytes(work + "/overlay.bmp", {'B', 'M', 0x40, 0, 0, 0, 0, 0});
    std::string status;
    std::string err = run({}, &status);
    EXPECT_EQ(status, "HTTP/1.0 200");
    EXPECT_NE(err.find("The capture device -2 kept in the settings is not there"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("overlay.bmp cannot be read"), std::string::npos) << err;
    EXPECT_EQ(err.find("the problem above is gone"), std::string::npos) << err;

    // Values longer than their limits are said, never read as absent: a device identity too
    // long to read is no reason to take the device at the stored index in its place.
    const int nPattern = CDriverList::Discover(CV4l2Api::System()).Count() - 1;
    set(key, "UseOverlay", "REG_DWORD", "0");
    set(key, "CaptureDevice", "REG_DWORD", std::to_string(nPattern));
    set(key, "CaptureDeviceId", "REG_SZ", std::string(5000, 'x'));
    err = run({}, &status);
    EXPECT_NE(err.find("DOH!"), std::string::npos) << err;
    EXPECT_NE(err.find("CaptureDeviceId) is 5000 characters long, more than the 4095"),
              std::string::npos)
        << err;
    ASSERT_EQ(Reg({QStringLiteral("delete"), key, QStringLiteral("CaptureDeviceId")}), 0);
    const std::string identity =
        CDriverList::Discover(CV4l2Api::System()).Driver(nPattern)->Identity();
    set(key + "\\Devices\\" + QString::fromStdString(identity), "Controls", "REG_SZ",
        std::string(70000, 'c'));
    err = run({}, &status);
    EXPECT_EQ(status, "HTTP/1.0 200");
    EXPECT_EQ(err.find("DOH!"), std::string::npos) << err;
    EXPECT_NE(err.find("are 70000 characters long, more than the 65535"), std::string::npos) << err;

    // No store yet and no room to make one: the cause is named, and the program serves on
    // with the defaults. (A full file system needs a mount, which only root may make.)
    const std::string full = m_dir.File("full");
    std::filesystem::create_directory(full);
    if (::geteuid() == 0 && ::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k") == 0)
    {
        std::vector<BYTE> filler(1 << 20, 0);
        WriteBytes(full + "/filler", filler); // cut short at the end of the room
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(full));
        err = run({}, &status);
        ::umount2(full.c_str(), MNT_DETACH);
        EXPECT_EQ(status, "HTTP/1.0 200");
        EXPECT_NE(err.find("There is not enough space on the disk."), std::string::npos) << err;
    }
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
