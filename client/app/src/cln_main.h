#pragma once
// TClnMainWin: the client agent's window. It shows what the agent reports (last connection,
// running applications, last error), offers Configure, Exit, Help and About, and applies the
// exit rule; the agent does the work.

#include "cln_agent.h"

#include <common/gui/agentmain.h>
#include <common/gui/formkit.h>
#include <common/settings.h>

#include <QPoint>
#include <QWidget>

#include <functional>

class QFrame;
class QLabel;
class QPushButton;
class QToolButton;
class TClientSetDlg;

/// Where the window goes when shown: left = screen width - 1.3 x window width, top = screen
/// height - 1.6 x window height, each truncated toward zero (outer sizes).
QPoint ClnMainWinPos(int screenWidth, int screenHeight, int windowWidth, int windowHeight);

/// What main hands the window: the agent's delays, the pause before a failed start-up ends
/// the program, whether the labels' texts are followed on standard error, and the switches
/// every agent program reads (the window's screenshot file).
struct TClnWinOptions {
    TClnTimings timings;
    int startFailMs = 7000;
    bool probe = false;
    TAgentOptions agent;
};

class TClnMainWin : public QWidget {
    Q_OBJECT
public:
    /// Runs the settings dialog on the record; true when the user confirmed new settings.
    using Configure = std::function<bool(TClnSettings &settings)>;

    explicit TClnMainWin(const TClnWinOptions &options = {}, QWidget *parent = nullptr);
    ~TClnMainWin() override;

    TClnAgent &Agent() { return *FAgent; }
    const TClnWinOptions &Options() const { return FOptions; }
    /// The settings dialog behind Configure, created with the window and kept until its end.
    TClientSetDlg *SetDlg() const { return FSetDlg; }
    /// Replaces what Configure runs (the settings dialog by default).
    void SetConfigure(Configure configure) { FConfigure = std::move(configure); }

    // --- handlers (public so that tests can drive them as the framework would) ---
    /// Shared click handler of the four buttons; switches on the button's "Tag".
    void p_bnSetClick(QObject *button);
    /// Exit button, end of the session, failed start-up: refuses while applications run.
    void ExitRule();

    bool Started() const { return FStarted; }
    bool Closing() const { return FClosing; }
    /// Times the window sounded the error beep.
    int Beeps() const { return FBeeps; }

protected:
    void showEvent(QShowEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    void changeEvent(QEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
    void BuildForm();
    void DeferredStart();
    void ShowError(const QString &text);
    void SetStatus(const QString &text);
    void SetApps(const QString &names);
    void SetBusy(bool busy);
    void Beep();
    void Probe(const char *what, const QString &text);

    const TClnWinOptions FOptions;
    TClnAgent *FAgent;
    TClientSetDlg *FSetDlg;
    Configure FConfigure;
    bool FStarted = false;
    bool FClosing = false;
    bool FBusy = false;
    int FBeeps = 0;
    TFormShot FShot;

    // Found by tests through their object names (findChild).
    QFrame *p_panBase;
    QLabel *Label1;
    QFrame *p_panStatus;
    QLabel *p_labStatus;
    QLabel *Label2;
    QFrame *p_panApps;
    QLabel *p_labApps;
    QLabel *Label9;
    QFrame *p_panErr;
    QLabel *p_labErr;
    QLabel *p_labLed;
    QPushButton *p_bnSet;
    QPushButton *p_bnEsc;
    QToolButton *p_bnHelp;
    QToolButton *p_bnAbout;
};
