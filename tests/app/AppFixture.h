#pragma once
// A Vistrel application started in-process with its own store and a driver list of the
// test's choosing; message boxes are collected instead of shown.

#include "app/Reporters.h"
#include "app/VistrelApp.h"
#include "platform/capture/TestPatternDriver.h"
#include "platform/registry/RegistryKey.h"
#include "platform/ui/MessageBox.h"
#include "tests/support/Modal.h"
#include "tests/support/NetClient.h"
#include "tests/support/RefusingDriver.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "view/VistrelView.h"

#include <QApplication>
#include <QMenu>
#include <QTimer>

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

inline CDriverList MakeDrivers(int nPatterns, bool bWithBroken = false)
{
    std::vector<std::unique_ptr<CCaptureDriver>> d;
    if (bWithBroken)
        d.push_back(std::make_unique<CRefusingDriver>());
    for (int i = 0; i < nPatterns; ++i)
        d.push_back(std::make_unique<CTestPatternDriver>());
    return CDriverList(std::move(d));
}

class AppFixture : public ::testing::Test
{
protected:
    CTempDir m_dir;
    CScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.Path().string()};
    std::vector<std::string> m_boxes;
    CDriverList m_drivers = MakeDrivers(2, true);
    // What a start is given: the test's working folder and store, this run's options, the
    // server's bounds and no notification area, unless a test says otherwise.
    CRunOptions m_options;
    CServerLimits m_limits;
    CMainFrame::CTray m_tray;
    CWindowReporter m_reporter; // messages as boxes: collected below
    std::unique_ptr<CCameraServer> m_core;
    std::unique_ptr<CVistrelApp> m_app;

    void SetUp() override
    {
        SetMessageBoxPresenter(
            [this](const std::string& text, const std::string&, unsigned)
            {
                m_boxes.push_back(text);
                return IDOK;
            });
    }
    void TearDown() override
    {
        Stop();
        SetMessageBoxPresenter({});
    }
    void Stop()
    {
        m_app.reset();
        m_core.reset();
    }
    static std::string StorePath() { return CRegistryHive::DefaultPath(); }
    static void Store(const char* pszName, DWORD n)
    {
        CRegistryKey key;
        key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey);
        key.SetDword(n, pszName);
    }
    static void StoreText(const char* pszSubKey, const char* pszName, const std::string& text)
    {
        CRegistryKey key;
        key.Create(HKEY_LOCAL_MACHINE,
                   (std::string(CSettings::kProductKey) + "\\" + pszSubKey).c_str());
        key.SetString(text.c_str(), pszName);
    }
    static bool Stored(const char* pszName, DWORD* pValue)
    {
        CRegistryKey key;
        key.Create(HKEY_LOCAL_MACHINE, CSettings::kProductKey);
        return key.QueryDword(pValue, pszName) == ERROR_SUCCESS;
    }
    CRunContext Context()
    {
        CRunContext context;
        context.strStore = StorePath();
        context.strWorkingFolder = m_dir.Path().string();
        context.pReporter = &m_reporter;
        context.options = m_options;
        return context;
    }
    bool Start()
    {
        Stop();
        m_core = std::make_unique<CCameraServer>(m_drivers, Context(), m_limits);
        m_app = std::make_unique<CVistrelApp>(*m_core, m_tray);
        return m_app->InitInstance();
    }
    // Starts with the server on at a free port; the port. nDevice -1 serves capoff.bmp;
    // nImageType 1 serves BMP.
    unsigned StartServing(int nDevice, int nImageType = 0)
    {
        const unsigned nPort = FreePort();
        Store("ServerPort", nPort);
        Store("ServerEnabled", 1);
        Store("CaptureDevice", DWORD(nDevice));
        Store("ImageType", DWORD(nImageType));
        EXPECT_TRUE(Start());
        return nPort;
    }
    CMainFrame* Frame() const { return m_app->MainFrame(); }
    CVistrelView* View() const { return Frame()->GetActiveView(); }
    CCameraServer& Core() const { return *m_core; }
    QAction* Action(int nId) const
    {
        QAction* p = Frame()->FindAction(nId);
        EXPECT_NE(p, nullptr) << nId;
        return p;
    }
    // Updates the item's menu as when it is about to show, then reports the item's state.
    bool Enabled(int nId)
    {
        QAction* p = Action(nId);
        Frame()->UpdateMenu(qobject_cast<QMenu*>(p->parent()));
        return p->isEnabled();
    }
    bool Checked(int nId)
    {
        QAction* p = Action(nId);
        Frame()->UpdateMenu(qobject_cast<QMenu*>(p->parent()));
        return p->isChecked();
    }
    void Trigger(int nId)
    {
        QAction* p = Action(nId);
        Frame()->UpdateMenu(qobject_cast<QMenu*>(p->parent()));
        ASSERT_TRUE(p->isEnabled()) << nId;
        p->trigger();
    }
    // Fetches one response while this thread keeps serving.
    static std::vector<std::uint8_t> Fetch(unsigned nPort, bool* pConnected = nullptr)
    {
        return FetchWhilePumping("127.0.0.1", nPort, pConnected);
    }
    // Runs fn on the modal dialog that the event loop shows next.
    static void WhenModal(std::function<void(QWidget*)> fn) { ::WhenModal(std::move(fn)); }
};
