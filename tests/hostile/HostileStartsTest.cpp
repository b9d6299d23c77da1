// Hostile starts and stops of the real program without a window: every signal that ends it,
// a store another program holds, files and folders that go away or are no files, values
// that cannot be used, a platform that is not there, a full disk.

#include "platform/capture/DriverList.h"
#include "tests/support/HeadlessProgram.h"

#include <QProcessEnvironment>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>

using HostileStarts = HeadlessProgram;

TEST_F(HostileStarts, TheSignalsThatEndItNeverLeaveALargeResponseLookingWholeAndTheOthersAreIgnored)
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

TEST_F(HostileStarts, AStoreHeldByAnotherProgramIsWaitedForAsLongAsAskedOrUntilASignal)
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

TEST_F(HostileStarts, AProblemAndItsEndAreSaidAndAFifoNeverKeepsSigtermWaiting)
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

TEST_F(HostileStarts, StoredValuesAndStartsThatCannotBeUsedAreSaidAndNothingElseTakesTheirPlace)
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
