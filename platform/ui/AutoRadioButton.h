#pragma once
// A dialog's auto radio button. Its group is not exclusive in Qt's sense, so that the program
// can show "none checked"; but a click or the space bar on a checked button leaves it checked,
// and the arrow keys move through the group, checking the button they reach.

#include <QRadioButton>

class CAutoRadioButton : public QRadioButton
{
    Q_OBJECT
public:
    explicit CAutoRadioButton(const QString& text, QWidget* pParent = nullptr);

protected:
    void nextCheckState() override;
    void keyPressEvent(QKeyEvent* pEvent) override;
};
