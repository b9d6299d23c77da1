#pragma once
// The window application: the document, the main frame with its view over the camera server,
// the start of the camera server, and the window shown.

#include "app/MainFrame.h"
#include "app/VistrelDoc.h"
#include "core/CameraServer.h"
#include "platform/ui/CmdTarget.h"

#include <memory>

class CVistrelApp : public CCmdTarget
{
public:
    // The camera server must outlive the application.
    explicit CVistrelApp(CCameraServer& core, CMainFrame::CTray tray = CMainFrame::SystemTray());
    ~CVistrelApp() override;

    // False when the program cannot start (the reason has been shown).
    bool InitInstance();
    CMainFrame* MainFrame() const { return m_pFrame.get(); }
    CVistrelDoc* Document() const { return m_pDoc.get(); }
    void OnAbout();

private:
    CCameraServer& m_core;
    CMainFrame::CTray m_tray;
    std::unique_ptr<CVistrelDoc> m_pDoc;
    std::unique_ptr<CMainFrame> m_pFrame;
};
