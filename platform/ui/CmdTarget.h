#pragma once
// Command routing with numeric command ids, as the framework's message maps do it: each
// target keeps a table of command handlers and update handlers; update handlers run when a
// menu is about to show and set the item's enabled state and check mark.

#include <QAction>
#include <QPointer>

#include <functional>
#include <map>

constexpr int CN_COMMAND = 0;
constexpr int CN_UPDATE_COMMAND_UI = -1;

class CCmdUI
{
public:
    explicit CCmdUI(int nID, QAction* pAction = nullptr) : m_nID(nID), m_pAction(pAction) {}
    void Enable(bool bOn = true)
    {
        m_bEnabled = bOn;
        if (m_pAction)
            m_pAction->setEnabled(bOn);
    }
    void SetCheck(int nCheck = 1)
    {
        m_nCheck = nCheck;
        if (m_pAction)
        {
            m_pAction->setCheckable(true);
            m_pAction->setChecked(nCheck != 0);
        }
    }

    int m_nID;
    QPointer<QAction> m_pAction;
    bool m_bEnabled = false;
    int m_nCheck = 0;
};

class CCmdTarget
{
public:
    virtual ~CCmdTarget() = default;
    // Handles the command or the update, or returns false so the next target is asked.
    virtual bool OnCmdMsg(int nID, int nCode, CCmdUI* pCmdUI);
    // Whether a command handler exists for the id (the framework enables items that have one).
    virtual bool HasCommandHandler(int nID) const;

protected:
    void OnCommand(int nID, std::function<void()> handler) { m_commands[nID] = std::move(handler); }
    void OnUpdateCommandUI(int nID, std::function<void(CCmdUI*)> handler)
    {
        m_updates[nID] = std::move(handler);
    }

private:
    std::map<int, std::function<void()>> m_commands;
    std::map<int, std::function<void(CCmdUI*)>> m_updates;
};
