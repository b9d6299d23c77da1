// Vistrel: a camera image server. Qt's standard options only; "-platform offscreen" runs it
// without a display.

#include "platform/capture/DriverList.h"
#include "platform/ui/DialogMessageBoxes.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/QuitOnSignals.h"
#include "service/ImageSocket.h"
#include "view/VistrelView.h"

#include <QApplication>
#include <QMainWindow>
#include <QStatusBar>

int main(int argc, char** argv)
{
    CQuitOnSignals::Block();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vistrel"));
    InstallDialogMessageBoxes();

    const CDriverList drivers = CDriverList::Discover(CV4l2Api::System());
    if (drivers.Count() == 0)
    {
        AfxMessageBox("Sorry, can't find any capture devices", MB_OK);
        return 1;
    }

    int nExit = 0;
    {
        QMainWindow window;
        auto* pView = new CVistrelView(drivers);
        window.setCentralWidget(pView);
        QObject::connect(pView, &CVistrelView::TitleChanged, &window,
                         [&window](const QString& title)
                         { window.setWindowTitle(title + QStringLiteral(" - Vistrel")); });
        QObject::connect(pView, &CVistrelView::StatusTextChanged, &window,
                         [&window](const QString& text) { window.statusBar()->showMessage(text); });
        window.statusBar()->showMessage(QStringLiteral("Ready"));
        pView->OnInitialUpdate();
        window.resize(360, 240);
        window.show();

        CQuitOnSignals quit;
        QObject::connect(&quit, &CQuitOnSignals::Quit, &app, [] { QApplication::quit(); });
        nExit = QApplication::exec();
    }
    CImageSocket::CloseAllConnections();
    return nExit;
}
