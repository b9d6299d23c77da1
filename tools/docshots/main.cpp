// Writes pictures of Vistrel's dialogs into the folder given, for the documentation:
//   build/bin/vistrel-docshots docs
// Runs without a display (the dialogs are rendered, not shown).

#include "captions/CaptionDlg.h"
#include "controls/ColorPickerButton.h"
#include "dialogs/AboutDlg.h"
#include "dialogs/ImageSettingsDlg.h"
#include "dialogs/ServerSettingsDlg.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>

namespace
{
bool Save(QWidget& w, const QString& dir, const char* pszName)
{
    w.show();
    QApplication::processEvents();
    const QString path = QDir(dir).filePath(QString::fromUtf8(pszName));
    const bool bOk = w.grab().save(path);
    std::printf("%s %s\n", bOk ? "wrote" : "could not write", qPrintable(path));
    w.hide();
    return bOk;
}
} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon128.png")));
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    bool bOk = true;

    CServerSettingsDlg server;
    server.m_nServerPort = 8080;
    server.m_bServerEnabled = 1;
    server.m_bHttpHeaders = 1;
    server.m_nImageType = 0;
    server.UpdateData(false);
    bOk &= Save(server, dir, "dialog-server-settings.png");

    CImageSettingsDlg image;
    image.m_nWidth = 640;
    image.m_nHeight = 480;
    image.m_nSizeChoice = 1;
    image.m_nQuality = 75;
    image.m_bUseOverlay = 1;
    image.m_overlayColor = RGB(255, 0, 255);
    image.m_captions[0].Enabled = 1;
    image.m_captions[0].Text = "Front door %Y-%m-%d";
    image.m_captions[1].Enabled = 1;
    image.m_captions[1].Text = "%H:%M:%S";
    image.UpdateData(false);
    bOk &= Save(image, dir, "dialog-image-settings.png");

    CCaptionDlg caption;
    caption.m_caption.Text = "%H:%M:%S";
    caption.m_caption.HPosType = 2;
    caption.m_caption.VPosType = 2;
    caption.m_caption.TextColor = RGB(255, 255, 0);
    caption.m_caption.BackColor = RGB(0, 0, 128);
    caption.UpdateData(false);
    bOk &= Save(caption, dir, "dialog-caption.png");

    CColorPickerButton button;
    CColorGridPopup popup(&button);
    popup.setWindowFlags(Qt::Dialog);
    bOk &= Save(popup, dir, "popup-colours.png");

    CAboutDlg about;
    about.UpdateData(false);
    about.m_pJpegGroupLink->SetTarget(CAboutDlg::kJpegGroupPage);
    about.m_pHomePageLink->SetTarget(CAboutDlg::kHomePage);
    about.m_pAuthorLink->SetTarget(CAboutDlg::kAuthorAddress);
    bOk &= Save(about, dir, "dialog-about.png");
    return bOk ? 0 : 1;
}
