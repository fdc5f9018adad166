#pragma once
// TClientSetDlg: the client agent's settings dialog behind Configure. The user types the
// master's address or picks a folder on one of the master's shared discs, which gives the
// master's node name and addresses; an address is accepted only after a connection test,
// which the owner runs on the dialog's request. Created once and reused: the test state, the
// tested address and the address list survive between openings.

#include "mountsource.h"

#include <common/settings.h>
#include <corekit/corekit.h>

#include <QDialog>
#include <QString>

#include <functional>
#include <vector>

class QFrame;
class QLabel;
class QPushButton;
class QToolButton;
class TSEdit;

class TClientSetDlg : public QDialog {
    Q_OBJECT
public:
    /// Picks a folder: owner, caption, folder shown first; empty when the user cancels.
    using FolderChooser =
        std::function<QString(QWidget *owner, const QString &caption, const QString &start)>;
    /// Gives the text of the mount table (mountinfo format).
    using MountTableReader = std::function<QByteArray()>;

    /// Placed against mainWin with W_PosCreatedForm (50, -30) at each opening.
    explicit TClientSetDlg(QWidget *mainWin);

    /// Modal; true on OK, when settings have been updated and saved.
    bool Execute(TClnSettings &settings);
    /// Called by the owner when the requested test has connected (1) or failed (2).
    void ReportTestResult(int result);

    /// The system's parts that Browse uses; tests hand in their own. An empty function
    /// restores the system's.
    void SetFolderChooser(FolderChooser chooser);
    void SetMountTableReader(MountTableReader reader);
    void SetResolver(THostResolver resolver);

    // --- handlers (public so that tests can drive them as the framework would) ---
    /// Fills the edits from the settings; OK off until the address edit next changes.
    void FormActivate();
    /// Shared click handler of Browse, Test Connection, OK and Next; switches on "Tag".
    void p_bnMastClick(QObject *button);

    /// 0 not tested, 1 test succeeded, 2 test failed.
    int TestState() const { return FTestState; }
    /// A test has been handed to the owner and has not been reported yet.
    bool TestRunning() const { return FTestRunning; }
    QString TestedAddress() const { return FTestedAddress; }
    int TestedPort() const { return FTestedPort; }
    const std::vector<UnicodeString> &AddressList() const { return FAddressList; }
    unsigned ListIndex() const { return FListIndex; }

signals:
    /// The owner runs the connection test and answers with ReportTestResult.
    void testRequested(const QString &address, quint16 port);

public slots:
    /// Cancel; refused while a test runs, so that its result finds the dialog open.
    void reject() override;

protected:
    void showEvent(QShowEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
    void BuildForm();
    void ButtonUpdate();
    void p_edAddrChange();
    void Browse();
    void NextAddress();
    void TestConnection();
    void Confirm();
    void ShowError(int stringId);

    QWidget *FMainWin;
    FolderChooser FChooseFolder;
    MountTableReader FReadMountTable;
    THostResolver FResolve;

    TClnSettings FSettings;
    QString FTestedAddress;
    int FTestedPort = 0;
    std::vector<UnicodeString> FAddressList;
    unsigned FListIndex = 0;
    int FTestState = 0;
    bool FTestRunning = false;

    // Found by tests through their object names (findChild).
    QFrame *p_panTop;
    QLabel *Label1;
    QFrame *p_panMaster;
    QLabel *Label2;
    TSEdit *p_edAddr;
    QToolButton *p_bnNext;
    QPushButton *p_bnTest;
    QLabel *Label3;
    TSEdit *p_edPort;
    QLabel *Label4;
    QLabel *Label5;
    TSEdit *p_edMast;
    QPushButton *p_bnMast;
    QPushButton *p_bnOk;
    QPushButton *p_bnEsc;
};
