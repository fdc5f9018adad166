#pragma once
// TpLogWin: the "Master Logger" window. It owns the event log store; the main window writes
// every line through it and asks for a refresh after writing. Closing it only hides it.

#include "mst_cls.h"

#include <QWidget>

class QFrame;
class QLabel;
class QPushButton;
class QTableView;
class TOwnerDataModel;

class TpLogWin : public QWidget {
    Q_OBJECT
public:
    explicit TpLogWin(TLogStore::Clock clock = Now, QWidget *parent = nullptr);

    /// The log store (lives as long as the window).
    TLogStore &Log() { return FLog; }

    /// The window it is placed against on its first show.
    void SetMainWindow(QWidget *w) { FMainWin = w; }

    /// Sets the item count; when visible, scrolls the last row fully into view and repaints.
    void Refresh();

    /// Time and text cells of row i.
    QString p_lvLogData(int row, int column) const;
    bool FirstShow() const { return FFirstShow; }

    QFrame *p_panTop;
    QLabel *p_labTop;
    QFrame *p_panLog;
    QTableView *p_lvLog;
    QFrame *p_panBot;
    QPushButton *p_bnClose;

protected:
    void showEvent(QShowEvent *e) override;

private:
    void FormShow();
    void p_bnCloseClick();

    TLogStore FLog;
    TOwnerDataModel *FModel;
    QWidget *FMainWin = nullptr;
    bool FFirstShow = true;
    unsigned long long FEchoed = 0;  // lines of the store echoed so far
    bool FEcho = false;
};
