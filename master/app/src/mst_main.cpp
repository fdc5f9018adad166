#include "mst_main.h"
#include "hostnames.h"
#include "idleguard.h"
#include "mst_evlog.h"
#include "mst_layout.h"

#include <common/aux.h>
#include <common/catalogue.h>
#include <common/cmn_err.h>
#include <common/gui/aboutdlg.h>
#include <common/gui/ownerdata.h>
#include <common/handleblock.h>
#include <common/messages.h>
#include <common/msgport.h>
#include <common/strtable.h>
#include <common/watcher.h>
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
#include <QScreen>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <cstdio>

namespace {

QString Q(const UnicodeString &s)
{
    return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size()));
}

UnicodeString Uq(const QString &s)
{
    return UnicodeString(reinterpret_cast<const char16_t *>(s.utf16()), static_cast<size_t>(s.size()));
}

QFont PixelFont(const char *family, int px, bool weightSemi = false, bool bold = false)
{
    QFont f(QString::fromLatin1(family));
    f.setPixelSize(px);
    if (weightSemi)
        f.setWeight(QFont::DemiBold);
    if (bold)
        f.setBold(true);
    return f;
}

void SetColour(QWidget *w, const QColor &c, QPalette::ColorRole role = QPalette::WindowText)
{
    QPalette p = w->palette();
    p.setColor(role, c);
    w->setPalette(p);
}

// Seconds for the self-closing error boxes; KORVEL_AUTOBOX_SECONDS shortens them for tests.
int AutoBoxSeconds()
{
    bool ok = false;
    const int s = qEnvironmentVariableIntValue("KORVEL_AUTOBOX_SECONDS", &ok);
    return ok ? s : 25;
}

double MonotonicSeconds()
{
    static QElapsedTimer t = [] {
        QElapsedTimer e;
        e.start();
        return e;
    }();
    return static_cast<double>(t.nsecsElapsed()) / 1e9;
}

// Kind of a socket error as the log line names it (0 general .. 6 looking up).
int ErrorKind(int error)
{
    switch (static_cast<QAbstractSocket::SocketError>(error)) {
    case QAbstractSocket::NetworkError:
    case QAbstractSocket::SocketTimeoutError:
        return 2;  // receiving
    case QAbstractSocket::ConnectionRefusedError:
        return 3;  // connecting
    case QAbstractSocket::HostNotFoundError:
        return 6;  // looking up
    default:
        return 0;  // general
    }
}

// Connections that never sent anything are dropped after this many seconds.
constexpr double IdleDropSeconds = 600;
// Descriptors kept free for everything else the master opens (registry file, port, log).
constexpr std::size_t FdReserve = 64;

const char *const SocketProp = "korvelPeer";

} // namespace

TMstMainWin::TMstMainWin(TpLogWin *logWin, TMstCore::Clock clock, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint),
      FLogWin(logWin), FCore(logWin->Log(), std::move(clock))
{
    BuildForm();
    FPort = new TMsgPort(this);
    connect(FPort, &TMsgPort::messageReceived, this, &TMstMainWin::OnMessage);

    p_Server = new QTcpServer(this);
    p_Server->setObjectName(QStringLiteral("p_Server"));
    p_Server->setMaxPendingConnections(256);
    connect(p_Server, &QTcpServer::newConnection, this, &TMstMainWin::p_ServerAccept);
    connect(p_Server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        // Out of descriptors: make room from connections that never spoke and try again
        // shortly; accepting stays paused meanwhile instead of spinning.
        for (TIdleGuard::Key k : FGuard->ToDropForRoom())
            if (auto *s = reinterpret_cast<QTcpSocket *>(k))
                s->abort();
        QTimer::singleShot(100, this, [this] { p_Server->resumeAccepting(); });
    });

    p_tmCln = new QTimer(this);
    p_tmCln->setObjectName(QStringLiteral("p_tmCln"));
    connect(p_tmCln, &QTimer::timeout, this, &TMstMainWin::p_tmClnTimer);

    const std::size_t fdLimit = RaiseFileLimit();
    FGuard = std::make_unique<TIdleGuard>(fdLimit > 2 * FdReserve ? fdLimit - FdReserve : fdLimit / 2);
    FIdleTimer = new QTimer(this);
    FIdleTimer->setInterval(30000);
    connect(FIdleTimer, &QTimer::timeout, this, &TMstMainWin::DropIdle);

    FHostNames = new THostNames(this);
    connect(FHostNames, &THostNames::resolved, this, [this](const QString &address) {
        for (QTcpSocket *s : p_Server->findChildren<QTcpSocket *>())
            if (s->property(SocketProp).toString() == address && s->bytesAvailable() > 0)
                HandlePending(s);
    });

    FCore.setWatcherStarter([this](unsigned short code, int pid) { TWatcher::Start(code, pid, FPort->Value()); });

    FPaintProbe = qEnvironmentVariableIsSet("KORVEL_PAINT_PROBE");
    FScreenshot = qEnvironmentVariable("KORVEL_SCREENSHOT");
}

TMstMainWin::~TMstMainWin()
{
    // Connections still open say goodbye while the server goes; the window is half gone by
    // then, so they must not reach it.
    for (QTcpSocket *s : p_Server->findChildren<QTcpSocket *>())
        s->disconnect(this);
    delete p_Server;
}

void TMstMainWin::BuildForm()
{
    setObjectName(QStringLiteral("MstMainWin"));
    setWindowTitle(QStringLiteral(" Korvel - Master"));
    setFont(PixelFont("Segoe UI", 12));
    setFixedSize(382, 286);
    setContextMenuPolicy(Qt::PreventContextMenu);

    auto *lay = new QVBoxLayout(this);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->setSpacing(0);

    p_panTop = new QFrame(this);
    p_panTop->setObjectName(QStringLiteral("p_panTop"));
    p_panTop->setFixedHeight(31);
    auto *topLay = new QVBoxLayout(p_panTop);
    topLay->setContentsMargins(0, 0, 0, 2);
    Label1 = new QLabel(QStringLiteral("Active Applications"), p_panTop);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(PixelFont("Segoe UI Semibold", 12, true));
    SetColour(Label1, QColor(82, 82, 82));
    topLay->addWidget(Label1, 0, Qt::AlignHCenter | Qt::AlignBottom);
    lay->addWidget(p_panTop);

    // Column header: labels over the list's columns with separators between them.
    auto *hdrRow = new QHBoxLayout;
    hdrRow->setContentsMargins(15, 0, 15, 0);
    p_panHdr = new QFrame(this);
    p_panHdr->setObjectName(QStringLiteral("p_panHdr"));
    p_panHdr->setFixedHeight(24);
    p_panHdr->setFrameShape(QFrame::Panel);
    p_panHdr->setFrameShadow(QFrame::Raised);
    p_panHdr->setContextMenuPolicy(Qt::PreventContextMenu);
    struct Hdr {
        const char *name, *text;
        int width, column;
    };
    const Hdr hdrs[] = {{"LabHdr1", "No", 27, 33},       {"LabHdr2", "Code", 30, 45},
                        {"LabHdr3", "Name ", 105, 120},  {"LabHdr4", "Start Time", 59, 70},
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

    FModel = new TOwnerDataModel({Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignHCenter, Qt::AlignHCenter, Qt::AlignHCenter},
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

    p_panBot = new QFrame(this);
    p_panBot->setObjectName(QStringLiteral("p_panBot"));
    p_panBot->setFixedHeight(72);
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

    // The lamp: a round glyph of a font that surely has it.
    p_labLed = new QLabel(QString(QChar(0x25CF)), p_panBot);
    p_labLed->setObjectName(QStringLiteral("p_labLed"));
    p_labLed->setGeometry(16, 36, 15, 21);
    p_labLed->setAlignment(Qt::AlignCenter);
    p_labLed->setFont(PixelFont("DejaVu Sans", 16));
    SetColour(p_labLed, QColor(240, 0, 0));
    {
        QPalette p = p_labLed->palette();
        p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(160, 160, 160));
        p_labLed->setPalette(p);
    }
    p_labLed->setEnabled(false);

    auto button = [this](QAbstractButton *b, const char *name, int tag, QRect geo) {
        b->setObjectName(QString::fromLatin1(name));
        b->setProperty("Tag", tag);
        b->setGeometry(geo);
        connect(b, &QAbstractButton::clicked, this, [this, b] { p_bnEscClick(b); });
    };
    p_bnLog = new QPushButton(QStringLiteral("Event Log"), p_panBot);
    button(p_bnLog, "p_bnLog", 4, QRect(113, 35, 75, 26));
    p_bnEsc = new QPushButton(QStringLiteral("Exit"), p_panBot);
    button(p_bnEsc, "p_bnEsc", 1, QRect(194, 35, 75, 26));
    p_bnHelp = new QToolButton(p_panBot);
    p_bnHelp->setText(QStringLiteral("?"));
    p_bnHelp->setAutoRaise(true);
    p_bnHelp->setFont(PixelFont("Roboto Bk", 15, false, true));
    SetColour(p_bnHelp, QColor(159, 159, 159), QPalette::ButtonText);
    button(p_bnHelp, "p_bnHelp", 2, QRect(324, 35, 21, 25));
    p_bnAbout = new QToolButton(p_panBot);
    p_bnAbout->setText(QStringLiteral("i"));
    p_bnAbout->setAutoRaise(true);
    p_bnAbout->setFont(PixelFont("Roboto Bk", 16, false, true));
    SetColour(p_bnAbout, QColor(159, 159, 159), QPalette::ButtonText);
    button(p_bnAbout, "p_bnAbout", 3, QRect(353, 36, 21, 25));
    lay->addWidget(p_panBot);
}

QString TMstMainWin::p_lvAppsData(int row, int column) const
{
    if (row < 0 || row >= FCore.rowCount())
        return {};
    const TSessionRow &r = FCore.rowAt(row);
    switch (column) {
    case 0:
        return QStringLiteral("  ") + QString::number(row + 1);
    case 1:
        return QString::number(static_cast<unsigned>(r.appCode));
    case 2:
        return Q(AppDisplayName(r.appCode));
    case 3:
        return Q(TimeText(r.start));
    case 4:
        return QString::number(static_cast<int>(r.clientId));
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
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect frame = frameGeometry();
    const QPoint pos = MstMainWinPos(screen->geometry().width(), screen->geometry().height(), frame.width(),
                                     frame.height());
    move(pos);
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
    MstSetLoad(FCore.settings());

    // The handle block names this window's message port, so local applications find it.
    try {
        if (!FPort->Open())
            throw cmn_err(IDS_BLOCK_CREATE_ERROR);
        FBlock = CreateHandleBlock(FPort->Value());
        if (!FBlock.Active())
            throw cmn_err(IDS_BLOCK_CREATE_ERROR);
    } catch (const cmn_err &e) {
        FPort->Close();
        CMesBoxAuto(this, AutoBoxSeconds(), e.text(), u"Korvel Error", true, W_Centre, W_Centre);
        RequestExit();
        return;
    }

    p_tmCln->setInterval(FCore.settings().auditPeriod * 1000);
    Apply(FCore.startUp());
    LogRefresh();

    const quint16 port = FCore.settings().port;
    if (!p_Server->listen(QHostAddress::AnyIPv4, port)) {
        // The master goes on without a listening socket; the report does not block it.
        const QString text = p_Server->errorString();
        std::fprintf(stderr, "master: cannot listen on port %u: %s\n", unsigned(port), qPrintable(text));
        std::fflush(stderr);
        auto *box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Korvel (M)"), text, QMessageBox::Ok, this);
        box->setObjectName(QStringLiteral("ServerErrorBox"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        box->show();
    } else {
        FIdleTimer->start();
    }
}

quint16 TMstMainWin::ListeningPort() const
{
    return p_Server->isListening() ? p_Server->serverPort() : 0;
}

int TMstMainWin::ConnectionCount() const
{
    return static_cast<int>(FGuard->Count());
}

quint32 TMstMainWin::PortValue() const
{
    return FPort->Value();
}

void TMstMainWin::Apply(const TCoreActions &act)
{
    if (act.auditTimer == TCoreActions::Timer::Start) {
        // Enabling a running timer does not restart it; a zero interval never fires.
        if (!p_tmCln->isActive() && p_tmCln->interval() > 0)
            p_tmCln->start();
    } else if (act.auditTimer == TCoreActions::Timer::Stop) {
        p_tmCln->stop();
    }
    if (act.refreshList)
        ListRefresh();
    if (act.refreshLog)
        LogRefresh();
}

void TMstMainWin::LogRefresh()
{
    FLogWin->Refresh();
}

void TMstMainWin::ListRefresh(bool scrollToLast)
{
    const int n = FCore.rowCount();
    FModel->SetItemCount(n);
    if (scrollToLast && n > 0) {
        p_lvApps->doItemsLayout();
        p_lvApps->scrollTo(FModel->index(n - 1, 0), QAbstractItemView::PositionAtBottom);
    }
    p_lvApps->viewport()->update();
    ScheduleScreenshot();
}

void TMstMainWin::ScheduleScreenshot()
{
    if (FScreenshot.isEmpty() || FShotPending)
        return;
    FShotPending = true;
    QTimer::singleShot(100, this, [this] {
        FShotPending = false;
        grab().save(FScreenshot, "PNG");
    });
}

void TMstMainWin::p_tmClnTimer()
{
    Apply(FCore.audit());
}

void TMstMainWin::p_ServerAccept()
{
    while (QTcpSocket *s = p_Server->nextPendingConnection()) {
        for (TIdleGuard::Key k : FGuard->ToDropForRoom())
            if (auto *old = reinterpret_cast<QTcpSocket *>(k))
                old->abort();
        FGuard->Accepted(reinterpret_cast<TIdleGuard::Key>(s), MonotonicSeconds());
        const QString address = s->peerAddress().toString();
        s->setProperty(SocketProp, address);
        FHostNames->Lookup(address);
        connect(s, &QTcpSocket::readyRead, this, [this, s] { p_ServerClientRead(s); });
        connect(s, &QTcpSocket::disconnected, this, [this, s] { p_ServerClientDisconnect(s); });
        connect(s, &QTcpSocket::errorOccurred, this,
                [this, s](QAbstractSocket::SocketError err) { p_ServerClientError(s, static_cast<int>(err)); });
        p_labLed->setEnabled(true);
        p_labLed->update();
    }
}

void TMstMainWin::p_ServerClientRead(QTcpSocket *s)
{
    FGuard->Sent(reinterpret_cast<TIdleGuard::Key>(s));
    HandlePending(s);
}

void TMstMainWin::HandlePending(QTcpSocket *s)
{
    const QString address = s->property(SocketProp).toString();
    QString host;
    if (!FHostNames->Known(address, host))
        return;  // handled as soon as the address has its name
    // One read event is one whole message.
    const QByteArray text = s->readAll();
    if (text.isEmpty())
        return;
    const TReceiveResult r = FCore.receive(text.toStdString(), TPeerInfo{Uq(host), Uq(address)});
    TCoreActions act = r.actions;
    act.refreshList = act.refreshList && act.valid;
    act.refreshLog = true;
    Apply(act);
    if (!r.reply.empty() && s->state() == QAbstractSocket::ConnectedState)
        s->write(r.reply.data(), static_cast<qint64>(r.reply.size()));
}

void TMstMainWin::p_ServerClientDisconnect(QTcpSocket *s)
{
    FGuard->Closed(reinterpret_cast<TIdleGuard::Key>(s));
    p_labLed->setEnabled(false);
    p_labLed->update();
    s->deleteLater();
}

void TMstMainWin::p_ServerClientError(QTcpSocket *s, int error)
{
    // The peer closing its end is the normal end of a conversation, not an error.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    Apply(FCore.socketError(ErrorKind(error)));
    LogRefresh();
    std::fprintf(stderr, "master: socket error: %s\n", qPrintable(s->errorString()));
}

void TMstMainWin::DropIdle()
{
    for (TIdleGuard::Key k : FGuard->ToDropIdle(MonotonicSeconds(), IdleDropSeconds))
        if (auto *s = reinterpret_cast<QTcpSocket *>(k))
            s->abort();
}

void TMstMainWin::OnMessage(quint32 message, quintptr wParam, qintptr lParam)
{
    if (message == WM_ANNOUNCE) {
        Apply(FCore.localAnnounce(static_cast<int>(wParam), static_cast<int>(lParam)));
        ListRefresh(true);
        LogRefresh();
    } else if (message == WM_INSTANCE_ENDED) {
        Apply(FCore.localEnded(static_cast<int>(wParam)));
        ListRefresh();
        LogRefresh();
    }
}

bool TMstMainWin::eventFilter(QObject *watched, QEvent *e)
{
    if (watched == p_lvApps->viewport()) {
        if (e->type() == QEvent::MouseMove)
            p_lvAppsMouseMove(static_cast<QMouseEvent *>(e)->position().toPoint());
        else if (e->type() == QEvent::Leave)
            p_lvAppsMouseLeave();
        else if (e->type() == QEvent::Paint && FPaintProbe) {
            std::fprintf(stderr, "paint %lld\n", static_cast<long long>(MonotonicSeconds() * 1000));
            std::fflush(stderr);
        }
    }
    return QWidget::eventFilter(watched, e);
}

void TMstMainWin::p_lvAppsMouseMove(const QPoint &pos)
{
    const QModelIndex idx = p_lvApps->indexAt(pos);
    p_panTip->setText(idx.isValid() ? Q(FCore.tipText(idx.row())) : QString());
}

void TMstMainWin::p_lvAppsMouseLeave()
{
    p_panTip->setText(QString());
}

void TMstMainWin::p_bnEscClick(QObject *button)
{
    p_panBot->setFocus(Qt::OtherFocusReason);
    switch (button ? button->property("Tag").toInt() : 0) {
    case 1:
        RequestExit();
        break;
    case 2:
        F_OpenRegistDoc(HelpFilePath());
        break;
    case 3:
        TAboutDlg::ShowAbout(this);
        break;
    case 4:
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
    if (FCore.rowCount() > 0 &&
        MesBoxC(2, this, LoadStr(IDS_EXIT_CONFIRM), UnicodeString(), W_Centre, W_Centre) != 1)
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
    if (p_Server->isListening())
        p_Server->close();
    // Watchers end with the process; nothing is waiting on them.
    FBlock.Close();
    FPort->Close();
    if (FStarted)
        MstSetSave(FCore.settings());
    e->accept();
    FLogWin->hide();
    QCoreApplication::quit();
}
