#include "dialogs/ImageSettingsDlg.h"

#include "captions/CaptionDlg.h"

#include <QCheckBox>
#include <QSlider>

const CDlgTemplate& CImageSettingsDlg::Template()
{
    static const CDlgTemplate t{
        IDD,
        "Image Settings",
        265,
        151,
        {
            {IDOK, CtrlKind::DefPushButton, "OK", 7, 130, 50, 14, WS_TABSTOP},
            {IDCANCEL, CtrlKind::PushButton, "Cancel", 85, 130, 50, 14, WS_TABSTOP},
            {IDC_STATIC, CtrlKind::GroupBox, "Image Size", 7, 7, 82, 65, 0},
            {IDC_CAPTURE_DEFAULT, CtrlKind::RadioButton, "Capture Default", 15, 21, 65, 10,
             WS_GROUP | WS_TABSTOP},
            {IDC_CUSTOM_SIZE, CtrlKind::RadioButton, nullptr, 15, 45, 16, 8, 0},
            {IDC_STATIC, CtrlKind::Static, "Width", 33, 39, 20, 8, WS_GROUP},
            {IDC_STATIC, CtrlKind::Static, "Height", 33, 54, 22, 8, 0},
            {IDC_WIDTH, CtrlKind::Edit, "", 59, 36, 20, 14, WS_TABSTOP | ES_AUTOHSCROLL},
            {IDC_HEIGHT, CtrlKind::Edit, "", 59, 51, 20, 14, WS_TABSTOP | ES_AUTOHSCROLL},
            {IDC_STATIC, CtrlKind::Static, "JPEG Quality", 36, 76, 42, 8, 0},
            {IDC_QUALITY, CtrlKind::Trackbar, nullptr, 7, 88, 100, 15, WS_TABSTOP},
            {IDC_STATIC, CtrlKind::Static, "Poor", 8, 104, 16, 8, 0},
            {IDC_STATIC, CtrlKind::Static, "Excellent", 79, 104, 30, 8, 0},
            {IDC_FIRST_CAPTION, CtrlKind::CheckBox, "Click To Change Message", 149, 78, 99, 10,
             WS_TABSTOP},
            {IDC_USE_OVERLAY, CtrlKind::CheckBox, "Use overlay image", 103, 17, 74, 10, WS_TABSTOP},
            {IDC_OVERLAY_COLOR, CtrlKind::OwnerDrawButton, nullptr, 181, 29, 30, 14, WS_TABSTOP},
            {IDC_STATIC, CtrlKind::GroupBox, "Overlay Image", 96, 7, 162, 42, 0},
            {IDC_STATIC, CtrlKind::GroupBox, "Include Captions", 143, 66, 115, 78, 0},
            {IDC_FIRST_CAPTION + 1, CtrlKind::CheckBox, "Click To Change Message", 149, 88, 99, 10,
             WS_TABSTOP},
            {IDC_FIRST_CAPTION + 2, CtrlKind::CheckBox, "Click To Change Message", 149, 98, 99, 10,
             WS_TABSTOP},
            {IDC_FIRST_CAPTION + 3, CtrlKind::CheckBox, "Click To Change Message", 149, 108, 99, 10,
             WS_TABSTOP},
            {IDC_FIRST_CAPTION + 4, CtrlKind::CheckBox, "Click To Change Message", 149, 118, 99, 10,
             WS_TABSTOP},
            {IDC_FIRST_CAPTION + 5, CtrlKind::CheckBox, "Click To Change Message", 149, 128, 99, 10,
             WS_TABSTOP},
            {IDC_STATIC, CtrlKind::Static, "This color is transparent:", 103, 32, 78, 8, 0},
        }};
    return t;
}

CImageSettingsDlg::CImageSettingsDlg(QWidget* pParent) : CDialog(Template(), pParent)
{
    m_pPicker = Subclass(IDC_OVERLAY_COLOR, new CColorPickerButton);
    m_pTrackbar = Item<QSlider>(IDC_QUALITY);
    for (int i = 0; i < 6; ++i)
        if (auto* pBox = Item<QCheckBox>(IDC_FIRST_CAPTION + i))
            connect(pBox, &QCheckBox::clicked, this, [this, i] { OnCaption(i); });
}

void CImageSettingsDlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Text(pDX, IDC_HEIGHT, m_nHeight);
    DDX_Text(pDX, IDC_WIDTH, m_nWidth);
    DDX_Radio(pDX, IDC_CAPTURE_DEFAULT, m_nSizeChoice);
    DDX_Check(pDX, IDC_USE_OVERLAY, m_bUseOverlay);
    for (int i = 0; i < 6; ++i)
    {
        DDX_Check(pDX, IDC_FIRST_CAPTION + i, m_captions[std::size_t(i)].Enabled);
        DDX_Text(pDX, IDC_FIRST_CAPTION + i, m_captions[std::size_t(i)].Text);
    }
    if (pDX->Failed())
        return;
    if (pDX->m_bSaveAndValidate)
    {
        m_nQuality = m_pTrackbar->value();
        m_overlayColor = m_pPicker->m_color;
    }
    else
    {
        m_pTrackbar->setValue(m_nQuality); // the control clamps it to 0..100
        m_pPicker->m_color = m_overlayColor;
        m_pPicker->update();
    }
}

void CImageSettingsDlg::OnCaption(int nIndex)
{
    auto* pBox = Item<QCheckBox>(IDC_FIRST_CAPTION + nIndex);
    // The other controls' values come into the dialog first, so the refresh after the editor
    // shows them as the user left them. A value that is refused undoes the click.
    if (!UpdateData(true))
    {
        if (pBox != nullptr)
            pBox->setChecked(!pBox->isChecked());
        return;
    }
    CCaption& caption = m_captions[std::size_t(nIndex)];
    if (caption.Enabled == 0)
        return; // unchecking never opens the editor
    CCaptionDlg editor;
    editor.m_caption = caption;
    if (editor.DoModal() != IDOK)
        return;
    caption = editor.m_caption;
    UpdateData(false);
}
