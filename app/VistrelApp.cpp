#include "app/VistrelApp.h"

#include "dialogs/AboutDlg.h"
#include "view/VistrelView.h"

CVistrelApp::CVistrelApp(CCameraServer& core, CMainFrame::CTray tray) : m_core(core), m_tray(tray)
{
    OnCommand(ID_APP_ABOUT, [this] { OnAbout(); });
}

CVistrelApp::~CVistrelApp() = default;

bool CVistrelApp::InitInstance()
{
    m_pDoc = std::make_unique<CVistrelDoc>();
    m_pFrame = std::make_unique<CMainFrame>(this, m_pDoc.get(), m_tray);
    if (m_pFrame->OnCreate(m_core) != 0)
    {
        m_pFrame.reset();
        return false;
    }
    if (!m_core.Start())
    {
        m_pFrame.reset();
        return false; // a service manager sees the failure and may start again
    }
    m_pFrame->GetActiveView()->OnInitialUpdate();
    m_pFrame->show();
    return true;
}

void CVistrelApp::OnAbout()
{
    CAboutDlg dlg;
    dlg.DoModal();
}
