#pragma once
// Acts on the modal dialog that the next turn of the event loop shows.

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <functional>

inline void WhenModal(std::function<void(QWidget*)> fn)
{
    QTimer::singleShot(0,
                       [fn]
                       {
                           QWidget* p = nullptr;
                           for (int i = 0;
                                i < 300 && (p = QApplication::activeModalWidget()) == nullptr; ++i)
                               QApplication::processEvents(QEventLoop::AllEvents, 10);
                           if (p == nullptr)
                               p = QApplication::activePopupWidget();
                           if (p != nullptr)
                               fn(p);
                       });
}
