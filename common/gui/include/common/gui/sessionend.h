#pragma once
// The end of the desktop session as an agent sees it: SIGTERM, SIGHUP and the session
// manager's request. Signals are turned into an event-loop notification through a self-pipe,
// so the handler itself does nothing but write one byte.

#include <QObject>

class QSocketNotifier;

class TSessionEnd : public QObject {
    Q_OBJECT
public:
    /// Installs the handlers for SIGTERM and SIGHUP; one object per process.
    explicit TSessionEnd(QObject *parent = nullptr);
    ~TSessionEnd() override;

signals:
    /// The session ends: close without asking.
    void ended();

private:
    QSocketNotifier *FNotifier = nullptr;
};
