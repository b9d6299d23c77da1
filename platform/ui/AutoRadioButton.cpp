#include "platform/ui/AutoRadioButton.h"

#include <QButtonGroup>
#include <QKeyEvent>

CAutoRadioButton::CAutoRadioButton(const QString& text, QWidget* pParent)
    : QRadioButton(text, pParent)
{
    setAutoExclusive(false);
}

void CAutoRadioButton::nextCheckState()
{
    // A user only ever checks a radio button; unchecking is for the other members.
    if (!isChecked())
        setChecked(true);
}

void CAutoRadioButton::keyPressEvent(QKeyEvent* pEvent)
{
    const int nKey = pEvent->key();
    const bool bForward = nKey == Qt::Key_Down || nKey == Qt::Key_Right;
    const bool bBack = nKey == Qt::Key_Up || nKey == Qt::Key_Left;
    if ((!bForward && !bBack) || group() == nullptr)
    {
        QRadioButton::keyPressEvent(pEvent);
        return;
    }
    QList<QAbstractButton*> members;
    for (QAbstractButton* b : group()->buttons())
        if (b == this || (b->isVisibleTo(window()) && b->isEnabled()))
            members.push_back(b);
    const qsizetype nAt = members.indexOf(this);
    if (members.size() < 2 || nAt < 0)
        return;
    // Round the group, as a dialog's group of radio buttons does.
    const qsizetype nNext = (nAt + (bForward ? 1 : members.size() - 1)) % members.size();
    QAbstractButton* pNext = members[nNext];
    pNext->setFocus(bForward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    pNext->click();
}
