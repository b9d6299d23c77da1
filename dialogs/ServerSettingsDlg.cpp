#include "dialogs/ServerSettingsDlg.h"

const CDlgTemplate& CServerSettingsDlg::Template()
{
    static const CDlgTemplate t{
        IDD,
        "Server Settings",
        160,
        137,
        {
            {IDC_ENABLE_SERVER, CtrlKind::CheckBox, "Enable Web Server", 7, 7, 78, 10, WS_TABSTOP},
            {IDC_PORT, CtrlKind::Edit, "", 113, 22, 40, 14, WS_TABSTOP | ES_AUTOHSCROLL},
            {IDC_HTTP_HEADERS, CtrlKind::CheckBox, "Include HTTP headers", 7, 41, 88, 10,
             WS_TABSTOP},
            {IDC_STATIC, CtrlKind::GroupBox, "Image Format", 7, 62, 93, 26, 0},
            {IDC_JPEG, CtrlKind::RadioButton, "JPEG", 13, 74, 34, 10, WS_GROUP | WS_TABSTOP},
            {IDC_BMP, CtrlKind::RadioButton, "BMP", 53, 74, 31, 10, 0},
            {IDOK, CtrlKind::DefPushButton, "OK", 7, 116, 50, 14, WS_GROUP | WS_TABSTOP},
            {IDCANCEL, CtrlKind::PushButton, "Cancel", 103, 116, 50, 14, WS_TABSTOP},
            {IDC_STATIC, CtrlKind::Static, "Web image server listens on port:", 7, 25, 106, 8, 0},
        }};
    return t;
}

CServerSettingsDlg::CServerSettingsDlg(QWidget* pParent) : CDialog(Template(), pParent) {}

void CServerSettingsDlg::DoDataExchange(CDataExchange* pDX)
{
    DDX_Text(pDX, IDC_PORT, m_nServerPort);
    DDX_Check(pDX, IDC_HTTP_HEADERS, m_bHttpHeaders);
    DDX_Check(pDX, IDC_ENABLE_SERVER, m_bServerEnabled);
    DDX_Radio(pDX, IDC_JPEG, m_nImageType);
}
