#pragma once
// TpLogWin: the "Master Logger" window. It shows the server's event log; the main window asks
// for a refresh when the log changed. Closing it only hides it.

#include <mst_server.h>

#include <QWidget>

class QFrame;
class QLabel;
class QPushButton;
class QTableView;
class TOwnerDataModel;

class TpLogWin : public QWidget {
    Q_OBJECT
public:
    explicit TpLogWin(TMstServer *server, QWidget *parent = nullptr);

    /// The window it is placed against on its first show.
    void SetMainWindow(QWidget *w) { FMainWin = w; }

    /// Takes the server's latest snapshot and sets the item count; when visible, scrolls the
    /// last row fully into view and repaints. Hidden, nothing is painted.
    void Refresh();

    /// Time and text cells of row i.
    QString p_lvLogData(int row, int column) const;
    bool FirstShow() const { return FFirstShow; }

protected:
    void showEvent(QShowEvent *e) override;

private:
    QFrame *p_panTop;
    QLabel *p_labTop;
    QFrame *p_panLog;
    QTableView *p_lvLog;
    QFrame *p_panBot;
    QPushButton *p_bnClose;

    void FormShow();
    void p_bnCloseClick();

    TMstServer *FServer;
    TMstSnapshotPtr FSnap;
    TOwnerDataModel *FModel;
    QWidget *FMainWin = nullptr;
    bool FFirstShow = true;
};
