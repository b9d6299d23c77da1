#include "dialogs/AboutDlg.h"

#include <QPushButton>

const CDlgTemplate& CAboutDlg::Template()
{
    static const CDlgTemplate t{
        IDD,
        "About Vistrel",
        287,
        77,
        {
            {IDOK, CtrlKind::DefPushButton, "OK", 248, 7, 32, 14, WS_GROUP | WS_TABSTOP},
            {IDC_AUTHOR, CtrlKind::Static, kAuthor, 39, 20, 38, 8, WS_GROUP | WS_TABSTOP},
            {IDC_HOME_PAGE, CtrlKind::Static, "Vistrel Homepage", 55, 39, 83, 8,
             WS_GROUP | WS_TABSTOP},
            {IDC_JPEG_GROUP, CtrlKind::Static, "Independent JPEG Group", 166, 57, 82, 8,
             WS_GROUP | WS_TABSTOP},
            {IDC_STATIC, CtrlKind::Icon, nullptr, 7, 7, 20, 20, 0},
            {IDC_STATIC, CtrlKind::Static, "Come visit the", 7, 39, 45, 8, SS_CENTERIMAGE},
            {IDC_STATIC, CtrlKind::Static, "JPEG Compression Code is from the library by the ", 7,
             57, 157, 8, SS_CENTERIMAGE},
        }};
    return t;
}

namespace
{
CHyperLink* MakeLink(CDialog& dlg, int nId)
{
    auto* pOld = dlg.GetDlgItem(nId);
    auto* pLink = new CHyperLink;
    if (auto* pLabel = qobject_cast<QLabel*>(pOld))
        pLink->setText(pLabel->text());
    pLink->setFocusPolicy(Qt::StrongFocus);
    return dlg.Subclass(nId, pLink);
}
} // namespace

CAboutDlg::CAboutDlg(QWidget* pParent) : CDialog(Template(), pParent)
{
    m_pAuthorLink = MakeLink(*this, IDC_AUTHOR);
    m_pHomePageLink = MakeLink(*this, IDC_HOME_PAGE);
    m_pJpegGroupLink = MakeLink(*this, IDC_JPEG_GROUP);
}

void CAboutDlg::DoDataExchange(CDataExchange* pDX)
{
    if (pDX->m_bSaveAndValidate)
        return;
    m_pJpegGroupLink->PreSubclassWindow();
    m_pHomePageLink->PreSubclassWindow();
    m_pAuthorLink->PreSubclassWindow();
}

bool CAboutDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_pJpegGroupLink->SetTarget(kJpegGroupPage);
    m_pHomePageLink->SetTarget(kHomePage);
    m_pAuthorLink->SetTarget(kAuthorAddress);
    if (auto* pOk = Item<QPushButton>(IDOK))
        pOk->setFocus();
    return true;
}
