#pragma once
// TMstMainWin: the master's main window. It shows what the server (TMstServer) holds and
// reports, and never sits on the request path: the server says that something changed, and
// the window repaints what is visible at most RepaintIntervalMs apart.

#include <mst_server.h>

#include <common/gui/agentmain.h>
#include <common/gui/formkit.h>

#include <QElapsedTimer>
#include <QWidget>

class QFrame;
class QLabel;
class QPushButton;
class QTableView;
class QTimer;
class QToolButton;
class TOwnerDataModel;
class TpLogWin;

class TMstMainWin : public QWidget {
    Q_OBJECT
public:
    /// Repaints under load come at least this far apart.
    static constexpr int RepaintIntervalMs = 250;

    /// server does the work (in its own thread or this one); logWin shows its log; agent holds
    /// the switches main read from the environment.
    TMstMainWin(TMstServer *server, TpLogWin *logWin, const TAgentOptions &agent = {},
                QWidget *parent = nullptr);
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
    /// Shows what the server changed now instead of at the next repaint.
    void FlushChanges();

    TMstServer *Server() const { return FServer; }
    TpLogWin *LogWin() const { return FLogWin; }
    bool Started() const { return FStarted; }
    bool ClosingAllowed() const { return FClosingAllowed; }
    /// Port the server listens on; 0 when it does not listen.
    quint16 ListeningPort() const { return FServer->ListeningPort(); }
    /// The value that names the server's message port (kept in the handle block).
    quint32 PortValue() const { return FServer->PortValue(); }
    /// Client connections open now.
    int ConnectionCount() const { return FServer->ConnectionCount(); }

protected:
    void showEvent(QShowEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    bool event(QEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
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

    void FormShow();
    void BuildForm();
    void OnServerChanged();
    /// Runs f in the server's thread and waits for it.
    template <class F> void InServer(F f);
    void p_lvAppsMouseMove(const QPoint &pos);
    void p_lvAppsMouseLeave();

    TMstServer *FServer;
    // What the list shows: one snapshot, taken at each repaint, so a row is read whole.
    TMstSnapshotPtr FSnap;
    TpLogWin *FLogWin;
    TOwnerDataModel *FModel;
    QTimer *FRepaint;
    QElapsedTimer FLastRepaint;
    bool FStarted = false;
    bool FClosingAllowed = false;
    bool FPaintProbe = false;
    const int FAutoBoxSeconds;
    TFormShot FShot;
};
