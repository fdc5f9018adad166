#include "mst_main.h"
#include "mst_evlog.h"
#include "mst_layout.h"

#include <common/catalogue.h>
#include <common/cmn_err.h>
#include <common/gui/aboutdlg.h>
#include <common/gui/agentmain.h>
#include <common/gui/buttontags.h>
#include <common/gui/formkit.h>
#include <common/gui/helpopen.h>
#include <common/gui/ownerdata.h>
#include <common/messages.h>
#include <common/strtable.h>
#include <common/timeaddr.h>
#include <corekit/corekit.h>
#include <corekit/windows.h>
#include <noticekit/noticekit.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <cstdio>

namespace {

// Milliseconds on a monotonic clock, for the paint probe.
long long ProbeMs()
{
    static QElapsedTimer t = [] {
        QElapsedTimer e;
        e.start();
        return e;
    }();
    return t.elapsed();
}

} // namespace

TMstMainWin::TMstMainWin(TMstServer *server, TpLogWin *logWin, const TAgentOptions &agent, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint),
      FServer(server), FSnap(server->Snapshot()), FLogWin(logWin), FAutoBoxSeconds(agent.autoBoxSeconds),
      FShot(this, agent.screenshotFile)
{
    BuildForm();
    FRepaint = new QTimer(this);
    FRepaint->setSingleShot(true);
    connect(FRepaint, &QTimer::timeout, this, &TMstMainWin::FlushChanges);
    connect(FServer, &TMstServer::changed, this, &TMstMainWin::OnServerChanged);

    FPaintProbe = agent.paintProbe;
}

TMstMainWin::~TMstMainWin() = default;

template <class F> void TMstMainWin::InServer(F f)
{
    if (FServer->thread() == QThread::currentThread())
        f();
    else
        QMetaObject::invokeMethod(FServer, f, Qt::BlockingQueuedConnection);
}

void TMstMainWin::BuildForm()
{
    SetupForm(this, "MstMainWin", " Korvel - Master", 12);
    setFixedSize(382, 286);

    auto *lay = StackLayout(this);

    p_panTop = MakeBand(this, "p_panTop", 31);
    auto *topLay = new QVBoxLayout(p_panTop);
    topLay->setContentsMargins(0, 0, 0, 2);
    Label1 = new QLabel(QStringLiteral("Active Applications"), p_panTop);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(PixelFont("Segoe UI Semibold", 12, QFont::DemiBold));
    SetColour(Label1, QColor(82, 82, 82));
    topLay->addWidget(Label1, 0, Qt::AlignHCenter | Qt::AlignBottom);
    lay->addWidget(p_panTop);

    // Column header: labels over the list's columns with separators between them.
    auto *hdrRow = new QHBoxLayout;
    hdrRow->setContentsMargins(15, 0, 15, 0);
    p_panHdr = MakeBand(this, "p_panHdr", 24);
    p_panHdr->setFrameShape(QFrame::Panel);
    p_panHdr->setFrameShadow(QFrame::Raised);
    p_panHdr->setContextMenuPolicy(Qt::PreventContextMenu);
    struct Hdr {
        const char *name, *text;
        int width, column;
    };
    const Hdr hdrs[] = {{"LabHdr1", "No", 27, 33},
                        {"LabHdr2", "Code", 30, 45},
                        {"LabHdr3", "Name ", 105, 120},
                        {"LabHdr4", "Start Time", 59, 70},
                        {"LabHdr5", "Client ID", 49, 60}};
    int x = 1;
    int n = 1;
    for (const Hdr &h : hdrs) {
        auto *l = new QLabel(QString::fromLatin1(h.text), p_panHdr);
        l->setObjectName(QString::fromLatin1(h.name));
        l->setAlignment(Qt::AlignCenter);
        l->setGeometry(x, 1, h.width, 22);
        auto *bev = new QFrame(p_panHdr);
        bev->setObjectName(QStringLiteral("BevHdr%1").arg(n++));
        bev->setFrameShape(QFrame::VLine);
        bev->setFrameShadow(QFrame::Sunken);
        bev->setGeometry(x + h.column - 2, 2, 2, 20);
        x += h.column;
    }
    hdrRow->addWidget(p_panHdr);
    lay->addLayout(hdrRow);

    FModel = new TOwnerDataModel(
        {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignHCenter, Qt::AlignHCenter, Qt::AlignHCenter},
        [this](int r, int c) { return p_lvAppsData(r, c); }, this);
    auto *lvRow = new QHBoxLayout;
    lvRow->setContentsMargins(15, 0, 15, 0);
    p_lvApps = new QTableView(this);
    p_lvApps->setObjectName(QStringLiteral("p_lvApps"));
    p_lvApps->setFrameShape(QFrame::StyledPanel);
    p_lvApps->setFrameShadow(QFrame::Sunken);
    p_lvApps->setModel(FModel);
    SetupReportView(p_lvApps, {33, 45, 120, 70, 60}, true);
    p_lvApps->setMouseTracking(true);
    p_lvApps->viewport()->installEventFilter(this);
    lvRow->addWidget(p_lvApps);
    lay->addLayout(lvRow, 1);

    p_panBot = MakeBand(this, "p_panBot", 72);
    p_panBot->setFocusPolicy(Qt::ClickFocus);
    p_panBot->setContextMenuPolicy(Qt::PreventContextMenu);
    p_panTip = new QLabel(p_panBot);
    p_panTip->setObjectName(QStringLiteral("p_panTip"));
    p_panTip->setGeometry(15, 0, 382 - 30, 24);
    p_panTip->setFrameShape(QFrame::Panel);
    p_panTip->setFrameShadow(QFrame::Sunken);
    p_panTip->setAlignment(Qt::AlignCenter);
    p_panTip->setFont(PixelFont("Segoe UI", 11));
    SetColour(p_panTip, QColor(0, 84, 168));

    p_labLed = MakeLamp(p_panBot, QRect(16, 36, 15, 21));

    p_bnLog = new QPushButton(QStringLiteral("Event Log"), p_panBot);
    SetupTagButton(p_bnLog, "p_bnLog", TagValue(TMstMainTag::Log), QRect(113, 35, 75, 26), this,
                   &TMstMainWin::p_bnEscClick);
    p_bnEsc = new QPushButton(QStringLiteral("Exit"), p_panBot);
    SetupTagButton(p_bnEsc, "p_bnEsc", TagValue(TMstMainTag::Exit), QRect(194, 35, 75, 26), this,
                   &TMstMainWin::p_bnEscClick);
    p_bnHelp = MakeFlatButton(p_panBot, QStringLiteral("?"), PixelFont("Roboto Bk", 15, QFont::Bold));
    SetupTagButton(p_bnHelp, "p_bnHelp", TagValue(TMstMainTag::Help), QRect(324, 35, 21, 25), this,
                   &TMstMainWin::p_bnEscClick);
    p_bnAbout = MakeFlatButton(p_panBot, QStringLiteral("i"), PixelFont("Roboto Bk", 16, QFont::Bold));
    SetupTagButton(p_bnAbout, "p_bnAbout", TagValue(TMstMainTag::About), QRect(353, 36, 21, 25), this,
                   &TMstMainWin::p_bnEscClick);
    lay->addWidget(p_panBot);
}

QString TMstMainWin::p_lvAppsData(int row, int column) const
{
    if (row < 0 || row >= static_cast<int>(FSnap->rows.size()))
        return {};
    const TSnapRow &r = FSnap->rows[static_cast<std::size_t>(row)];
    switch (column) {
    case 0:
        return QStringLiteral("  ") + QString::number(row + 1);
    case 1:
        return QString::number(static_cast<unsigned>(r.appCode));
    case 2:
        return QString::fromStdU16String(AppDisplayName(r.appCode));
    case 3:
        return QString::fromStdU16String(TimeText(r.start));
    case 4:
        // IDs are 16-bit and handed out up to 65535: never shown negative.
        return QString::number(static_cast<std::uint16_t>(r.clientId));
    default:
        return {};
    }
}

void TMstMainWin::showEvent(QShowEvent *e)
{
    QWidget::showEvent(e);
    if (!e->spontaneous()) {
        FormShow();
        // Where the desktop keeps a new window from becoming active (focus-stealing
        // prevention, a minimised start), the start-up still runs: the master must listen.
        QTimer::singleShot(1500, this, [this] { FormActivate(); });
    }
}

void TMstMainWin::FormShow()
{
    MoveOnScreen(this, MstMainWinPos);
}

bool TMstMainWin::event(QEvent *e)
{
    if (e->type() == QEvent::WindowActivate)
        FormActivate();
    return QWidget::event(e);
}

void TMstMainWin::FormActivate()
{
    if (FStarted)
        return;
    FStarted = true;
    TMstServer::StartResult r;
    InServer([&r, this] { r = FServer->StartUp(); });
    if (!r.blockCreated) {
        CMesBoxAuto(this, FAutoBoxSeconds, cmn_err(IDS_BLOCK_CREATE_ERROR).text(), u"Korvel Error", true,
                    W_Centre, W_Centre);
        RequestExit();
        return;
    }
    FlushChanges();
    if (!r.listening) {
        // The master goes on without a listening socket; the report does not block it.
        auto *box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Korvel (M)"), r.listenError,
                                    QMessageBox::Ok, this);
        box->setObjectName(QStringLiteral("ServerErrorBox"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        box->show();
    }
}

void TMstMainWin::OnServerChanged()
{
    if (FRepaint->isActive())
        return;
    const qint64 since = FLastRepaint.isValid() ? FLastRepaint.elapsed() : RepaintIntervalMs;
    FRepaint->start(static_cast<int>(std::max<qint64>(0, RepaintIntervalMs - since)));
}

void TMstMainWin::FlushChanges()
{
    FRepaint->stop();
    FLastRepaint.start();
    const unsigned changes = FServer->TakeChanges();
    const int shown = static_cast<int>(FSnap->rows.size());
    FSnap = FServer->Snapshot();
    if ((changes & (TMstServer::RowsChanged | TMstServer::ScrollToLast)) ||
        shown != static_cast<int>(FSnap->rows.size()))
        ListRefresh(changes & TMstServer::ScrollToLast);
    else
        p_lvApps->viewport()->update(); // a host name may have come
    if (changes & TMstServer::LampChanged) {
        p_labLed->setEnabled(FServer->LampOn());
        p_labLed->update();
    }
    if (changes & TMstServer::LogChanged)
        FLogWin->Refresh();
}

void TMstMainWin::ListRefresh(bool scrollToLast)
{
    const int n = static_cast<int>(FSnap->rows.size());
    FModel->SetItemCount(n);
    if (scrollToLast && n > 0) {
        p_lvApps->doItemsLayout();
        p_lvApps->scrollTo(FModel->index(n - 1, 0), QAbstractItemView::PositionAtBottom);
    }
    p_lvApps->viewport()->update();
    FShot.Schedule();
}

bool TMstMainWin::eventFilter(QObject *watched, QEvent *e)
{
    if (watched == p_lvApps->viewport()) {
        if (e->type() == QEvent::MouseMove)
            p_lvAppsMouseMove(static_cast<QMouseEvent *>(e)->position().toPoint());
        else if (e->type() == QEvent::Leave)
            p_lvAppsMouseLeave();
        else if (e->type() == QEvent::Paint && FPaintProbe) {
            std::fprintf(stderr, "paint %lld\n", ProbeMs());
            std::fflush(stderr);
        }
    }
    return QWidget::eventFilter(watched, e);
}

void TMstMainWin::p_lvAppsMouseMove(const QPoint &pos)
{
    const QModelIndex idx = p_lvApps->indexAt(pos);
    QString tip;
    if (idx.isValid())
        tip = FSnap->tipText(idx.row());
    p_panTip->setText(tip);
}

void TMstMainWin::p_lvAppsMouseLeave()
{
    p_panTip->setText(QString());
}

void TMstMainWin::p_bnEscClick(QObject *button)
{
    p_panBot->setFocus(Qt::OtherFocusReason);
    switch (TagOf<TMstMainTag>(button)) {
    case TMstMainTag::Exit:
        RequestExit();
        break;
    case TMstMainTag::Help:
        OpenHelpGuide(this, QString::fromStdU16String(HelpFilePath()));
        break;
    case TMstMainTag::About:
        TAboutDlg::ShowAbout(this);
        break;
    case TMstMainTag::Log:
        FLogWin->show();
        FLogWin->raise();
        FLogWin->activateWindow();
        break;
    default:
        break;
    }
}

void TMstMainWin::RequestExit()
{
    // The live count: a row announced a moment ago, not yet shown, still counts.
    const int rows = FServer->RowCount();
    if (rows > 0 && MesBoxC(2, this, LoadStr(IDS_EXIT_CONFIRM), UnicodeString(), W_Centre, W_Centre) != 1)
        return;
    FClosingAllowed = true;
    close();
}

void TMstMainWin::EndSession()
{
    FClosingAllowed = true;
    close();
}

void TMstMainWin::closeEvent(QCloseEvent *e)
{
    if (!FClosingAllowed) {
        // The close box only minimises: the master keeps running.
        e->ignore();
        showMinimized();
        return;
    }
    InServer([this] { FServer->Shutdown(); });
    e->accept();
    FLogWin->hide();
    QCoreApplication::quit();
}
