#include "app/MainFrame.h"

#include "platform/ui/MessageBox.h"
#include "platform/ui/TrayHost.h"
#include "view/VistrelView.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMenu>
#include <QMenuBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QWindowStateChangeEvent>

namespace
{
QString PromptLine(const char* pszPrompt)
{
    // The status bar shows a prompt up to its line break; the rest is a tooltip's.
    const QString s = QString::fromUtf8(pszPrompt);
    return s.section(QLatin1Char('\n'), 0, 0);
}
} // namespace

const std::vector<CMainFrame::CPopup>& CMainFrame::MenuTemplate()
{
    static const std::vector<CPopup> menu = {
        {"&File",
         {{"&Save Settings", ID_FILE_SAVE, "Save Vistrel properties\nSave"},
          {"E&xit", ID_APP_EXIT, "Quit Vistrel"}}},
        {"Video",
         {{"Source", ID_VIDEO_SOURCE, "Choose line/source specific to this capture device"},
          {"Format", ID_VIDEO_FORMAT, "Change compression and image size settings"},
          {"Display", ID_VIDEO_DISPLAY, "Misc. capture device settings"},
          {nullptr, 0, nullptr}}},
        {"Options",
         {{"Web Server...", ID_OPTIONS_SERVER, "Set web server properties"},
          {"Image...", ID_OPTIONS_IMAGE, nullptr}}},
        {"&Help",
         {{"&About Vistrel...", ID_APP_ABOUT,
           "Display program information, version number and copyright\nAbout"}}},
    };
    return menu;
}

CMainFrame::CTray CMainFrame::SystemTray()
{
    CTray tray;
    tray.bAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    tray.bDoubleClicks = !tray.bAvailable || !CTrayHost::IsStatusNotifierHost();
    return tray;
}

CMainFrame::CMainFrame(CCmdTarget* pApp, CVistrelDoc* pDoc, CTray tray)
    : m_pApp(pApp), m_pDoc(pDoc), m_tray(tray)
{
    setWindowIcon(QIcon(QStringLiteral(":/icon128.png")));
    OnCommand(ID_APP_EXIT, [this] { close(); });
    connect(m_pDoc, &CVistrelDoc::TitleChanged, this,
            [this](const QString& t) { UpdateCaption(t); });
    UpdateCaption(m_pDoc->GetTitle());
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::UpdateCaption(const QString& title)
{
    setWindowTitle(title.isEmpty() ? QStringLiteral("Vistrel")
                                   : title + QStringLiteral(" - Vistrel"));
}

int CMainFrame::OnCreate(CCameraServer& core)
{
    m_pCore = &core;
    const CDriverList& drivers = core.Drivers();
    for (const CPopup& popup : MenuTemplate())
    {
        QMenu* pMenu = menuBar()->addMenu(QString::fromUtf8(popup.pszText));
        for (const CMenuItem& item : popup.items)
        {
            if (item.pszText == nullptr)
            {
                pMenu->addSeparator();
                continue;
            }
            QAction* pAction = pMenu->addAction(QString::fromUtf8(item.pszText));
            pAction->setProperty("commandId", item.nId);
            if (item.pszPrompt != nullptr)
                pAction->setStatusTip(PromptLine(item.pszPrompt));
            connect(pAction, &QAction::triggered, this,
                    [this, nId = item.nId] { RouteCommand(nId); });
        }
        connect(pMenu, &QMenu::aboutToShow, this, [this, pMenu] { UpdateMenu(pMenu); });
    }

    // The Video popup: the last top-level menu whose first item is "Source" (32772).
    const auto menus = menuBar()->actions();
    for (auto it = menus.rbegin(); it != menus.rend() && m_pVideoMenu == nullptr; ++it)
    {
        QMenu* pMenu = (*it)->menu();
        if (pMenu != nullptr && !pMenu->actions().isEmpty() &&
            pMenu->actions().first()->property("commandId").toInt() == ID_VIDEO_SOURCE)
            m_pVideoMenu = pMenu;
    }
    int nDrivers = 0;
    std::string name;
    for (int i = 0; i < kMaxDriverItems && drivers.GetDriverDescription(i, name); ++i)
    {
        if (m_pVideoMenu != nullptr)
        {
            QAction* pAction = m_pVideoMenu->addAction(QString::fromStdString(name));
            const int nId = ID_DRIVER_FIRST + i;
            pAction->setProperty("commandId", nId);
            connect(pAction, &QAction::triggered, this, [this, nId] { RouteCommand(nId); });
        }
        ++nDrivers;
    }
    if (nDrivers == 0)
    {
        AfxMessageBox("Sorry, can't find any capture devices", MB_OK);
        return -1;
    }

    m_pView = new CVistrelView(core);
    m_pScroll = new QScrollArea(this);
    m_pScroll->setFrameShape(QFrame::NoFrame);
    m_pScroll->setWidget(m_pView);
    setCentralWidget(m_pScroll);
    m_pDoc->SetTitle(QString::fromStdString(core.Title()));
    connect(&core, &CCameraServer::TitleChanged, m_pDoc, &CVistrelDoc::SetTitle);
    connect(m_pView, &CVistrelView::ResizeParentToFit, this,
            [this](const QSize& s) { ResizeToFit(s); });
    connect(&core, &CCameraServer::StatusChanged, this,
            [this](const QString& text)
            {
                // A problem that went away takes its text from the status bar with it.
                if (!text.isEmpty())
                    statusBar()->showMessage(text);
                else if (!m_lastProblem.isEmpty() && statusBar()->currentMessage() == m_lastProblem)
                    statusBar()->clearMessage();
                m_lastProblem = text;
            });

    connect(&core, &CCameraServer::SaveReported, this,
            [this](const QString& text) { statusBar()->showMessage(text, kSaveMessageMs); });

    // One pane: menu prompts, and "Ready" when there is none.
    QStatusBar* pStatus = statusBar();
    pStatus->setSizeGripEnabled(false);
    connect(pStatus, &QStatusBar::messageChanged, pStatus,
            [pStatus](const QString& message)
            {
                if (message.isEmpty())
                    pStatus->showMessage(QStringLiteral("Ready"));
            });
    pStatus->showMessage(QStringLiteral("Ready"));

    m_pTray = new QSystemTrayIcon(this);
    connect(m_pTray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason r) { OnTrayNotify(r); });
    // What users look for on a tray icon's menu: the window back, and a way out.
    auto* pTrayMenu = new QMenu(this);
    pTrayMenu->setObjectName(QStringLiteral("trayMenu"));
    connect(pTrayMenu->addAction(QStringLiteral("&Restore")), &QAction::triggered, this,
            [this] { RestoreFromTray(); });
    connect(pTrayMenu->addAction(QStringLiteral("E&xit")), &QAction::triggered, this,
            [this]
            {
                RouteCommand(ID_APP_EXIT);
                // A hidden window's close is not the last window closing: quit outright.
                QCoreApplication::quit();
            });
    m_pTray->setContextMenu(pTrayMenu);
    return 0;
}

QAction* CMainFrame::FindAction(int nId) const
{
    for (QAction* pTop : menuBar()->actions())
        if (pTop->menu() != nullptr)
            for (QAction* p : pTop->menu()->actions())
                if (p->property("commandId").toInt() == nId)
                    return p;
    return nullptr;
}

void CMainFrame::RouteCommand(int nId)
{
    if (m_pView != nullptr && m_pView->OnCmdMsg(nId, CN_COMMAND, nullptr))
        return;
    if (OnCmdMsg(nId, CN_COMMAND, nullptr))
        return;
    if (m_pApp != nullptr)
        m_pApp->OnCmdMsg(nId, CN_COMMAND, nullptr);
}

void CMainFrame::UpdateMenu(QMenu* pMenu)
{
    for (QAction* pAction : pMenu->actions())
    {
        const int nId = pAction->property("commandId").toInt();
        if (nId == 0)
            continue;
        CCmdUI ui(nId, pAction);
        CCmdTarget* targets[] = {m_pView, this, m_pApp};
        bool bHandled = false;
        for (CCmdTarget* t : targets)
            if (t != nullptr && t->OnCmdMsg(nId, CN_UPDATE_COMMAND_UI, &ui))
            {
                bHandled = true;
                break;
            }
        if (!bHandled)
        {
            // As the framework does: an item with a handler is enabled, one without is not.
            bool bHasHandler = false;
            for (CCmdTarget* t : targets)
                bHasHandler = bHasHandler || (t != nullptr && t->HasCommandHandler(nId));
            pAction->setEnabled(bHasHandler);
        }
    }
}

void CMainFrame::ResizeToFit(const QSize& extent)
{
    // The frame fits the view exactly, but never hides its menu bar.
    const int nWidth = std::max(extent.width(), menuBar()->sizeHint().width());
    const int nHeight =
        extent.height() + menuBar()->sizeHint().height() + statusBar()->sizeHint().height();
    setMinimumWidth(menuBar()->sizeHint().width());
    resize(nWidth, nHeight);
}

QIcon CMainFrame::ServerIcon(bool bEnabled)
{
    return QIcon(bEnabled ? QStringLiteral(":/tray141.png") : QStringLiteral(":/tray137.png"));
}

void CMainFrame::changeEvent(QEvent* pEvent)
{
    QMainWindow::changeEvent(pEvent);
    if (pEvent->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) &&
        !m_bHiding)
        OnSysCommandMinimize();
}

void CMainFrame::OnSysCommandMinimize()
{
    // Without a notification area the window minimises as usual: hidden, it could never
    // be brought back.
    if (!m_tray.bAvailable || m_pTray == nullptr)
        return;
    const bool bEnabled = m_pCore != nullptr && m_pCore->Settings().ServerEnabled != 0;
    m_pTray->setIcon(ServerIcon(bEnabled));
    m_pTray->setToolTip(bEnabled ? QStringLiteral("Vistrel On") : QStringLiteral("Vistrel Off"));
    m_bHiding = true;
    setWindowState(windowState() & ~Qt::WindowMinimized); // never iconic: keeps size and place
    m_bHiding = false;
    m_normalGeometry = geometry();
    hide();
    m_pTray->show();
}

void CMainFrame::OnTrayNotify(QSystemTrayIcon::ActivationReason reason)
{
    // Where the tray delivers no double click, its activation is the only way back.
    const bool bRestore = reason == QSystemTrayIcon::DoubleClick ||
                          (reason == QSystemTrayIcon::Trigger && !m_tray.bDoubleClicks);
    if (bRestore)
        RestoreFromTray();
}

void CMainFrame::RestoreFromTray()
{
    if (m_pTray == nullptr || !m_pTray->isVisible())
        return;
    m_pTray->hide();
    show();
    if (m_normalGeometry.isValid())
        setGeometry(m_normalGeometry);
    activateWindow();
}
