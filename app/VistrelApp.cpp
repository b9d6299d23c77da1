#include "app/VistrelApp.h"

#include "app/dialogs/AboutDlg.h"
#include "platform/ui/MessageBox.h"
#include "view/VistrelView.h"

#include <sys/socket.h>
#include <unistd.h>

namespace
{
bool SocketsWork()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    const int fd4 = fd >= 0 ? fd : ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd4 < 0)
        return false;
    ::close(fd4);
    return true;
}
} // namespace

CVistrelApp::CVistrelApp(const CDriverList& drivers) : m_drivers(drivers)
{
    OnCommand(CMainFrame::ID_APP_ABOUT, [this] { OnAbout(); });
}

CVistrelApp::~CVistrelApp() = default;

bool CVistrelApp::InitInstance()
{
    if (!SocketsWork())
    {
        AfxMessageBox("Windows sockets initialization failed.", MB_OK);
        return false;
    }
    m_pDoc = std::make_unique<CVistrelDoc>();
    m_pFrame = std::make_unique<CMainFrame>(this, m_pDoc.get());
    if (m_pFrame->OnCreate(m_drivers) != 0)
    {
        m_pFrame.reset();
        return false;
    }
    m_pFrame->GetActiveView()->SetRunOptions(m_options);
    m_pFrame->GetActiveView()->OnInitialUpdate();
    if (m_pFrame->GetActiveView()->StartFailed())
    {
        m_pFrame.reset();
        return false; // a service manager sees the failure and may start again
    }
    m_pFrame->show();
    return true;
}

void CVistrelApp::OnAbout()
{
    CAboutDlg dlg;
    dlg.DoModal();
}
