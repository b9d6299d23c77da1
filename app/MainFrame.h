#pragma once
// The main window: menu 128 with the capture drivers appended to the Video menu, the view, a
// one-pane status bar, and hiding into the notification area instead of minimising.

#include "app/VistrelDoc.h"
#include "core/CameraServer.h"
#include "platform/ui/CmdTarget.h"
#include "view/CommandIds.h"

#include <QMainWindow>
#include <QSystemTrayIcon>

#include <vector>

class CVistrelView;
class QMenu;
class QScrollArea;

class CMainFrame : public QMainWindow, public CCmdTarget
{
    Q_OBJECT
public:
    static constexpr int kSaveMessageMs = 10000; // how long "Settings saved" stays

    struct CMenuItem
    {
        const char* pszText; // null for a separator
        int nId;
        const char* pszPrompt; // the string-table prompt, or null
    };
    struct CPopup
    {
        const char* pszText;
        std::vector<CMenuItem> items;
    };
    static const std::vector<CPopup>& MenuTemplate();

    // The notification area: whether there is one, and whether it delivers double clicks
    // (XEmbed) or only activations (StatusNotifierItem).
    struct CTray
    {
        bool bAvailable = false;
        bool bDoubleClicks = true;
    };
    static CTray SystemTray();

    CMainFrame(CCmdTarget* pApp, CVistrelDoc* pDoc, CTray tray = SystemTray());
    ~CMainFrame() override;

    // Menu, driver items, the view of the camera server and the status bar; -1 when there is
    // no capture driver.
    int OnCreate(CCameraServer& core);
    CVistrelView* GetActiveView() const { return m_pView; }
    QMenu* VideoMenu() const { return m_pVideoMenu; }
    QAction* FindAction(int nId) const;

    // Routes a command to the view, the frame, then the application.
    void RouteCommand(int nId);
    // Runs the update handlers of a menu's items, as when the menu is about to show.
    void UpdateMenu(QMenu* pMenu);

    QSystemTrayIcon* TrayIcon() const { return m_pTray; }
    void OnSysCommandMinimize();
    void OnTrayNotify(QSystemTrayIcon::ActivationReason reason);
    void RestoreFromTray();
    static QIcon ServerIcon(bool bEnabled);

protected:
    void changeEvent(QEvent* pEvent) override;

private:
    void ResizeToFit(const QSize& extent);
    void UpdateCaption(const QString& title);

    CCmdTarget* m_pApp;
    CVistrelDoc* m_pDoc;
    CCameraServer* m_pCore = nullptr;
    CVistrelView* m_pView = nullptr;
    QScrollArea* m_pScroll = nullptr;
    QMenu* m_pVideoMenu = nullptr;
    QSystemTrayIcon* m_pTray = nullptr;
    const CTray m_tray;
    bool m_bHiding = false;
    QRect m_normalGeometry;
    QString m_lastProblem; // the image service's problem text on the status bar, if any
};
