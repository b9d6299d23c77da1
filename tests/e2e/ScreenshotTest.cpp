// The real window under Xvfb: the form and a live preview of the test pattern on screen.

#include "platform/capture/DriverList.h"
#include "platform/registry/RegistryHive.h"
#include "platform/registry/RegistryKey.h"
#include "tests/support/FreeDisplay.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>

TEST(Screenshot, TheWindowShowsTheFormAndAPreviewOfTheTestPattern)
{
    if (QProcess::execute(
            QStringLiteral("sh"),
            {QStringLiteral("-c"), QStringLiteral("command -v Xvfb && command -v import")}) != 0)
        GTEST_SKIP() << "Xvfb or ImageMagick's import is not installed";
    CTempDir dir;
    CScopedEnv xdg("XDG_CONFIG_HOME", dir.File("config"));
    {
        CRegistryKey key;
        ASSERT_EQ(key.Create(CRegistryHive::UserStore("vistrel"), "Software\\Quenlor\\Vistrel"),
                  ERROR_SUCCESS);
        key.SetDword(DWORD(CDriverList::Discover(CV4l2Api::System()).Count() - 1), "CaptureDevice");
        key.SetDword(1, "PreviewEnabled");
    }
    const int nDisplay = FreeDisplay(90);
    ASSERT_GE(nDisplay, 0);
    const QString display = QStringLiteral(":%1").arg(nDisplay);
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"),
               {display, QStringLiteral("-screen"), QStringLiteral("0"),
                QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    ASSERT_TRUE(xvfb.waitForStarted(5000));
    for (int i = 0;
         i < 1200 && !std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(nDisplay)); ++i)
        QThread::msleep(50);

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(QString::fromStdString(dir.Path().string()));
    program.start(QStringLiteral(VISTREL_BINARY), {});
    ASSERT_TRUE(program.waitForStarted(5000));

    // The screen is taken until the window and its preview are on it, for up to a minute.
    const QString shot = QString::fromStdString(dir.File("shot.png"));
    int nYellow = 0;
    int nCyan = 0;
    int nMagenta = 0;
    QElapsedTimer waited;
    waited.start();
    while (std::min({nYellow, nCyan, nMagenta}) <= 10000 && waited.elapsed() < 60000)
    {
        QProcess import;
        import.setProcessEnvironment(env);
        import.start(QStringLiteral("import"),
                     {QStringLiteral("-window"), QStringLiteral("root"), shot});
        import.waitForFinished(10000);
        // The colour bars of the preview: yellow, cyan and magenta, each in a large block.
        const QImage image(shot);
        nYellow = nCyan = nMagenta = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
            {
                const QRgb c = image.pixel(x, y);
                const bool r = qRed(c) > 200;
                const bool g = qGreen(c) > 200;
                const bool b = qBlue(c) > 200;
                const bool r0 = qRed(c) < 40;
                const bool g0 = qGreen(c) < 40;
                const bool b0 = qBlue(c) < 40;
                nYellow += r && g && b0;
                nCyan += r0 && g && b;
                nMagenta += r && g0 && b;
            }
    }
    program.terminate();
    program.waitForFinished(5000);
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    EXPECT_GT(nYellow, 10000);
    EXPECT_GT(nCyan, 10000);
    EXPECT_GT(nMagenta, 10000);
}
