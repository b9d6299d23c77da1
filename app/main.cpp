// Vistrel: a camera image server. Qt's standard options only; "-platform offscreen" runs it
// without a display.

#include "app/VistrelApp.h"
#include "platform/capture/DriverList.h"
#include "platform/ui/DialogMessageBoxes.h"
#include "platform/ui/QuitOnSignals.h"
#include "service/ImageSocket.h"

#include <QApplication>

int main(int argc, char** argv)
{
    CQuitOnSignals::Block();
    QApplication qtApp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vistrel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon128.png")));
    InstallDialogMessageBoxes();

    const CDriverList drivers = CDriverList::Discover(CV4l2Api::System());
    int nExit = 1;
    {
        CVistrelApp app(drivers);
        if (app.InitInstance())
        {
            // SIGTERM and SIGINT end the program as closing the main window does.
            CQuitOnSignals quit;
            QObject::connect(&quit, &CQuitOnSignals::Quit, &qtApp, [] { QApplication::quit(); });
            nExit = QApplication::exec();
        }
    }
    CImageSocket::CloseAllConnections();
    return nExit;
}
