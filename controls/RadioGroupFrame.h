#pragma once
// An invisible group box whose rectangle gathers the radio buttons lying on it into one group:
// members are the dialog's buttons and group boxes that intersect the frame, in creation order.

#include <QWidget>

#include <vector>

class CRadioGroupFrame
{
public:
    // Binds to the frame among the dialog's controls (in creation order).
    void Attach(QWidget* pFrame, const std::vector<QWidget*>& controls);
    // 1-based position of the first checked member, 0 when none is checked.
    int GetCheckedIndex() const;
    // Checks member n (1-based) and unchecks all others; an n that matches none unchecks all.
    void SetCheckedIndex(int n);

private:
    std::vector<QWidget*> Members() const;
    QWidget* m_pFrame = nullptr;
    std::vector<QWidget*> m_controls;
};
