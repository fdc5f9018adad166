#include "mst_server.h"

#include "mst_listener.h"

#include <common/handleblock.h>
#include <common/messages.h>
#include <common/msgport.h>
#include <common/settings.h>
#include <common/strtable.h>
#include <common/timeaddr.h>
#include <common/watcher.h>

#include <QAbstractEventDispatcher>
#include <QDateTime>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// The port of an IPv4 TCP socket that listens, 0 for anything else (the listener would refuse it).
quint16 ListeningPortOf(int fd)
{
    int listening = 0;
    socklen_t len = sizeof listening;
    sockaddr_in sa{};
    socklen_t salen = sizeof sa;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &salen) != 0 || sa.sin_family != AF_INET)
        return 0;
    return ntohs(sa.sin_port);
}

// Connections that never sent anything are dropped after this many seconds.
constexpr double IdleDropSeconds = 600;
// A port that could not be opened (taken by another program) is tried again this often.
constexpr int ListenRetryMs = 3000;

} // namespace

TMstServer::TMstServer(Options options, QObject *parent)
    : QObject(parent), FOptions(std::move(options)), FLog(FOptions.clocks), FCore(FLog, FOptions.clocks)
{
    FPort = new TMsgPort(this);
    connect(FPort, &TMsgPort::messageReceived, this, &TMstServer::OnMessage);

    FListener = new TMstListener(FOptions.connectionBudget, this);
    // Watched local processes and client connections draw from one descriptor budget.
    TWatcher::SetBudget(FListener->Shares().watchers);
    FListener->SetOthers([] { return TWatcher::Count(); });
    FListener->SetHandler([this](const TMstListener::TPeer &peer, std::string_view text) {
        return OnRequest(peer.address, text);
    });
    connect(FListener, &TMstListener::accepted, this, [this](const QString &address) {
        FHostNames->Lookup(address);
        FConnections = static_cast<int>(FListener->Count());
        FLamp = true;
        Mark(LampChanged);
    });
    connect(FListener, &TMstListener::closed, this, [this] {
        FConnections = static_cast<int>(FListener->Count());
        FLamp = false;
        Mark(LampChanged);
    });
    connect(FListener, &TMstListener::connectionError, this,
            [this](int kind) { Apply(FCore.SocketError(kind)); });

    FHostNames = new THostNames(FOptions.resolver, this);
    connect(FHostNames, &THostNames::finished, this, &TMstServer::OnHostFound);

    FAudit = new QTimer(this);
    FAudit->setObjectName(QStringLiteral("p_tmCln"));
    connect(FAudit, &QTimer::timeout, this, &TMstServer::Audit);
    FPublish = new QTimer(this);
    FPublish->setSingleShot(true);
    connect(FPublish, &QTimer::timeout, this, &TMstServer::Publish);
    FSnapshot = std::make_shared<const TMstSnapshot>();
    FIdle = new QTimer(this);
    FIdle->setInterval(30000);
    connect(FIdle, &QTimer::timeout, this, [this] { FListener->DropIdle(IdleDropSeconds); });
    FListenRetry = new QTimer(this);
    FListenRetry->setSingleShot(true);
    FListenRetry->setInterval(ListenRetryMs);
    connect(FListenRetry, &QTimer::timeout, this, [this] { TryListen(-1, nullptr); });

    FEcho = TLogEcho(stdout, FOptions.echoPriorities);
    FCore.SetWatcherStarter(
        [this](unsigned short code, int pid) { return TWatcher::Start(code, pid, FPort->Value()); });
}

TMstServer::~TMstServer()
{
    Shutdown();
}

TMstServer::StartResult TMstServer::StartUp()
{
    StartResult result;
    if (FStarted)
        return result;
    FStarted = true;
    MstSetLoad(FCore.Settings());
    // The handle block names the message port, so local applications find it.
    if (!FPort->Open())
        return result;
    FBlock = CreateHandleBlock(FPort->Value());
    if (!FBlock.Active()) {
        FPort->Close();
        return result;
    }
    result.blockCreated = true;
    FPortValue = FPort->Value();

    FAudit->setInterval(FCore.Settings().auditPeriod * 1000);
    FCounters.startTimeMs = QDateTime::currentMSecsSinceEpoch();
    const quint16 stored = FCore.Settings().port;
    quint16 port = stored;
    if (FOptions.servesInheritedPort && FOptions.inheritedListener >= 0) {
        const quint16 handed = ListeningPortOf(FOptions.inheritedListener);
        if (handed != 0)
            port = handed;
    }
    // The start line names the port served; the store's Port is written back as it was read.
    FCore.Settings().port = port;
    const TCoreActions act = FCore.StartUp();
    FCore.Settings().port = stored;
    result.port = port;
    result.storedPort = stored;
    FServePort = port;
    Apply(act);

    result.listening = TryListen(FOptions.inheritedListener, &result.listenError);
    FOptions.inheritedListener = -1;
    return result;
}

// The first line of the log already says the master begins listening; a failure follows it
// with the port and the reason (again only when the reason changes), and the port is tried
// again until it opens, which is logged too.
bool TMstServer::TryListen(int inherited, QString *error)
{
    const quint16 port = FServePort;
    QString reason;
    int err = 0;
    TCoreActions act;
    act.refreshLog = true;
    if (FListener->Listen(port, inherited, &reason, &err)) {
        FListeningPort = port;
        FIdle->start();
        Mark(LampChanged);
        if (FListenError != 0) {
            FListenError = 0;
            FLog.AddListenOpened(port);
            Apply(act);
        }
        return true;
    }
    if (err == 0)
        err = EINVAL;
    // A socket unit holds its port from boot, so a master started by hand on the master
    // station finds it taken: name the holder rather than leave a bare "in use".
    if (err == EADDRINUSE &&
        QFileInfo::exists(QStringLiteral("/etc/systemd/system/sockets.target.wants/korvel-master.socket")))
        reason += QStringLiteral(" (the Korvel master service holds it: korvel-master.socket is "
                                 "enabled on this machine; journalctl -u korvel-master)");
    if (err != FListenError) {
        FListenError = err;
        std::fprintf(stderr, "master: cannot listen on port %u: %s\n", unsigned(port), qPrintable(reason));
        std::fflush(stderr);
        FLog.AddListenFailed(port, err);
        Apply(act);
    }
    if (error)
        *error =
            QString::fromStdU16String(LoadFmt(IDS_LOG_LISTEN_FAILED, {int(port), reason.toStdU16String()}));
    FListenRetry->start();
    return false;
}

void TMstServer::Shutdown()
{
    FListenRetry->stop();
    FListenError = 0;
    FListener->Close();
    FListeningPort = 0;
    FConnections = 0;
    FIdle->stop();
    FAudit->stop();
    // The watchers the slots refer to are asked to end; the others end with the process.
    for (std::uint64_t id : FCore.HeldWatchIds())
        TWatcher::Terminate(id);
    FBlock.Close();
    FPort->Close();
    FPortValue = 0;
    if (FStarted) {
        FStarted = false;
        if (TSessionSink *sink = FCore.SessionSink())
            sink->MasterStopped();
        MstSetSave(FCore.Settings());
        Mark(LampChanged);
    }
    FlushEcho();
}

TMstSnapshotPtr TMstServer::Snapshot() const
{
    std::lock_guard<std::mutex> lock(FSnapMutex);
    return FSnapshot;
}

void TMstServer::Publish()
{
    FPublish->stop();
    auto snap = std::make_shared<TMstSnapshot>();
    {
        std::lock_guard<std::mutex> lock(FSnapMutex);
        snap->serial = FSnapshot->serial + 1;
    }
    // Clients first, with the QString copies of their names that the rows then share. Their
    // last contact is kept on the monotonic clock; shown, it is a wall-clock time as of now.
    const std::vector<TClientRow> clients = FCore.Clients().rows();
    const TDateTime wallNow = FOptions.clocks.wall();
    const TDateTime monoNow = FOptions.clocks.monotonic() / 86400.0;
    std::unordered_map<std::int16_t, std::size_t> clientAt;
    clientAt.reserve(clients.size());
    snap->clients.reserve(clients.size());
    for (const TClientRow &c : clients) {
        clientAt.emplace(c.clientId, snap->clients.size());
        snap->clients.push_back(TSnapClient{c.clientId, QString::fromStdU16String(c.host),
                                            QString::fromStdU16String(c.address),
                                            wallNow - (monoNow - c.lastContact), 0});
    }
    const TSessionTable &sessions = FCore.Sessions();
    const int n = sessions.size();
    snap->rows.reserve(static_cast<std::size_t>(n));
    for (const TSessionRow &r : sessions.rows()) {
        TSnapRow row{r.clientId, r.appCode, r.start, {}, {}};
        if (const auto it = clientAt.find(r.clientId); it != clientAt.end()) {
            TSnapClient &c = snap->clients[it->second];
            row.host = c.host;
            row.address = c.address;
            ++c.applications;
        }
        snap->rows.push_back(std::move(row));
    }
    FLogMirror.Update(FLog);
    snap->log = FLogMirror.View();
    FCounters.connectionsOpen = FConnections;
    FCounters.listeningPort = FListeningPort;
    snap->counters = FCounters;
    snap->lampOn = FLamp;
    TMstSnapshotPtr previous = std::move(snap);
    {
        std::lock_guard<std::mutex> lock(FSnapMutex);
        FSnapshot.swap(previous);
    }
    // The one replaced is let go here, outside the lock, when no reader holds it any more.
    previous.reset();
    FLastPublishMs = QDateTime::currentMSecsSinceEpoch();
    FPublishPending = false;
    const unsigned changes = std::exchange(FUnpublished, 0);
    if (changes && FChanges.fetch_or(changes) == 0)
        emit changed();
}

std::string TMstServer::OnRequest(const QString &address, std::string_view text)
{
    QString name;
    const bool known = FHostNames->Known(address, name);
    const TReceiveResult r =
        FCore.Receive(text, TPeerInfo{name.toStdU16String(), address.toStdU16String(), !known});
    CountRequest(text, r.actions.valid);
    Apply(r.actions);
    return r.reply;
}

void TMstServer::CountRequest(std::string_view text, bool valid)
{
    if (!valid) {
        ++FCounters.bad;
        return;
    }
    // A valid request's code is its first number; empty parts before it are skipped.
    const std::size_t at = text.find_first_not_of(',');
    int code = 0;
    if (at != std::string_view::npos)
        std::from_chars(text.data() + at, text.data() + text.size(), code);
    if (code == MSG_ANNOUNCE)
        ++FCounters.announce;
    else if (code == MSG_KEEPALIVE)
        ++FCounters.keepalive;
    else if (code == MSG_WITHDRAW)
        ++FCounters.withdraw;
}

void TMstServer::OnHostFound(const QString &address, const QString &name)
{
    FCore.FillHost(address.toStdU16String(), name.toStdU16String());
    Mark(RowsChanged);
}

void TMstServer::OnMessage(quint32 message, quintptr wParam, qintptr lParam)
{
    if (message == WM_ANNOUNCE) {
        const TCoreActions act = FCore.LocalAnnounce(static_cast<int>(wParam), static_cast<int>(lParam));
        Apply(act, RowsChanged | ScrollToLast | LogChanged);
    } else if (message == WM_INSTANCE_ENDED) {
        Apply(FCore.LocalEnded(static_cast<int>(wParam)), RowsChanged | LogChanged);
    }
}

TMstServer::ReloadResult TMstServer::ReloadSettings()
{
    ReloadResult result;
    TMstSettings fresh;
    result.loaded = MstSetLoad(fresh);
    TMstSettings &s = FCore.Settings();
    if (result.loaded)
        s = fresh;
    result.storedPort = s.port;
    result.settings = s;
    const int interval = s.auditPeriod * 1000;
    if (FAudit->interval() != interval) {
        const bool active = FAudit->isActive();
        FAudit->setInterval(interval);
        if (active && interval > 0)
            FAudit->start();
        else if (interval <= 0)
            FAudit->stop();
    }
    return result;
}

void TMstServer::Audit()
{
    const int before = FCore.Clients().size();
    const TCoreActions act = FCore.Audit();
    FCounters.auditRemoved += static_cast<std::uint64_t>(before - FCore.Clients().size());
    Apply(act);
}

void TMstServer::Apply(const TCoreActions &act, unsigned more)
{
    if (act.auditTimer == TCoreActions::Timer::Start) {
        // Enabling a running timer does not restart it; a zero interval never fires.
        if (!FAudit->isActive() && FAudit->interval() > 0)
            FAudit->start();
    } else if (act.auditTimer == TCoreActions::Timer::Stop) {
        FAudit->stop();
    }
    unsigned changes = more;
    if (act.refreshList && act.valid)
        changes |= RowsChanged;
    if (act.refreshLog)
        changes |= LogChanged;
    if (changes & LogChanged)
        Echo();
    Mark(changes);
}

void TMstServer::Mark(unsigned changes)
{
    FRows = FCore.RowCount();
    if (!changes)
        return;
    FUnpublished |= changes;
    if (FPublish->isActive())
        return;
    FPublishPending = true;
    const qint64 since = QDateTime::currentMSecsSinceEpoch() - FLastPublishMs;
    FPublish->start(static_cast<int>(std::clamp<qint64>(PublishGapMs - since, 0, PublishGapMs)));
}

void TMstServer::Echo()
{
    if (!FOptions.echoLog)
        return;
    FEcho.Collect(FLog);
    // The lines of a burst of requests leave together when the event loop has answered it and
    // is about to wait again: one write per pass instead of one per line, same order, same text.
    if (!FEcho.Pending())
        return;
    QAbstractEventDispatcher *loop = QAbstractEventDispatcher::instance();
    if (!loop || QThread::currentThread() != thread()) {
        FEcho.Flush();
        return;
    }
    if (loop != FEchoLoop) {
        // First line, or the server moved to another thread: the pass of that thread's loop.
        QObject::disconnect(FEchoPass);
        FEchoPass = connect(loop, &QAbstractEventDispatcher::aboutToBlock, this, &TMstServer::FlushEcho,
                            Qt::DirectConnection);
        FEchoLoop = loop;
    }
}

void TMstServer::FlushEcho()
{
    // A pass of the loop of a thread the server has left since.
    if (QThread::currentThread() != thread())
        return;
    FEcho.Flush();
}
