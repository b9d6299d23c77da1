#pragma once
// Ends the event loop on SIGTERM, SIGINT, SIGHUP (a terminal closing) and SIGQUIT, so that the
// program closes exactly as when its main window is closed; SIGUSR1 and SIGUSR2, which would
// end it at once, are ignored. Call Block() before any thread starts, and make the watcher
// once the application object exists.

#include <QObject>

class QSocketNotifier;

class CQuitOnSignals : public QObject
{
    Q_OBJECT
public:
    static void Block();
    // The first of those signals that has come while they are blocked and no watcher exists
    // yet (during the start), 0 when none: work that waits can give up instead.
    static int Pending();
    explicit CQuitOnSignals(QObject* pParent = nullptr);
    ~CQuitOnSignals() override;

signals:
    void Quit(int nSignal);

private:
    int m_fd = -1;
    QSocketNotifier* m_pNotifier = nullptr;
};
