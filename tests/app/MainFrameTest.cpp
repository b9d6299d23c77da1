#include "AppFixture.h"
#include "platform/registry/RegistryHive.h"
#include "settings/DeviceMemory.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/UserInput.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QMenuBar>
#include <QStatusBar>
#include <QTest>

#include <filesystem>
#include <sqlite3.h>
#include <thread>

using MainFrame = AppFixture;

TEST_F(MainFrame, TheVideoMenuListsTheDriversAfterItsSeparator)
{
    m_drivers = MakeDrivers(2);
    ASSERT_TRUE(Start());
    QMenu* pVideo = Frame()->VideoMenu();
    ASSERT_NE(pVideo, nullptr);
    const auto actions = pVideo->actions();
    ASSERT_EQ(actions.size(), 6);
    EXPECT_EQ(actions[0]->text(), "Source");
    EXPECT_EQ(actions[1]->text(), "Format");
    EXPECT_EQ(actions[2]->text(), "Display");
    EXPECT_TRUE(actions[3]->isSeparator());
    EXPECT_EQ(actions[4]->text(), "Test Pattern");
    EXPECT_EQ(actions[4]->property("commandId").toInt(), 35000);
    EXPECT_EQ(actions[5]->property("commandId").toInt(), 35001);

    QStringList tops;
    for (QAction* p : Frame()->menuBar()->actions())
        tops << p->text();
    EXPECT_EQ(tops, (QStringList{"&File", "Video", "Options", "&Help"}));
    EXPECT_EQ(Action(57603)->text(), "&Save Settings");
    EXPECT_EQ(Action(57603)->statusTip(), "Save Vistrel properties");
    EXPECT_EQ(Action(32775)->statusTip(), "Set web server properties");
    EXPECT_EQ(Frame()->statusBar()->currentMessage(), "Ready");
    EXPECT_EQ(Frame()->windowTitle(), "No Driver Selected - Vistrel");
    EXPECT_TRUE(m_boxes.empty());
}

TEST_F(MainFrame, WithoutAnyDriverStartUpFailsWithTheOneMessage)
{
    m_drivers = CDriverList();
    EXPECT_FALSE(Start());
    EXPECT_EQ(m_boxes, std::vector<std::string>{"Sorry, can't find any capture devices"});
    EXPECT_EQ(m_app->MainFrame(), nullptr);
}

TEST_F(MainFrame, DriverItemsConnectSwitchDisconnectAndFail)
{
    ASSERT_TRUE(Start()); // drivers: 0 refuses, 1 and 2 are test patterns
    EXPECT_FALSE(Enabled(32772));
    EXPECT_FALSE(Enabled(32773));
    EXPECT_FALSE(Enabled(32774));
    for (int nId : {35000, 35001, 35002})
    {
        EXPECT_TRUE(Enabled(nId));
        EXPECT_FALSE(Checked(nId));
    }

    Trigger(35001);
    EXPECT_EQ(Core().Settings().CaptureDevice, 1);
    EXPECT_EQ(Frame()->windowTitle(), "Test Pattern - Vistrel");
    EXPECT_TRUE(Checked(35001));
    EXPECT_FALSE(Checked(35002));
    EXPECT_TRUE(Enabled(32772));
    EXPECT_TRUE(Enabled(32773));
    EXPECT_FALSE(Enabled(32774)) << "the pattern has no display dialog";
    EXPECT_EQ(View()->m_hCapWnd->size(), QSize(640, 480));
    // Video > Source: a change cancelled is put back and not kept for the device; one taken
    // with OK is kept.
    const std::string strId = m_drivers.Driver(1)->Identity();
    const CCaptureState before = CDeviceMemory::Load(StorePath(), strId);
    const std::int32_t nPattern = m_drivers.Driver(1)->Controls()[0].nValue;
    for (const bool bOk : {false, true})
    {
        WhenModal(
            [bOk](QWidget* p)
            {
                auto* pCombo = p->findChild<QComboBox*>();
                pCombo->setCurrentIndex((pCombo->currentIndex() + 1) % pCombo->count());
                bOk ? static_cast<QDialog*>(p)->accept() : static_cast<QDialog*>(p)->reject();
            });
        Trigger(32772);
        EXPECT_EQ(CDeviceMemory::Load(StorePath(), strId) == before, !bOk) << "OK " << bOk;
        EXPECT_EQ(m_drivers.Driver(1)->Controls()[0].nValue == nPattern, !bOk) << "OK " << bOk;
    }

    Trigger(35002); // switch
    EXPECT_EQ(Core().Settings().CaptureDevice, 2);
    EXPECT_FALSE(Checked(35001));
    EXPECT_TRUE(Checked(35002));
    EXPECT_EQ(m_drivers.Driver(1)->IsOpen(), false);

    Trigger(35002); // the checked one again: disconnect
    EXPECT_EQ(Core().Settings().CaptureDevice, -1);
    EXPECT_EQ(Frame()->windowTitle(), "No driver selected - Vistrel");
    EXPECT_FALSE(Checked(35002));
    EXPECT_FALSE(Enabled(32772));

    Trigger(35000); // refuses
    EXPECT_EQ(m_boxes, std::vector<std::string>{"DOH! Can't open this driver"});
    EXPECT_EQ(Core().Settings().CaptureDevice, -1);
    EXPECT_EQ(Frame()->windowTitle(), "No driver selected - Vistrel");
}

TEST_F(MainFrame, EveryAppendedDriverItemIsRouted)
{
    m_drivers = MakeDrivers(12);
    ASSERT_TRUE(Start());
    ASSERT_EQ(Frame()->VideoMenu()->actions().size(), 4 + 12);
    EXPECT_TRUE(Enabled(35011));
    Trigger(35011);
    EXPECT_EQ(Core().Settings().CaptureDevice, 11);
    EXPECT_TRUE(View()->OnCmdMsg(35099, CN_UPDATE_COMMAND_UI, nullptr));
    EXPECT_FALSE(View()->OnCmdMsg(35100, CN_COMMAND, nullptr));
}

TEST_F(MainFrame, TheCheckBoxesDrivePreviewAndServer)
{
    const unsigned nPort = FreePort();
    Store("ServerPort", nPort);
    Store("CaptureDevice", 1);
    ASSERT_TRUE(Start());
    auto* pPreview = View()->Item<QCheckBox>(CVistrelView::IDC_PREVIEW);
    auto* pServer = View()->Item<QCheckBox>(CVistrelView::IDC_ENABLE_SERVER);
    ASSERT_TRUE(pPreview && pServer);
    EXPECT_TRUE(pPreview->isChecked());
    EXPECT_FALSE(pServer->isChecked());
    EXPECT_TRUE(View()->m_hCapWnd->IsPreviewing());

    UserClick(pPreview);
    EXPECT_EQ(Core().Settings().PreviewEnabled, 0);
    EXPECT_FALSE(View()->m_hCapWnd->IsPreviewing());

    bool bConnected = true;
    Fetch(nPort, &bConnected);
    EXPECT_FALSE(bConnected);
    UserClick(pServer);
    EXPECT_EQ(Core().Settings().ServerEnabled, 1);
    const auto bytes = Fetch(nPort, &bConnected);
    EXPECT_TRUE(bConnected);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 17), "HTTP/1.0 200 OK\r\n");
    UserClick(pServer);
    Fetch(nPort, &bConnected);
    EXPECT_FALSE(bConnected);
}

TEST_F(MainFrame, TheFrameFitsTheViewAndNeverHidesItsControls)
{
    ASSERT_TRUE(Start());
    // No driver: the 160x120 capture window is narrower than the form's two check boxes.
    const QRect cap = View()->m_hCapWnd->geometry();
    const QSize form = View()->FormExtent();
    EXPECT_GE(View()->ScrollExtent().width(), form.width());
    EXPECT_EQ(View()->ScrollExtent().height(),
              std::max(cap.bottom() + 1 + cap.left(), form.height()));
    Trigger(35001);
    const QRect big = View()->m_hCapWnd->geometry();
    EXPECT_EQ(big.size(), QSize(640, 480));
    EXPECT_EQ(View()->ScrollExtent(), QSize(2 * big.left() + 640, big.left() + big.top() + 480));
    EXPECT_GE(Frame()->width(), Frame()->menuBar()->sizeHint().width());
}

TEST_F(MainFrame, MinimisingHidesIntoTheNotificationArea)
{
    m_tray = {true, true};
    ASSERT_TRUE(Start());
    Frame()->setGeometry(100, 100, 500, 400);
    const QRect before = Frame()->geometry();
    for (int bEnabled : {0, 1})
    {
        Core().SetServerEnabled(bEnabled != 0);
        Frame()->showMinimized();
        QApplication::processEvents();
        EXPECT_FALSE(Frame()->isVisible());
        EXPECT_FALSE(Frame()->isMinimized());
        ASSERT_TRUE(Frame()->TrayIcon()->isVisible());
        EXPECT_EQ(Frame()->TrayIcon()->toolTip(), bEnabled ? "Vistrel On" : "Vistrel Off");
        EXPECT_EQ(Frame()->TrayIcon()->icon().pixmap(16, 16).toImage(),
                  CMainFrame::ServerIcon(bEnabled).pixmap(16, 16).toImage());
        // What the platform reports: an XEmbed tray passes on a double click.
        emit Frame()->TrayIcon()->activated(QSystemTrayIcon::Trigger);
        emit Frame()->TrayIcon()->activated(QSystemTrayIcon::Context);
        EXPECT_FALSE(Frame()->isVisible()) << "a single click does nothing";
        emit Frame()->TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
        EXPECT_TRUE(Frame()->isVisible());
        EXPECT_FALSE(Frame()->TrayIcon()->isVisible());
        EXPECT_EQ(Frame()->geometry(), before);
    }

    // Without a notification area the window minimises as usual.
    m_tray = {false, true};
    ASSERT_TRUE(Start());
    Frame()->showMinimized();
    QApplication::processEvents();
    EXPECT_FALSE(Frame()->TrayIcon()->isVisible());
    EXPECT_TRUE(Frame()->isVisible());

    // A StatusNotifierItem host only activates: that brings the window back.
    m_tray = {true, false};
    ASSERT_TRUE(Start());
    Frame()->setGeometry(before);
    Frame()->showMinimized();
    QApplication::processEvents();
    ASSERT_FALSE(Frame()->isVisible());
    emit Frame()->TrayIcon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(Frame()->isVisible());
    EXPECT_EQ(Frame()->geometry(), before);

    // The icon's menu restores the window, and exits.
    QMenu* pMenu = Frame()->TrayIcon()->contextMenu();
    ASSERT_NE(pMenu, nullptr);
    ASSERT_EQ(pMenu->actions().size(), 2);
    EXPECT_EQ(pMenu->actions()[0]->text(), "&Restore");
    EXPECT_EQ(pMenu->actions()[1]->text(), "E&xit");
    Frame()->showMinimized();
    QApplication::processEvents();
    ASSERT_FALSE(Frame()->isVisible());
    pMenu->actions()[0]->trigger();
    EXPECT_TRUE(Frame()->isVisible());
    Frame()->showMinimized();
    QApplication::processEvents();
    // Exit ends the program's event loop even while the window is hidden in the tray.
    QTimer::singleShot(0, pMenu->actions()[1], &QAction::trigger);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QApplication::exit(99); });
    guard.start(5000);
    EXPECT_EQ(QApplication::exec(), 0);
}

TEST_F(MainFrame, AProblemOfTheImageServiceLeavesTheStatusBarWhenItIsGone)
{
    const unsigned nPort = StartServing(1);
    // A folder where the JPEG file should go: every image fails until it is gone.
    std::filesystem::create_directory(m_dir.File("frame.jpg"));
    const auto refused = Fetch(nPort);
    EXPECT_EQ(
        std::string(refused.begin(), refused.begin() + std::min<std::size_t>(12, refused.size())),
        "HTTP/1.0 503");
    const QString problem = Frame()->statusBar()->currentMessage();
    EXPECT_TRUE(problem.contains(QStringLiteral("JPEG encoding failed"))) << problem.toStdString();
    std::filesystem::remove(m_dir.File("frame.jpg"));
    const auto bytes = Fetch(nPort);
    ASSERT_GT(bytes.size(), 17u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 17), "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(Frame()->statusBar()->currentMessage(), "Ready");
}

TEST_F(MainFrame, AStoreThatCannotBeReadEndsTheStartAndOneThatCannotBeMadeDoesNot)
{
    const std::string strStore = CRegistryHive::DefaultPath();
    std::filesystem::create_directories(std::filesystem::path(strStore).parent_path());
    // A corrupt file, then a folder in its place: one message each, no window, never written.
    WriteBytes(strStore, std::vector<BYTE>(3000, 0x33));
    EXPECT_FALSE(Start());
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0], "The settings store " + strStore +
                              " cannot be read: The configuration registry database is corrupt.");
    EXPECT_EQ(ReadBytes(strStore), std::vector<BYTE>(3000, 0x33));
    m_app.reset();

    std::filesystem::remove(strStore);
    std::filesystem::create_directory(strStore);
    m_boxes.clear();
    EXPECT_FALSE(Start());
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_NE(m_boxes[0].find(strStore + " cannot be read"), std::string::npos) << m_boxes[0];
    m_app.reset();

    // No store, and its folder cannot be made: the start goes on with every default, each
    // caption saying its key could not be opened, and only Save says it cannot save.
    WriteBytes(m_dir.File("home-file"), {1});
    CScopedEnv noStore("XDG_CONFIG_HOME", m_dir.File("home-file/config"));
    m_boxes.clear();
    ASSERT_TRUE(Start());
    EXPECT_EQ(m_boxes, std::vector<std::string>(6, "The system cannot find the path specified."));
    EXPECT_EQ(Core().Settings().ServerPort, 8080);
    m_boxes.clear();
    Trigger(57603);
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(
        m_boxes[0].rfind("The settings could not be saved to " + CRegistryHive::DefaultPath(), 0),
        0u)
        << m_boxes[0];
}

TEST_F(MainFrame, AStoreLockedByAnotherProgramIsWaitedForThenGivenUpWithOneMessage)
{
    Store("ServerPort", 8123);
    sqlite3* pOther = nullptr;
    ASSERT_EQ(sqlite3_open(CRegistryHive::DefaultPath().c_str(), &pOther), SQLITE_OK);
    // Readers of the store never wait for a writer: only a program that keeps the whole file
    // to itself holds them off.
    const auto lock = [pOther]
    {
        // Read first, so that the shared index of the log exists and the lock can be let go.
        ASSERT_EQ(sqlite3_exec(pOther,
                               "SELECT 1 FROM sqlite_master; PRAGMA locking_mode=EXCLUSIVE; "
                               "BEGIN EXCLUSIVE",
                               {}, {}, {}),
                  0);
    };
    const auto unlock = [pOther]
    {
        sqlite3_exec(pOther, "COMMIT; PRAGMA locking_mode=NORMAL; SELECT 1 FROM sqlite_master",
                     nullptr, nullptr, nullptr);
    };

    // Held for a while: the start waits and then reads the store.
    lock();
    std::thread release(
        [&unlock]
        {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            unlock();
        });
    ASSERT_TRUE(Start());
    release.join();
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_EQ(Core().Settings().ServerPort, 8123);
    Stop();

    // Held past the wait: one message naming the store, no window, the store unchanged.
    lock();
    m_options.nStoreWaitSeconds = 0;
    EXPECT_FALSE(Start());
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0], "The settings store " + CRegistryHive::DefaultPath() +
                              " is locked by another program; gave up waiting for it after 0 "
                              "seconds.");
    unlock();
    sqlite3_close(pOther);
    DWORD nPort = 0;
    EXPECT_TRUE(Stored("ServerPort", &nPort));
    EXPECT_EQ(nPort, 8123u);
}
