#include "platform/ui/CmdTarget.h"

bool CCmdTarget::OnCmdMsg(int nID, int nCode, CCmdUI* pCmdUI)
{
    if (nCode == CN_COMMAND)
    {
        const auto it = m_commands.find(nID);
        if (it == m_commands.end())
            return false;
        it->second();
        return true;
    }
    if (nCode == CN_UPDATE_COMMAND_UI && pCmdUI != nullptr)
    {
        const auto it = m_updates.find(nID);
        if (it == m_updates.end())
            return false;
        it->second(pCmdUI);
        return true;
    }
    return false;
}

bool CCmdTarget::HasCommandHandler(int nID) const
{
    return m_commands.count(nID) != 0;
}
