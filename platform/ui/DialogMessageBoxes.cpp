#include "platform/ui/DialogMessageBoxes.h"

#include "platform/ui/MessageBox.h"

#include <QApplication>
#include <QMessageBox>

void InstallDialogMessageBoxes()
{
    SetMessageBoxPresenter(
        [](const std::string& text, const std::string& caption, unsigned nType)
        {
            QMessageBox box;
            box.setWindowTitle(QString::fromStdString(caption));
            box.setText(QString::fromStdString(text));
            switch (nType & 0xF0)
            {
            case MB_ICONERROR:
                box.setIcon(QMessageBox::Critical);
                break;
            case MB_ICONEXCLAMATION:
                box.setIcon(QMessageBox::Warning);
                break;
            case MB_ICONINFORMATION:
                box.setIcon(QMessageBox::Information);
                break;
            default:
                break;
            }
            box.setStandardButtons(QMessageBox::Ok);
            box.exec();
            return IDOK;
        });
}
