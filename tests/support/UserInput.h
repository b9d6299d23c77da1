#pragma once
// Input as the window system delivers it: events go to the top-level QWindow at a position,
// and Qt's own hit test decides which control they reach. Calling click() on a widget would
// skip that test, and with it every fault of stacking and covering.

#include <QAbstractButton>
#include <QCheckBox>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QWidget>
#include <QWindow>

// The centre of a check box's or radio button's label, in its own coordinates; the centre
// of any other control.
inline QPoint LabelCentre(QWidget* pControl)
{
    auto* pButton = qobject_cast<QAbstractButton*>(pControl);
    const bool bCheck = qobject_cast<QCheckBox*>(pControl) != nullptr;
    const bool bRadio = qobject_cast<QRadioButton*>(pControl) != nullptr;
    if (pButton == nullptr || (!bCheck && !bRadio) || pButton->text().isEmpty())
        return pControl->rect().center();
    QStyleOptionButton option;
    option.initFrom(pButton);
    option.text = pButton->text();
    const QRect contents = pButton->style()->subElementRect(
        bCheck ? QStyle::SE_CheckBoxContents : QStyle::SE_RadioButtonContents, &option, pButton);
    return contents.intersected(pButton->rect()).center();
}

// The point in the top-level window's coordinates.
inline QPoint InWindow(QWidget* pControl, QPoint at)
{
    return pControl->mapTo(pControl->window(), at);
}

inline QWindow* WindowOf(QWidget* pControl)
{
    return pControl->window()->windowHandle();
}

// A left click where a user would aim: a button's or box's label, an edit's middle.
inline void UserClick(QWidget* pControl, QPoint at = QPoint(-1, -1))
{
    if (at == QPoint(-1, -1))
        at = LabelCentre(pControl);
    QTest::mouseClick(WindowOf(pControl), Qt::LeftButton, {}, InWindow(pControl, at));
}

// A key pressed while pWidget's window is active: it goes to whatever has the focus there.
inline void UserKey(QWidget* pWidget, Qt::Key key, Qt::KeyboardModifiers modifiers = {})
{
    QTest::keyClick(WindowOf(pWidget), key, modifiers);
}

inline void UserType(QWidget* pWidget, const QString& text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, WindowOf(pWidget), Qt::Key_unknown, QString(c), {});
}
