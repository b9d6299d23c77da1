#include "captions/CaptionDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontDialog>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <climits>
#include <cmath>

const CDlgTemplate& CCaptionDlg::Template()
{
    static const CDlgTemplate t{
        IDD,
        "Image Caption",
        230,
        129,
        {
            {1010, CtrlKind::RadioButton, "Left", 15, 20, 28, 10, WS_GROUP | WS_TABSTOP},
            {1007, CtrlKind::RadioButton, "Center", 15, 31, 37, 10, 0},
            {1008, CtrlKind::RadioButton, "Right", 15, 42, 33, 10, 0},
            {1012, CtrlKind::RadioButton, nullptr, 15, 54, 11, 8, 0},
            {IDC_XPOS, CtrlKind::Edit, "", 29, 54, 22, 14, ES_AUTOHSCROLL},
            {IDC_HORZ_FRAME, CtrlKind::GroupBox, nullptr, 13, 16, 13, 49, WS_INVISIBLE},
            {1006, CtrlKind::RadioButton, "Top", 69, 20, 29, 10, WS_GROUP | WS_TABSTOP},
            {1011, CtrlKind::RadioButton, "Middle", 69, 31, 37, 10, 0},
            {1013, CtrlKind::RadioButton, "Bottom", 69, 42, 38, 10, 0},
            {1009, CtrlKind::RadioButton, nullptr, 69, 54, 11, 8, 0},
            {IDC_YPOS, CtrlKind::Edit, "", 83, 54, 22, 14, ES_AUTOHSCROLL},
            {IDC_VERT_FRAME, CtrlKind::GroupBox, nullptr, 66, 16, 15, 51, WS_INVISIBLE},
            {IDC_TEXT_COLOR, CtrlKind::OwnerDrawButton, "T", 127, 27, 30, 14, WS_TABSTOP},
            {1029, CtrlKind::RadioButton, nullptr, 166, 31, 12, 8, WS_GROUP | WS_TABSTOP},
            {1017, CtrlKind::RadioButton, "Transparent", 166, 48, 51, 10, 0},
            {IDC_BACK_COLOR, CtrlKind::OwnerDrawButton, "B", 184, 27, 30, 14, WS_TABSTOP},
            {IDC_BACK_FRAME, CtrlKind::GroupBox, "Color", 159, 25, 21, 35, WS_INVISIBLE},
            {IDC_FONT, CtrlKind::PushButton, "Font...", 147, 64, 50, 14, WS_TABSTOP},
            {IDC_TEXT, CtrlKind::Edit, "", 7, 87, 216, 14, WS_TABSTOP | ES_AUTOHSCROLL},
            {IDOK, CtrlKind::DefPushButton, "OK", 7, 109, 50, 14, WS_TABSTOP},
            {IDCANCEL, CtrlKind::PushButton, "Cancel", 173, 109, 50, 14, WS_TABSTOP},
            {IDC_STATIC, CtrlKind::Static, "Text", 129, 16, 15, 8, 0},
            {IDC_STATIC, CtrlKind::Static, "Background", 166, 16, 40, 8, 0},
            {IDC_STATIC, CtrlKind::GroupBox, "Color", 117, 7, 106, 56, 0},
            {IDC_STATIC, CtrlKind::GroupBox, "Position", 7, 7, 108, 71, 0},
        }};
    return t;
}

CCaptionDlg::CCaptionDlg(QWidget* pParent) : CDialog(Template(), pParent)
{
    m_pTextPicker = Subclass(IDC_TEXT_COLOR, new CColorPickerButton);
    m_pBackPicker = Subclass(IDC_BACK_COLOR, new CColorPickerButton);
    // The position edits take no tab stop, as designed, but stay reachable by the mouse.
    for (int nId : {IDC_XPOS, IDC_YPOS})
        if (QWidget* p = GetDlgItem(nId))
            p->setFocusPolicy(Qt::ClickFocus);
    CTemplateBuilder::ChainTabOrder(Controls());
    if (auto* pText = Item<QLineEdit>(IDC_TEXT))
        pText->setMaxLength(int(CCaption::kMaxTextBytes));
    if (auto* pFont = Item<QPushButton>(IDC_FONT))
        connect(pFont, &QPushButton::clicked, this, [this] { OnFont(); });
}

void CCaptionDlg::DoDataExchange(CDataExchange* pDX)
{
    m_vertFrame.Attach(GetDlgItem(IDC_VERT_FRAME), Controls());
    m_backFrame.Attach(GetDlgItem(IDC_BACK_FRAME), Controls());
    m_horzFrame.Attach(GetDlgItem(IDC_HORZ_FRAME), Controls());
    DDX_Text(pDX, IDC_TEXT, m_caption.Text);
    // A longer text would be saved but could not be loaded back.
    if (pDX->m_bSaveAndValidate && m_caption.Text.size() > CCaption::kMaxTextBytes)
        pDX->Fail(GetDlgItem(IDC_TEXT), kMsgTextTooLong);
    DDX_Text(pDX, IDC_XPOS, m_caption.XPos);
    DDX_Text(pDX, IDC_YPOS, m_caption.YPos);
    if (pDX->Failed())
        return;
    if (pDX->m_bSaveAndValidate)
    {
        m_caption.HPosType = m_horzFrame.GetCheckedIndex() - 1;
        m_caption.VPosType = m_vertFrame.GetCheckedIndex() - 1;
        m_caption.BackType = m_backFrame.GetCheckedIndex() - 1;
        m_caption.TextColor = m_pTextPicker->m_color;
        m_caption.BackColor = m_pBackPicker->m_color;
    }
    else
    {
        m_horzFrame.SetCheckedIndex(m_caption.HPosType + 1);
        m_vertFrame.SetCheckedIndex(m_caption.VPosType + 1);
        m_backFrame.SetCheckedIndex(m_caption.BackType + 1);
        m_pTextPicker->m_color = m_caption.TextColor;
        m_pBackPicker->m_color = m_caption.BackColor;
        m_pTextPicker->update();
        m_pBackPicker->update();
    }
}

const char* const CCaptionDlg::kMsgTextTooLong =
    "The caption text is too long: at most 1023 bytes are kept (a letter outside ASCII takes "
    "two to four).";

QFont CCaptionDlg::DialogFont(const LOGFONTA& lf)
{
    CFont drawn;
    drawn.CreateFontIndirect(lf);
    const QFontInfo info(drawn.QtFont());
    QFont font(info.family());
    // The dialog shows styles by name and sizes in points; a font given only by weight, slant
    // and pixels would open on whatever style sorts first.
    // The face the caption is drawn with, by the name the dialog lists it under; failing
    // that, the listed style of the same slant nearest in weight.
    const QStringList styles = QFontDatabase::styles(info.family());
    QString best = styles.contains(info.styleName()) ? info.styleName() : QString();
    int nBestDistance = INT_MAX;
    for (const QString& style : best.isEmpty() ? styles : QStringList())
    {
        const bool bSlanted =
            QFontDatabase::font(info.family(), style, 12).style() != QFont::StyleNormal;
        const int nDistance = std::abs(QFontDatabase::weight(info.family(), style) - info.weight());
        if (bSlanted == info.italic() && nDistance < nBestDistance)
        {
            best = style;
            nBestDistance = nDistance;
        }
    }
    if (!best.isEmpty())
        font.setStyleName(best);
    font.setWeight(QFont::Weight(info.weight()));
    font.setItalic(info.italic());
    const double dpi = QFontMetricsF(font).fontDpi();
    font.setPointSizeF(info.pixelSize() * 72.0 / (dpi > 0 ? dpi : 96.0));
    return font;
}

void CCaptionDlg::OnFont()
{
    QFontDialog dialog(DialogFont(m_caption.FontInfo));
    dialog.setOption(QFontDialog::DontUseNativeDialog);
    dialog.setWindowTitle(QStringLiteral("Font"));
    // No effects and no writing system: only the face, style and size are the user's to choose.
    for (auto* pGroup : dialog.findChildren<QGroupBox*>())
        if (!pGroup->findChildren<QCheckBox*>().isEmpty())
            pGroup->hide();
    for (auto* pCombo : dialog.findChildren<QComboBox*>())
    {
        pCombo->hide();
        for (auto* pLabel : dialog.findChildren<QLabel*>())
            if (pLabel->buddy() == pCombo)
                pLabel->hide();
    }
    if (dialog.exec() != QDialog::Accepted)
        return;
    LOGFONTA chosen = CFont::LogFontFromQFont(dialog.selectedFont());
    chosen.lfUnderline = m_caption.FontInfo.lfUnderline;
    chosen.lfStrikeOut = m_caption.FontInfo.lfStrikeOut;
    chosen.lfCharSet = m_caption.FontInfo.lfCharSet;
    chosen.lfQuality = m_caption.FontInfo.lfQuality;
    m_caption.FontInfo = chosen;
}
