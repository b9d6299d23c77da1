#pragma once
// The application: checks that sockets work, creates the document, the main frame with its
// view, runs the view's start-up and shows the window.

#include "app/MainFrame.h"
#include "app/VistrelDoc.h"
#include "platform/capture/DriverList.h"
#include "platform/ui/CmdTarget.h"
#include "settings/RunOptions.h"

#include <memory>

class CVistrelApp : public CCmdTarget
{
public:
    static constexpr int ID_FILE_NEW = 57600;
    static constexpr int ID_FILE_OPEN = 57601;

    explicit CVistrelApp(const CDriverList& drivers);
    ~CVistrelApp() override;

    // False when the program cannot start (the reason has been shown).
    bool InitInstance();
    // Settings for this run only, laid over the stored ones at start-up.
    void SetRunOptions(const CRunOptions& options) { m_options = options; }
    CMainFrame* MainFrame() const { return m_pFrame.get(); }
    CVistrelDoc* Document() const { return m_pDoc.get(); }
    void OnAbout();

private:
    const CDriverList& m_drivers;
    std::unique_ptr<CVistrelDoc> m_pDoc;
    std::unique_ptr<CMainFrame> m_pFrame;
    CRunOptions m_options;
};
