#include "controls/RadioGroupFrame.h"

#include <QAbstractButton>
#include <QGroupBox>

void CRadioGroupFrame::Attach(QWidget* pFrame, const std::vector<QWidget*>& controls)
{
    m_pFrame = pFrame;
    m_controls = controls;
}

std::vector<QWidget*> CRadioGroupFrame::Members() const
{
    std::vector<QWidget*> members;
    if (m_pFrame == nullptr)
        return members;
    const QRect frame = m_pFrame->geometry();
    for (QWidget* w : m_controls)
    {
        const bool bButtonLike =
            qobject_cast<QAbstractButton*>(w) != nullptr || qobject_cast<QGroupBox*>(w) != nullptr;
        if (bButtonLike && w->geometry().intersects(frame))
            members.push_back(w);
    }
    return members;
}

int CRadioGroupFrame::GetCheckedIndex() const
{
    const auto members = Members();
    for (std::size_t i = 0; i < members.size(); ++i)
    {
        auto* b = qobject_cast<QAbstractButton*>(members[i]);
        if (b != nullptr && b->isCheckable() && b->isChecked())
            return int(i) + 1;
    }
    return 0;
}

void CRadioGroupFrame::SetCheckedIndex(int n)
{
    const auto members = Members();
    for (std::size_t i = 0; i < members.size(); ++i)
        if (auto* b = qobject_cast<QAbstractButton*>(members[i]); b != nullptr && b->isCheckable())
            b->setChecked(int(i) + 1 == n);
}
