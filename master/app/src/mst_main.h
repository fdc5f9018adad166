#pragma once
// TMstMainWin: the master's main window. It owns the TCP server, the audit timer, the
// message port named in the handle block and the request core; the core decides, the window
// shows and applies.

#include "mst_core.h"

#include <mapkit/mapkit.h>

#include <QPointer>
#include <QWidget>

#include <memory>

class QFrame;
class QLabel;
class QPushButton;
class QTableView;
class QTcpServer;
class QTcpSocket;
class QTimer;
class QToolButton;
class THostNames;
class TIdleGuard;
class TMsgPort;
class TOwnerDataModel;
class TpLogWin;

class TMstMainWin : public QWidget {
    Q_OBJECT
public:
    /// logWin is the event log window, which owns the log store; clock gives "now" to the core.
    explicit TMstMainWin(TpLogWin *logWin, TMstCore::Clock clock = Now, QWidget *parent = nullptr);
    ~TMstMainWin() override;

    // --- handlers (public so that tests can drive them as the framework would) ---
    /// Window start-up on the first activation; later calls do nothing.
    void FormActivate();
    /// Shared click handler of the four buttons; switches on the button's "Tag".
    void p_bnEscClick(QObject *button);
    /// The exit path: asks first when sessions exist.
    void RequestExit();
    /// End of the session: close without asking.
    void EndSession();
    /// Sets the list's item count to the number of sessions and repaints it.
    void ListRefresh(bool scrollToLast = false);
    /// Cell text of list row i.
    QString p_lvAppsData(int row, int column) const;

    TMstCore &Core() { return FCore; }
    TpLogWin *LogWin() const { return FLogWin; }
    bool Started() const { return FStarted; }
    bool ClosingAllowed() const { return FClosingAllowed; }
    /// Port the server listens on; 0 when it does not listen.
    quint16 ListeningPort() const;
    /// The value that names this window's message port (kept in the handle block).
    quint32 PortValue() const;
    QTimer *AuditTimer() const { return p_tmCln; }
    /// The audit timer's handler.
    void p_tmClnTimer();
    /// Client connections open now.
    int ConnectionCount() const;

    QFrame *p_panTop;
    QLabel *Label1;
    QFrame *p_panHdr;
    QTableView *p_lvApps;
    QFrame *p_panBot;
    QLabel *p_panTip;
    QLabel *p_labLed;
    QPushButton *p_bnLog;
    QPushButton *p_bnEsc;
    QToolButton *p_bnHelp;
    QToolButton *p_bnAbout;

protected:
    void showEvent(QShowEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    bool event(QEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
    void FormShow();
    void BuildForm();
    void Apply(const TCoreActions &act);
    void LogRefresh();
    void p_ServerAccept();
    void p_ServerClientRead(QTcpSocket *s);
    void p_ServerClientDisconnect(QTcpSocket *s);
    void p_ServerClientError(QTcpSocket *s, int error);
    void HandlePending(QTcpSocket *s);
    void OnMessage(quint32 message, quintptr wParam, qintptr lParam);
    void p_lvAppsMouseMove(const QPoint &pos);
    void p_lvAppsMouseLeave();
    void DropIdle();
    void ScheduleScreenshot();

    TpLogWin *FLogWin;
    TMstCore FCore;
    MHandle FBlock;
    TMsgPort *FPort;
    QTcpServer *p_Server;
    QTimer *p_tmCln;
    QTimer *FIdleTimer;
    TOwnerDataModel *FModel;
    THostNames *FHostNames;
    std::unique_ptr<TIdleGuard> FGuard;
    bool FStarted = false;
    bool FClosingAllowed = false;
    bool FPaintProbe = false;
    QString FScreenshot;
    bool FShotPending = false;
};
