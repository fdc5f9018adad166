#include "mst_evlog.h"
#include "mst_layout.h"

#include <common/gui/formkit.h>
#include <common/gui/ownerdata.h>
#include <common/timeaddr.h>
#include <corekit/corekit.h>
#include <corekit/windows.h>

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QTableView>
#include <QVBoxLayout>

TpLogWin::TpLogWin(TMstServer *server, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      FServer(server), FSnap(server->Snapshot())
{
    SetupForm(this, "pLogWin", " Master Logger", 12);
    resize(450, 299);
    // The width never changes; the height never goes below the design height.
    setMinimumWidth(450);
    setMaximumWidth(450);
    setMinimumHeight(299);

    auto *lay = StackLayout(this);

    p_panTop = MakeBand(this, "p_panTop", 26);
    p_panTop->setFocusPolicy(Qt::ClickFocus);
    auto *topLay = new QVBoxLayout(p_panTop);
    topLay->setContentsMargins(0, 0, 0, 0);
    p_labTop = new QLabel(QStringLiteral("Last Hour Event Log"), p_panTop);
    p_labTop->setAlignment(Qt::AlignCenter);
    p_labTop->setFont(PixelFont("Segoe UI Semibold", 12, QFont::DemiBold));
    SetColour(p_labTop, QColor(62, 62, 62));
    topLay->addWidget(p_labTop);
    lay->addWidget(p_panTop);

    p_panLog = new QFrame(this);
    p_panLog->setObjectName(QStringLiteral("p_panLog"));
    p_panLog->setAutoFillBackground(true);
    p_panLog->setBackgroundRole(QPalette::Base);
    auto *logLay = new QVBoxLayout(p_panLog);
    logLay->setContentsMargins(0, 0, 0, 0);
    FModel = new TOwnerDataModel(
        {Qt::AlignLeft, Qt::AlignLeft}, [this](int r, int c) { return p_lvLogData(r, c); }, this);
    p_lvLog = new QTableView(p_panLog);
    p_lvLog->setObjectName(QStringLiteral("p_lvLog"));
    p_lvLog->setFrameShape(QFrame::NoFrame);
    p_lvLog->setFont(PixelFont("Trebuchet MS", 12));
    p_lvLog->setModel(FModel);
    SetupReportView(p_lvLog, {66, 350}, false);
    logLay->addWidget(p_lvLog);
    lay->addWidget(p_panLog, 1);

    p_panBot = MakeBand(this, "p_panBot", 35);
    p_bnClose = new QPushButton(QStringLiteral("Close"), p_panBot);
    p_bnClose->setObjectName(QStringLiteral("p_bnClose"));
    p_bnClose->setGeometry(188, 6, 75, 24);
    connect(p_bnClose, &QPushButton::clicked, this, [this] { p_bnCloseClick(); });
    lay->addWidget(p_panBot);
}

QString TpLogWin::p_lvLogData(int row, int column) const
{
    if (row < 0 || row >= FSnap->log.Count())
        return {};
    const TLogEntry e = FSnap->log.At(row);
    return column == 0 ? QString::fromStdU16String(TimeText(e.time)) : QString::fromStdU16String(e.text);
}

void TpLogWin::Refresh()
{
    FSnap = FServer->Snapshot();
    const int n = FSnap->log.Count();
    FModel->SetItemCount(n);
    if (isVisible()) {
        // Lay the rows out now, so that the scroll range already holds the new last row.
        p_lvLog->doItemsLayout();
        if (n > 0)
            p_lvLog->scrollTo(FModel->index(n - 1, 0), QAbstractItemView::PositionAtBottom);
        p_lvLog->viewport()->update();
    }
}

void TpLogWin::showEvent(QShowEvent *e)
{
    QWidget::showEvent(e);
    if (!e->spontaneous())
        FormShow();
}

void TpLogWin::FormShow()
{
    if (FFirstShow && FMainWin) {
        const QPoint off =
            LogWinOffsets(FMainWin->frameGeometry().width(), FMainWin->frameGeometry().height());
        W_PosCreatedForm(FMainWin, this, off.x(), off.y());
    }
    Refresh();
    FFirstShow = false;
}

void TpLogWin::p_bnCloseClick()
{
    p_panTop->setFocus(Qt::OtherFocusReason);
    close();
}
