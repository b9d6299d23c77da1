#pragma once
// Acts on the modal dialog or popup that the event loop shows next. It looks on a timer
// rather than spinning inside one event, so it never runs in the middle of the input that
// opens the dialog (between a click's press and its release).

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <gtest/gtest.h>

inline void WhenModal(std::function<void(QWidget*)> fn, QWidget* pNotThis = nullptr)
{
    auto* pTimer = new QTimer;
    pTimer->setInterval(5);
    auto nTicks = std::make_shared<int>(0);
    QObject::connect(pTimer, &QTimer::timeout, pTimer,
                     [pTimer, nTicks, fn, pNotThis]
                     {
                         // A popup opened over a modal dialog is the one that takes input.
                         QWidget* p = QApplication::activePopupWidget();
                         if (p == nullptr)
                             p = QApplication::activeModalWidget();
                         if (p == pNotThis)
                             p = nullptr;
                         if (p == nullptr && ++*nTicks < 1000)
                             return;
                         pTimer->stop();
                         pTimer->deleteLater();
                         if (p == nullptr)
                             ADD_FAILURE() << "no modal dialog or popup showed within 5 s";
                         else
                             fn(p);
                     });
    pTimer->start();
}
