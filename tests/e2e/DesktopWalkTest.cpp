// A person's walk through the real program on an X server with a window manager, with real
// X input from xdotool: Options > Image..., tick the overlay, open the first caption's editor
// by clicking its box, choose "Right" and "Bottom", type a time format, OK, OK; the next image
// served shows the overlay and the caption at the bottom right.
//
// Where to click comes from a twin of each window built here without a screen from the same
// templates; the test checks that the real dialog has the twin's size before it trusts that.

#include "app/Reporters.h"
#include "app/VistrelApp.h"
#include "captions/CaptionDlg.h"
#include "dialogs/ImageSettingsDlg.h"
#include "platform/capture/DriverList.h"
#include "platform/capture/TestPatternDriver.h"
#include "platform/registry/RegistryHive.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/BmpBuilder.h"
#include "tests/support/FreeDisplay.h"
#include "tests/support/NetClient.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/UserInput.h"
#include "view/VistrelView.h"

#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{
class CDesktop
{
public:
    explicit CDesktop(int nDisplay)
        : m_display(QStringLiteral(":%1").arg(nDisplay)),
          m_env(QProcessEnvironment::systemEnvironment())
    {
        m_env.insert(QStringLiteral("DISPLAY"), m_display);
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        m_xvfb.start(QStringLiteral("Xvfb"), {m_display, QStringLiteral("-screen"),
                                              QStringLiteral("0"), QStringLiteral("1280x1024x24"),
                                              QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        m_xvfb.waitForStarted(5000);
        for (int i = 0;
             i < 1200 && !std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(nDisplay));
             ++i)
            QThread::msleep(50);
        m_wm.setProcessEnvironment(m_env);
        m_wm.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
        m_wm.waitForStarted(5000);
        // The window manager is in charge once a window it is shown comes up on the screen
        // (it says which desktop is showing a little before it manages windows, and a window
        // mapped meanwhile is never managed): a probe window is shown until one comes up.
        bool bManaging = false;
        for (int nTry = 0; nTry < 30 && !bManaging; ++nTry)
        {
            QProcess probe;
            probe.setProcessEnvironment(m_env);
            probe.start(QStringLiteral("xmessage"),
                        {QStringLiteral("-title"), QStringLiteral("wm-probe"),
                         QStringLiteral("window manager probe")});
            probe.waitForStarted(5000);
            for (int i = 0; i < 20 && !bManaging; ++i)
            {
                bManaging = !VisibleWindow(QStringLiteral("wm-probe")).isEmpty();
                QThread::msleep(100);
            }
            probe.kill();
            probe.waitForFinished(5000);
        }
    }
    ~CDesktop()
    {
        for (QProcess* p : {&m_program, &m_wm, &m_xvfb})
        {
            p->terminate();
            if (!p->waitForFinished(5000))
                p->kill();
        }
    }
    const QProcessEnvironment& Env() const { return m_env; }
    QProcess& Program() { return m_program; }

    // Runs xdotool; its standard output, trimmed.
    QString Xdo(const QStringList& args, int nTimeoutMs = 10000)
    {
        QProcess xdo;
        xdo.setProcessEnvironment(m_env);
        xdo.start(QStringLiteral("xdotool"), args);
        if (!xdo.waitForFinished(nTimeoutMs))
        {
            xdo.kill();
            xdo.waitForFinished();
            return {};
        }
        return QString::fromUtf8(xdo.readAllStandardOutput()).trimmed();
    }
    // The window whose title is exactly this, once it is mapped.
    QString VisibleWindow(const QString& title)
    {
        return Xdo({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                    QStringLiteral("--name"), QLatin1Char('^') + title + '$'})
            .section(QLatin1Char('\n'), 0, 0);
    }
    QString WaitForWindow(const QString& title)
    {
        for (int i = 0; i < 600; ++i)
        {
            const QString id = VisibleWindow(title);
            if (!id.isEmpty())
                return id;
            QThread::msleep(100);
        }
        return {};
    }
    // True once no window with this title is showing (the dialog has taken its OK).
    bool WaitForWindowGone(const QString& title)
    {
        for (int i = 0; i < 600 && !VisibleWindow(title).isEmpty(); ++i)
            QThread::msleep(100);
        return VisibleWindow(title).isEmpty();
    }
    // The windows of the program on the screen now (its menus included).
    int ProgramWindows()
    {
        const QString ids =
            Xdo({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                 QString::number(m_program.processId()), QStringLiteral("")});
        return ids.isEmpty() ? 0 : int(ids.count(QLatin1Char('\n'))) + 1;
    }
    QSize WindowSize(const QString& id)
    {
        const QString out = Xdo({QStringLiteral("getwindowgeometry"), id});
        const QString size = out.section(QStringLiteral("Geometry: "), 1).section('\n', 0, 0);
        return QSize(size.section('x', 0, 0).toInt(), size.section('x', 1, 1).toInt());
    }
    // A left click at a point of the window's client area, as the pointer does it.
    void Click(const QString& id, QPoint at)
    {
        // The program takes its input in the order the X server delivers it: a click, the
        // keys after it, the next click. Where a click opens or closes a window, the caller
        // waits for that window.
        Xdo({QStringLiteral("mousemove"), QStringLiteral("--sync"), QStringLiteral("--window"), id,
             QString::number(at.x()), QString::number(at.y())});
        Xdo({QStringLiteral("click"), QStringLiteral("1")});
    }
    void Keys(const QStringList& keys)
    {
        Xdo(QStringList{QStringLiteral("key"), QStringLiteral("--clearmodifiers")} + keys);
    }
    void Type(const QString& text)
    {
        Xdo({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), text});
    }

private:
    QString m_display;
    QProcessEnvironment m_env;
    QProcess m_xvfb;
    QProcess m_wm;
    QProcess m_program;
};

QPoint ClickPoint(QWidget* pControl)
{
    return InWindow(pControl, LabelCentre(pControl));
}

bool Near(QRgb c, int r, int g, int b)
{
    return std::abs(qRed(c) - r) < 40 && std::abs(qGreen(c) - g) < 40 &&
           std::abs(qBlue(c) - b) < 40;
}
} // namespace

TEST(DesktopWalk, OverlayAndABottomRightCaptionSetWithTheMouse)
{
    for (const char* tool : {"Xvfb", "openbox", "xdotool", "xmessage"})
        if (QProcess::execute(
                QStringLiteral("sh"),
                {QStringLiteral("-c"), QStringLiteral("command -v %1 >/dev/null").arg(tool)}) != 0)
            GTEST_FAIL() << tool << " is not installed (scripts/install-deps.sh installs it)";
    CTempDir dir;
    CTempDir twinDir;
    const unsigned nPort = FreePort();
    const std::string strProgramStore = dir.File("config");
    {
        CScopedEnv xdg("XDG_CONFIG_HOME", strProgramStore);
        CRegistryKey key;
        ASSERT_EQ(key.Create(CRegistryHive::UserStore("vistrel"), CSettings::kProductKey),
                  ERROR_SUCCESS);
        key.SetDword(DWORD(CDriverList::Discover(CV4l2Api::System()).Count() - 1), "CaptureDevice");
        key.SetDword(1, "ServerEnabled");
        key.SetDword(nPort, "ServerPort");
        key.SetDword(1, "ImageType"); // BMP: exact pixels
    }
    // The overlay: its top-left quarter magenta, the rest black, the transparent colour.
    CTestPicture overlay;
    overlay.nWidth = 2;
    overlay.nHeight = 2;
    overlay.pixels = {RGB(255, 0, 255), 0, 0, 0};
    WriteBytes(dir.File("overlay.bmp"), MakeBmp(overlay));

    // The twins, without a screen, in a store of their own.
    CScopedEnv twinXdg("XDG_CONFIG_HOME", twinDir.Path().string());
    std::vector<std::unique_ptr<CCaptureDriver>> drivers;
    drivers.push_back(std::make_unique<CTestPatternDriver>());
    const CDriverList twinDrivers(std::move(drivers));
    CStderrReporter twinReporter;
    CRunContext twinContext;
    twinContext.strStore = CRegistryHive::DefaultPath();
    twinContext.pReporter = &twinReporter;
    CCameraServer twinCore(twinDrivers, twinContext);
    CVistrelApp twin(twinCore);
    ASSERT_TRUE(twin.InitInstance());
    CMainFrame* pTwinFrame = twin.MainFrame();
    QAction* pOptions = nullptr;
    for (QAction* a : pTwinFrame->menuBar()->actions())
        if (a->text() == "Options")
            pOptions = a;
    ASSERT_NE(pOptions, nullptr);
    const QRect optionsRect = pTwinFrame->menuBar()->actionGeometry(pOptions);
    QMenu* pOptionsMenu = pOptions->menu();
    pOptionsMenu->ensurePolished();
    pOptionsMenu->adjustSize();
    const QRect imageItem = pOptionsMenu->actionGeometry(pOptionsMenu->actions()[1]);
    const QPoint menuBarAt = pTwinFrame->menuBar()->mapTo(pTwinFrame, QPoint(0, 0));
    CImageSettingsDlg twinImage;
    twinImage.show();
    CCaptionDlg twinCaption;
    twinCaption.show();

    const int nDisplay = FreeDisplay(150);
    ASSERT_GE(nDisplay, 0);
    CDesktop desk(nDisplay);
    QProcessEnvironment env = desk.Env();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(strProgramStore));
    desk.Program().setProcessEnvironment(env);
    desk.Program().setWorkingDirectory(QString::fromStdString(dir.Path().string()));
    desk.Program().start(QStringLiteral(VISTREL_BINARY), {});
    ASSERT_TRUE(desk.Program().waitForStarted(5000));

    const QString main = desk.WaitForWindow(QStringLiteral("Test Pattern - Vistrel"));
    ASSERT_FALSE(main.isEmpty()) << "the main window did not show";
    // Options > Image...: the item is clicked once the menu is open.
    const int nWindows = desk.ProgramWindows();
    desk.Click(main, menuBarAt + optionsRect.center());
    for (int i = 0; i < 600 && desk.ProgramWindows() <= nWindows; ++i)
        QThread::msleep(100);
    ASSERT_GT(desk.ProgramWindows(), nWindows) << "the Options menu did not open";
    desk.Click(main, menuBarAt + optionsRect.bottomLeft() + QPoint(0, 1) + imageItem.center());
    const QString image = desk.WaitForWindow(QStringLiteral("Image Settings"));
    ASSERT_FALSE(image.isEmpty()) << "Options > Image... did not open the dialog";
    ASSERT_EQ(desk.WindowSize(image), twinImage.size()) << "the twin does not match";
    desk.Click(image, ClickPoint(twinImage.GetDlgItem(CImageSettingsDlg::IDC_USE_OVERLAY)));
    desk.Click(image, ClickPoint(twinImage.GetDlgItem(CImageSettingsDlg::IDC_FIRST_CAPTION)));

    const QString editor = desk.WaitForWindow(QStringLiteral("Image Caption"));
    ASSERT_FALSE(editor.isEmpty()) << "clicking the caption box did not open the editor";
    ASSERT_EQ(desk.WindowSize(editor), twinCaption.size()) << "the twin does not match";
    desk.Click(editor, ClickPoint(twinCaption.GetDlgItem(1008))); // Right
    desk.Click(editor, ClickPoint(twinCaption.GetDlgItem(1013))); // Bottom
    desk.Click(editor, ClickPoint(twinCaption.GetDlgItem(CCaptionDlg::IDC_TEXT)));
    desk.Keys({QStringLiteral("ctrl+a")});
    desk.Type(QStringLiteral("Gate %Y"));
    desk.Click(editor, ClickPoint(twinCaption.GetDlgItem(CDialog::IDOK)));
    ASSERT_TRUE(desk.WaitForWindowGone(QStringLiteral("Image Caption")));
    desk.Click(image, ClickPoint(twinImage.GetDlgItem(CDialog::IDOK)));
    ASSERT_TRUE(desk.WaitForWindowGone(QStringLiteral("Image Settings")));

    const int fd = ConnectTo("127.0.0.1", nPort);
    ASSERT_GE(fd, 0) << "the server does not listen";
    const CReadResult got = ReadAll(fd, 10000);
    ::close(fd);
    const std::string text(got.bytes.begin(), got.bytes.end());
    const std::size_t nBody = text.find("\r\n\r\n");
    ASSERT_NE(nBody, std::string::npos);
    const QImage picture =
        QImage::fromData(got.bytes.data() + nBody + 4, int(got.bytes.size() - nBody - 4), "BMP");
    ASSERT_FALSE(picture.isNull());
    const int w = picture.width();
    const int h = picture.height();

    // The overlay's magenta quarter at the top left, the pattern through it elsewhere.
    EXPECT_TRUE(Near(picture.pixel(w / 8, h / 8), 255, 0, 255)) << "no overlay";
    EXPECT_FALSE(Near(picture.pixel(w * 7 / 8, h / 8), 255, 0, 255));
    // The caption: black text on its white box, in the bottom-right corner and nowhere at
    // the top left, where it started.
    int nWhite = 0;
    int nBlack = 0;
    for (int y = h - 20; y < h; ++y)
        for (int x = w - 80; x < w; ++x)
        {
            nWhite += Near(picture.pixel(x, y), 255, 255, 255);
            nBlack += Near(picture.pixel(x, y), 0, 0, 0);
        }
    EXPECT_GT(nWhite, 200) << "no caption box at the bottom right";
    EXPECT_GT(nBlack, 20) << "no caption text at the bottom right";
    EXPECT_TRUE(Near(picture.pixel(w - 1, h - 1), 255, 255, 255));
}
