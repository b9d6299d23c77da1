// Vistrel: a camera image server. Its own options (--help lists them) beside Qt's; without a
// display it runs headless by itself, as "-platform offscreen" does.

#include "app/CommandLine.h"
#include "app/VistrelApp.h"
#include "platform/capture/DriverList.h"
#include "platform/registry/RegistryHive.h"
#include "platform/ui/DialogMessageBoxes.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/QuitOnSignals.h"
#include "view/VistrelView.h"

#include <QApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv)
{
    CQuitOnSignals::Block();
    // A reader of standard error that went away must not end the program (sends already
    // say MSG_NOSIGNAL).
    std::signal(SIGPIPE, SIG_IGN);
    // With no display and no platform asked for, Qt would abort: run without a window.
    const bool bAutoHeadless = CCommandLine::ShouldRunHeadless(argc, argv);
    if (bAutoHeadless)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qtApp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vistrel"));
    // The platform layer is told whose it is: the message boxes' title, the store's folder.
    AfxSetAppName("Vistrel");
    CRegistryHive::SetDefaultFolder("vistrel");
    QApplication::setApplicationVersion(QStringLiteral(VISTREL_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon128.png")));

    const CDriverList drivers = CDriverList::Discover(CV4l2Api::System());
    const CCommandLine::CResult command = CCommandLine::Parse(QApplication::arguments(), drivers);
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
    InstallDialogMessageBoxes();
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
    {
        if (bAutoHeadless)
            std::fputs("Vistrel: no display found, running headless (as with -platform "
                       "offscreen)\n",
                       stderr);
        std::fprintf(stderr, "Vistrel: settings are read from %s\n",
                     CRegistryHive::DefaultPath().c_str());
        std::fflush(stderr);
    }

    int nExit = 1;
    {
        CVistrelApp app(drivers);
        app.SetRunOptions(command.options);
        if (app.InitInstance())
        {
            // SIGTERM and SIGINT end the program as closing the main window does.
            CQuitOnSignals quit;
            QObject::connect(&quit, &CQuitOnSignals::Quit, &qtApp, [] { QApplication::quit(); });
            nExit = QApplication::exec();
            // The images being sent get a moment to finish before the program ends.
            if (CVistrelView* pView = app.MainFrame()->GetActiveView())
            {
                pView->m_server.StopListening();
                pView->m_server.FinishAllConnections(CImageServer::kShutdownGraceMs);
            }
        }
    }
    return nExit;
}
