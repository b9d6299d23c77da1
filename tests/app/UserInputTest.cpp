// The dialogs as a person meets them: clicks and keys go to the window at a position, and
// Qt's hit test, focus chain and default buttons decide what they do.

#include "AppFixture.h"

#include "captions/CaptionDlg.h"
#include "controls/ColorPickerButton.h"
#include "dialogs/AboutDlg.h"
#include "dialogs/ImageSettingsDlg.h"
#include "dialogs/ServerSettingsDlg.h"
#include "tests/support/Modal.h"
#include "tests/support/UserInput.h"

#include <QAbstractSlider>
#include <QColorDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QRadioButton>
#include <QSlider>

using UserInput = AppFixture;

namespace
{
QWidget* Ctl(QWidget* d, int nId)
{
    return d->findChild<QWidget*>(QStringLiteral("ctrl%1").arg(nId));
}
QAbstractButton* Btn(QWidget* d, int nId)
{
    return qobject_cast<QAbstractButton*>(Ctl(d, nId));
}

bool TakesInput(QWidget* w)
{
    return qobject_cast<QAbstractButton*>(w) != nullptr || qobject_cast<QLineEdit*>(w) != nullptr ||
           qobject_cast<QAbstractSlider*>(w) != nullptr || qobject_cast<CHyperLink*>(w) != nullptr;
}

// Every visible, enabled control that takes input is what a click at its centre reaches, and
// at its label's centre for a check box or radio button. Returns the ones that are not.
std::vector<std::string> CoveredControls(const std::vector<QWidget*>& controls)
{
    std::vector<std::string> covered;
    for (QWidget* w : controls)
    {
        if (!TakesInput(w) || !w->isVisible() || !w->isEnabled())
            continue;
        for (const QPoint at : {w->rect().center(), LabelCentre(w)})
        {
            QWidget* pHit = w->window()->childAt(InWindow(w, at));
            if (pHit != w && !w->isAncestorOf(pHit))
                covered.push_back(w->objectName().toStdString() + " under " +
                                  (pHit ? pHit->objectName().toStdString() : "nothing"));
        }
    }
    return covered;
}

template <class D> std::vector<std::string> CoveredIn(D& dialog)
{
    dialog.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    return CoveredControls(dialog.Controls());
}
} // namespace

TEST_F(UserInput, EveryControlOfEveryWindowIsWhatAClickOnItReaches)
{
    ASSERT_TRUE(Start());
    Frame()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Frame()));
    std::vector<QWidget*> form = View()->Controls();
    form.push_back(View()->m_hCapWnd.data());
    EXPECT_EQ(CoveredControls(form), std::vector<std::string>{}) << "main form";

    CServerSettingsDlg server;
    EXPECT_EQ(CoveredIn(server), std::vector<std::string>{}) << "server settings";
    CImageSettingsDlg image;
    EXPECT_EQ(CoveredIn(image), std::vector<std::string>{}) << "image settings";
    CCaptionDlg caption;
    EXPECT_EQ(CoveredIn(caption), std::vector<std::string>{}) << "caption editor";
    CAboutDlg about;
    EXPECT_EQ(CoveredIn(about), std::vector<std::string>{}) << "about";
    CColorGridPopup popup(nullptr);
    EXPECT_EQ(CoveredIn(popup), std::vector<std::string>{}) << "colour grid";
}

TEST_F(UserInput, RadioButtonsStayCheckedAndArrowsMoveThroughTheirGroup)
{
    ASSERT_TRUE(Start());
    ASSERT_EQ(Core().Settings().ImageType, 0);
    WhenModal(
        [&](QWidget* d)
        {
            QAbstractButton* pJpeg = Btn(d, CServerSettingsDlg::IDC_JPEG);
            QAbstractButton* pBmp = Btn(d, CServerSettingsDlg::IDC_BMP);
            UserClick(pJpeg);
            UserClick(pJpeg);
            EXPECT_TRUE(pJpeg->isChecked()) << "a second click leaves the button checked";
            EXPECT_TRUE(pJpeg->hasFocus());
            UserKey(d, Qt::Key_Space);
            EXPECT_TRUE(pJpeg->isChecked()) << "so does the space bar";
            UserKey(d, Qt::Key_Down);
            EXPECT_TRUE(pBmp->isChecked() && pBmp->hasFocus() && !pJpeg->isChecked());
            UserKey(d, Qt::Key_Down); // round the group
            EXPECT_TRUE(pJpeg->isChecked() && pJpeg->hasFocus() && !pBmp->isChecked());
            UserKey(d, Qt::Key_Left);
            EXPECT_TRUE(pBmp->isChecked());
            UserKey(d, Qt::Key_Up);
            EXPECT_TRUE(pJpeg->isChecked());
            UserKey(d, Qt::Key_Return); // the default button
        });
    Trigger(ID_OPTIONS_SERVER);
    EXPECT_EQ(Core().Settings().ImageType, 0) << "JPEG is kept, not stored as -1";

    // Tab goes through the controls in template order; the space bar ticks a box; Escape
    // cancels.
    WhenModal(
        [&](QWidget* d)
        {
            QAbstractButton* pEnable = Btn(d, CServerSettingsDlg::IDC_ENABLE_SERVER);
            auto* pPort = qobject_cast<QLineEdit*>(Ctl(d, CServerSettingsDlg::IDC_PORT));
            UserClick(pEnable);
            EXPECT_TRUE(pEnable->isChecked());
            UserKey(d, Qt::Key_Space);
            EXPECT_FALSE(pEnable->isChecked());
            UserKey(d, Qt::Key_Tab);
            EXPECT_TRUE(pPort->hasFocus());
            UserClick(Btn(d, CServerSettingsDlg::IDC_BMP));
            UserKey(d, Qt::Key_Escape);
        });
    Trigger(ID_OPTIONS_SERVER);
    EXPECT_EQ(Core().Settings().ImageType, 0) << "Escape discards";
}

TEST_F(UserInput, ACaptionIsPlacedWithTheMouseAndTheKeyboard)
{
    CCaptionDlg dlg;
    dlg.m_caption.XPos = 5;
    WhenModal(
        [&](QWidget* d)
        {
            for (int nId : {1008, 1008, 1013}) // "Right" twice, then "Bottom"
                UserClick(Ctl(d, nId));
            UserClick(Ctl(d, 1029)); // the opaque background, already checked
            auto* pX = qobject_cast<QLineEdit*>(Ctl(d, CCaptionDlg::IDC_XPOS));
            UserClick(pX);
            EXPECT_TRUE(pX->hasFocus()) << "the X field takes the mouse";
            UserKey(d, Qt::Key_End);
            UserType(d, QStringLiteral("7"));
            auto* pText = qobject_cast<QLineEdit*>(Ctl(d, CCaptionDlg::IDC_TEXT));
            UserClick(pText);
            pText->selectAll();
            UserType(d, QStringLiteral("%H:%M"));
            UserKey(d, Qt::Key_Return);
        });
    ASSERT_EQ(dlg.DoModal(), CDialog::IDOK);
    EXPECT_EQ(dlg.m_caption.HPosType, 2);
    EXPECT_EQ(dlg.m_caption.VPosType, 2);
    EXPECT_EQ(dlg.m_caption.BackType, 0);
    EXPECT_EQ(dlg.m_caption.XPos, 57);
    EXPECT_EQ(dlg.m_caption.Text, "%H:%M");
}

TEST_F(UserInput, TheColourPopupSurvivesACancelledOtherAndStaysAPopup)
{
    CColorGridPopup::ResetPalette();
    QWidget owner;
    owner.resize(200, 100);
    auto* button = new CColorPickerButton(&owner);
    button->setGeometry(10, 10, 45, 20);
    button->m_color = 0x123456;
    owner.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&owner));
    const auto palette = CColorGridPopup::Palette();
    int nPopups = 0;
    // "Other...", Cancel in the colour dialog: the popup is back, a real popup, and a cell
    // chosen in it reaches the button.
    ::WhenModal(
        [&](QWidget* popup)
        {
            ++nPopups;
            ::WhenModal(
                [&](QWidget* colours)
                {
                    EXPECT_NE(qobject_cast<QColorDialog*>(colours), nullptr);
                    ::WhenModal(
                        [&](QWidget* again)
                        {
                            ++nPopups;
                            EXPECT_TRUE(again->windowFlags().testFlag(Qt::Popup));
                            UserClick(Ctl(again, 5114));
                        });
                    UserKey(colours, Qt::Key_Escape);
                });
            UserClick(Ctl(popup, CColorGridPopup::ID_OTHER));
        });
    UserClick(button);
    EXPECT_EQ(nPopups, 2);
    EXPECT_EQ(button->m_color, 0x0000FFu);
    EXPECT_EQ(CColorGridPopup::Palette(), palette) << "the cancelled dialog changed nothing";

    // Every later opening is a popup that a press outside it closes.
    for (int i = 0; i < 2; ++i)
    {
        ::WhenModal(
            [](QWidget* popup)
            {
                EXPECT_EQ(QApplication::activePopupWidget(), popup);
                QTest::mouseClick(WindowOf(popup), Qt::LeftButton, {}, QPoint(-30, -30));
            });
        UserClick(button);
        EXPECT_EQ(button->m_color, 0x0000FFu);
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    }
}

TEST_F(UserInput, EditingACaptionKeepsTheOtherChangesUntilTheDialogEnds)
{
    Store("JpegQuality", 40);
    StoreText("caption2", "Text", "Gate \xff\xfe %H");
    ASSERT_TRUE(Start());
    bool bKept = false;
    WhenModal(
        [&](QWidget* d)
        {
            UserClick(Ctl(d, CImageSettingsDlg::IDC_USE_OVERLAY));
            UserClick(Ctl(d, CImageSettingsDlg::IDC_CUSTOM_SIZE));
            auto* pQuality = qobject_cast<QSlider*>(Ctl(d, CImageSettingsDlg::IDC_QUALITY));
            UserClick(pQuality); // focus, then the keyboard moves it
            const int nQuality = pQuality->value();
            UserKey(d, Qt::Key_Right);
            WhenModal([](QWidget* editor) { UserClick(Ctl(editor, 1)); });
            UserClick(Ctl(d, CImageSettingsDlg::IDC_FIRST_CAPTION));
            bKept = Btn(d, CImageSettingsDlg::IDC_CUSTOM_SIZE)->isChecked() &&
                    Btn(d, CImageSettingsDlg::IDC_USE_OVERLAY)->isChecked() &&
                    pQuality->value() == nQuality + 1;
            UserClick(Ctl(d, 1));
        });
    Trigger(ID_OPTIONS_IMAGE);
    EXPECT_TRUE(bKept) << "the refresh after the editor put back other controls";
    EXPECT_EQ(Core().Settings().UseOverlay, 1);
    EXPECT_EQ(Core().Settings().UseCustomSize, 1);
    EXPECT_EQ(Core().Settings().captions[0].Enabled, 1);
    EXPECT_EQ(Core().Settings().captions[2].Text, "Gate \xff\xfe %H")
        << "a text that is not UTF-8 comes back byte for byte";
}
