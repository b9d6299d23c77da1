#pragma once
// Ends the event loop on SIGTERM and SIGINT, so that the program closes exactly as when its
// main window is closed. Call Block() before any thread starts; Watch() once the application
// object exists.

#include <QObject>

class QSocketNotifier;

class CQuitOnSignals : public QObject
{
    Q_OBJECT
public:
    static void Block();
    // True when SIGTERM or SIGINT has come while they are blocked and no watcher exists yet
    // (during the start): work that waits can give up instead.
    static bool Pending();
    explicit CQuitOnSignals(QObject* pParent = nullptr);
    ~CQuitOnSignals() override;

signals:
    void Quit(int nSignal);

private:
    int m_fd = -1;
    QSocketNotifier* m_pNotifier = nullptr;
};
