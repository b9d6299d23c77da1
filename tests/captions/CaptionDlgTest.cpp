#include "captions/CaptionDlg.h"
#include "tests/support/UserInput.h"

#include "platform/ui/MessageBox.h"
#include "tests/support/Modal.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <cstring>
#include <gtest/gtest.h>

namespace
{
class CaptionDlg : public ::testing::Test
{
protected:
    std::vector<std::string> m_boxes;
    void SetUp() override
    {
        SetMessageBoxPresenter(
            [this](const std::string& t, const std::string&, unsigned)
            {
                m_boxes.push_back(t);
                return IDOK;
            });
    }
    void TearDown() override { SetMessageBoxPresenter({}); }
};

bool Checked(QWidget* d, int nId)
{
    return d->findChild<QRadioButton*>(QStringLiteral("ctrl%1").arg(nId))->isChecked();
}
void Check(QWidget* d, int nId)
{
    UserClick(d->findChild<QRadioButton*>(QStringLiteral("ctrl%1").arg(nId)));
}
QLineEdit* Edit(QWidget* d, int nId)
{
    return d->findChild<QLineEdit*>(QStringLiteral("ctrl%1").arg(nId));
}
void Ok(QWidget* d)
{
    UserClick(d->findChild<QPushButton*>("ctrl1"));
}
} // namespace

TEST_F(CaptionDlg, ADefaultCaptionOpensAsDesigned)
{
    CCaptionDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), "Image Caption");
    WhenModal(
        [&](QWidget* d)
        {
            EXPECT_EQ(Edit(d, 1019)->text(), "Click To Edit Caption");
            EXPECT_TRUE(Checked(d, 1010)); // Left
            EXPECT_TRUE(Checked(d, 1006)); // Top
            EXPECT_FALSE(Checked(d, 1007));
            EXPECT_EQ(Edit(d, 1015)->text(), "0");
            EXPECT_EQ(Edit(d, 1014)->text(), "0");
            EXPECT_TRUE(Checked(d, 1029)); // opaque
            EXPECT_FALSE(Checked(d, 1017));
            EXPECT_EQ(dlg.TextPicker()->m_color, 0x000000u);
            EXPECT_EQ(dlg.BackPicker()->m_color, 0xFFFFFFu);
            // Right and Bottom store 2 and 2, whatever the position edits hold.
            Check(d, 1008);
            Check(d, 1013);
            Edit(d, 1015)->setText("-17");
            Ok(d);
        });
    ASSERT_EQ(dlg.DoModal(), CDialog::IDOK);
    EXPECT_EQ(dlg.m_caption.HPosType, 2);
    EXPECT_EQ(dlg.m_caption.VPosType, 2);
    EXPECT_EQ(dlg.m_caption.XPos, -17);
    EXPECT_EQ(dlg.m_caption.BackType, 0);
}

TEST_F(CaptionDlg, AnEmptyPositionRefusesOk)
{
    CCaptionDlg dlg;
    bool bOpen = false;
    WhenModal(
        [&](QWidget* d)
        {
            Edit(d, 1015)->setText("");
            Ok(d);
            bOpen = d->isVisible();
            UserClick(d->findChild<QPushButton*>("ctrl2"));
        });
    EXPECT_EQ(dlg.DoModal(), CDialog::IDCANCEL);
    EXPECT_TRUE(bOpen);
    EXPECT_EQ(m_boxes, std::vector<std::string>{"Please enter an integer."});

    // A text that could be saved but not loaded back is refused: 512 letters of two bytes.
    m_boxes.clear();
    std::string strTyped;
    for (int i = 0; i < 512; ++i)
        strTyped += "\xc3\xa9";
    CCaptionDlg longer;
    WhenModal(
        [&](QWidget* d)
        {
            Edit(d, 1019)->setText(QString::fromStdString(strTyped));
            Ok(d);
            bOpen = d->isVisible();
            Edit(d, 1019)->setText(QString::fromStdString(strTyped.substr(2) + "x"));
            Ok(d);
        });
    EXPECT_EQ(longer.DoModal(), CDialog::IDOK);
    EXPECT_TRUE(bOpen);
    EXPECT_EQ(m_boxes, std::vector<std::string>{CCaptionDlg::kMsgTextTooLong});
    EXPECT_EQ(longer.m_caption.Text.size(), CCaption::kMaxTextBytes);
}

TEST_F(CaptionDlg, OutOfRangeGroupsShowNoButtonAndStoreMinusOne)
{
    CCaptionDlg dlg;
    dlg.m_caption.BackType = 5;
    dlg.m_caption.HPosType = 7;
    bool bAnyBack = true;
    bool bAnyHorz = true;
    WhenModal(
        [&](QWidget* d)
        {
            bAnyBack = Checked(d, 1029) || Checked(d, 1017);
            bAnyHorz = Checked(d, 1010) || Checked(d, 1007) || Checked(d, 1008) || Checked(d, 1012);
            Ok(d);
        });
    ASSERT_EQ(dlg.DoModal(), CDialog::IDOK);
    EXPECT_FALSE(bAnyBack);
    EXPECT_FALSE(bAnyHorz);
    EXPECT_EQ(dlg.m_caption.BackType, -1);
    EXPECT_EQ(dlg.m_caption.HPosType, -1);
}

TEST_F(CaptionDlg, TheFontDialogStartsFromAndReturnsACompleteRecord)
{
    CCaptionDlg dlg;
    std::memset(&dlg.m_caption.FontInfo, 0, sizeof dlg.m_caption.FontInfo);
    dlg.m_caption.FontInfo.lfHeight = -20;
    std::strcpy(dlg.m_caption.FontInfo.lfFaceName, "DejaVu Sans");
    QFont seen;
    WhenModal(
        [&](QWidget* d)
        {
            auto* pFonts = qobject_cast<QFontDialog*>(d);
            ASSERT_NE(pFonts, nullptr);
            seen = pFonts->currentFont();
            QFont chosen(QStringLiteral("DejaVu Serif"));
            chosen.setPixelSize(31);
            chosen.setBold(true);
            pFonts->setCurrentFont(chosen);
            pFonts->accept();
        });
    dlg.OnFont();
    EXPECT_EQ(seen.family(), "DejaVu Sans");
    EXPECT_FALSE(seen.italic()) << "opens on the upright face the caption is drawn with";
    EXPECT_STREQ(dlg.m_caption.FontInfo.lfFaceName, "DejaVu Serif");
    EXPECT_LT(dlg.m_caption.FontInfo.lfHeight, 0);
    EXPECT_GE(dlg.m_caption.FontInfo.lfWeight, 600);

    const LOGFONTA before = dlg.m_caption.FontInfo;
    WhenModal([](QWidget* d) { qobject_cast<QDialog*>(d)->reject(); });
    dlg.OnFont();
    EXPECT_EQ(std::memcmp(&before, &dlg.m_caption.FontInfo, sizeof before), 0)
        << "Cancel keeps the font";

    // The default caption font: OK without a change gives back the font it is drawn with, and
    // the dialog offers neither effects nor a writing system.
    CCaptionDlg fresh;
    const LOGFONTA drawn = fresh.m_caption.FontInfo;
    bool bEffectsShown = true;
    WhenModal(
        [&](QWidget* d)
        {
            bEffectsShown = false;
            for (auto* pBox : d->findChildren<QCheckBox*>())
                bEffectsShown = bEffectsShown || pBox->isVisibleTo(d);
            for (auto* pCombo : d->findChildren<QComboBox*>())
                bEffectsShown = bEffectsShown || pCombo->isVisibleTo(d);
            qobject_cast<QFontDialog*>(d)->accept();
        });
    fresh.OnFont();
    EXPECT_FALSE(bEffectsShown);
    const LOGFONTA& back = fresh.m_caption.FontInfo;
    EXPECT_STREQ(back.lfFaceName, drawn.lfFaceName);
    EXPECT_EQ(back.lfHeight, drawn.lfHeight);
    EXPECT_EQ(back.lfWeight, drawn.lfWeight);
    EXPECT_EQ(back.lfItalic, drawn.lfItalic);

    // An underline chosen some other way is not taken from the dialog's result.
    WhenModal(
        [](QWidget* d)
        {
            auto* pFonts = qobject_cast<QFontDialog*>(d);
            QFont f = pFonts->currentFont();
            f.setUnderline(true);
            f.setStrikeOut(true);
            pFonts->setCurrentFont(f);
            pFonts->accept();
        });
    fresh.OnFont();
    EXPECT_EQ(fresh.m_caption.FontInfo.lfUnderline, 0);
    EXPECT_EQ(fresh.m_caption.FontInfo.lfStrikeOut, 0);
}
