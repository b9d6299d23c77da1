// Vistrel: a camera image server. Its own options (--help lists them) beside Qt's. Whether it
// runs with a window or without one is decided here, once: without a display (and without a
// platform asked for) or with -platform offscreen it builds the camera server alone, no widget
// at all; otherwise the window shows it.

#include "app/CommandLine.h"
#include "app/Reporters.h"
#include "app/VistrelApp.h"
#include "core/CameraServer.h"
#include "platform/capture/DriverList.h"
#include "platform/file/File.h"
#include "platform/registry/RegistryHive.h"
#include "platform/ui/DialogMessageBoxes.h"
#include "platform/ui/QtMessageFilter.h"
#include "platform/ui/QuitOnSignals.h"

#include <QApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QIcon>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
bool SocketsWork()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    const int fd4 = fd >= 0 ? fd : ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd4 < 0)
        return false;
    ::close(fd4);
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    CQuitOnSignals::Block();
    CQtMessageFilter::Install();
    // A reader of standard error that went away must not end the program (sends already
    // say MSG_NOSIGNAL).
    std::signal(SIGPIPE, SIG_IGN);
    // With no display and no platform asked for, Qt would abort: run without a window.
    const bool bAutoHeadless = CCommandLine::ShouldRunHeadless(argc, argv);
    if (bAutoHeadless)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const bool bHeadless = bAutoHeadless || CCommandLine::AsksForNoWindow(argc, argv);
    // Without a window no widget is ever made: the application object cannot make one.
    std::unique_ptr<QGuiApplication> pQt = bHeadless ? std::make_unique<QGuiApplication>(argc, argv)
                                                     : std::make_unique<QApplication>(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Vistrel"));
    QGuiApplication::setApplicationVersion(QStringLiteral(VISTREL_VERSION));
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/icon128.png")));

    const CDriverList drivers = CDriverList::Discover(CV4l2Api::System());
    const CCommandLine::CResult command =
        CCommandLine::Parse(QGuiApplication::arguments(), drivers);
    if (command.action == CCommandLine::Action::PrintAndExit)
    {
        std::fputs(command.strText.c_str(), stdout);
        return 0;
    }
    if (command.action == CCommandLine::Action::Fail)
    {
        std::fprintf(stderr, "vistrel: %s\n", command.strText.c_str());
        return 1;
    }
    for (const std::string& strNote : command.notes)
        std::fprintf(stderr, "vistrel: %s\n", strNote.c_str());

    CWindowReporter windowReporter;
    CStderrReporter stderrReporter;
    CRunContext context;
    context.bHeadless = bHeadless;
    context.strStore = command.strSettingsFile.empty() ? CRegistryHive::UserStore("vistrel")
                                                       : command.strSettingsFile;
    context.pReporter = bHeadless ? static_cast<CReporter*>(&stderrReporter) : &windowReporter;
    context.options = command.options;
    // Working files go by the folder's path, not the process's current folder: a folder
    // deleted and made again there is used again at once.
    context.strWorkingFolder =
        command.strWorkingFolder.empty() ? CurrentFolderPath() : command.strWorkingFolder;
    context.stopSignal = []
    {
        return CQuitOnSignals::Pending();
    };
    if (bHeadless)
    {
        if (bAutoHeadless)
            std::fputs("Vistrel: no display found, running headless (as with -platform "
                       "offscreen)\n",
                       stderr);
        std::fprintf(stderr, "Vistrel: settings are read from %s\n", context.strStore.c_str());
        std::fflush(stderr);
    }
    else
    {
        InstallDialogMessageBoxes();
    }
    if (!SocketsWork())
    {
        context.pReporter->Message("Windows sockets initialization failed.", {}, 0);
        return 1;
    }

    CCameraServer core(drivers, context);
    std::unique_ptr<CVistrelApp> pApp;
    // A start ended by a signal (while it waited for the store) has done what was asked.
    if (bHeadless)
    {
        if (!core.Start())
            return core.StoppedBySignal() != 0 ? 0 : 1;
    }
    else
    {
        pApp = std::make_unique<CVistrelApp>(core);
        if (!pApp->InitInstance())
            return core.StoppedBySignal() != 0 ? 0 : 1;
    }
    // SIGTERM, SIGINT, SIGHUP and SIGQUIT end the program as closing the main window does.
    CQuitOnSignals quit;
    QObject::connect(&quit, &CQuitOnSignals::Quit, pQt.get(), [] { QCoreApplication::quit(); });
    const int nExit = QCoreApplication::exec();
    pApp.reset();
    // The pictures being sent get a moment to finish before the program ends.
    QEventLoop finishing;
    core.Finish(CCameraServer::kShutdownGraceMs, [&finishing] { finishing.quit(); });
    finishing.exec();
    return nExit;
}
