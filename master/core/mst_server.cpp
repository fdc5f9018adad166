#include "mst_server.h"

#include "mst_listener.h"

#include <common/aux.h>
#include <common/handleblock.h>
#include <common/messages.h>
#include <common/msgport.h>
#include <common/settings.h>
#include <common/strtable.h>
#include <common/watcher.h>

#include <QAbstractEventDispatcher>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>

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
    connect(FListener, &TMstListener::connectionError, this, [this](int kind) {
        std::unique_lock<std::mutex> lock(FMutex);
        const TCoreActions act = FCore.socketError(kind);
        lock.unlock();
        Apply(act);
    });

    FHostNames = new THostNames(FOptions.resolver, this);
    connect(FHostNames, &THostNames::finished, this, &TMstServer::OnHostFound);

    FAudit = new QTimer(this);
    FAudit->setObjectName(QStringLiteral("p_tmCln"));
    connect(FAudit, &QTimer::timeout, this, &TMstServer::Audit);
    FIdle = new QTimer(this);
    FIdle->setInterval(30000);
    connect(FIdle, &QTimer::timeout, this, [this] { FListener->DropIdle(IdleDropSeconds); });
    FListenRetry = new QTimer(this);
    FListenRetry->setSingleShot(true);
    FListenRetry->setInterval(ListenRetryMs);
    connect(FListenRetry, &QTimer::timeout, this, [this] { TryListen(-1, nullptr); });

    FEcho = TLogEcho(stdout, FOptions.echoPriorities);
    FCore.setWatcherStarter(
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
    {
        std::lock_guard<std::mutex> lock(FMutex);
        MstSetLoad(FCore.settings());
    }
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

    std::unique_lock<std::mutex> lock(FMutex);
    FAudit->setInterval(FCore.settings().auditPeriod * 1000);
    const quint16 stored = FCore.settings().port;
    quint16 port = stored;
    if (FOptions.servesInheritedPort && FOptions.inheritedListener >= 0) {
        const quint16 handed = ListeningPortOf(FOptions.inheritedListener);
        if (handed != 0)
            port = handed;
    }
    // The start line names the port served; the store's Port is written back as it was read.
    FCore.settings().port = port;
    const TCoreActions act = FCore.startUp();
    FCore.settings().port = stored;
    lock.unlock();
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
    std::unique_lock<std::mutex> lock(FMutex, std::defer_lock);
    const quint16 port = FServePort;
    QString reason;
    int err = 0;
    TCoreActions act;
    act.refreshLog = true;
    if (FListener->Listen(port, inherited, &reason, &err)) {
        FListeningPort = port;
        FIdle->start();
        if (FListenError != 0) {
            FListenError = 0;
            lock.lock();
            FLog.addListenOpened(port);
            lock.unlock();
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
        lock.lock();
        FLog.addListenFailed(port, err);
        lock.unlock();
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
    {
        // The watchers the slots refer to are asked to end; the others end with the process.
        std::lock_guard<std::mutex> lock(FMutex);
        for (std::uint64_t id : FCore.heldWatchIds())
            TWatcher::Terminate(id);
    }
    FBlock.Close();
    FPort->Close();
    FPortValue = 0;
    if (FStarted) {
        FStarted = false;
        std::lock_guard<std::mutex> lock(FMutex);
        if (TSessionSink *sink = FCore.sessionSink())
            sink->masterStopped();
        MstSetSave(FCore.settings());
    }
    FlushEcho();
}

std::string TMstServer::OnRequest(const QString &address, std::string_view text)
{
    QString name;
    const bool known = FHostNames->Known(address, name);
    std::unique_lock<std::mutex> lock(FMutex);
    const TReceiveResult r =
        FCore.receive(text, TPeerInfo{name.toStdU16String(), address.toStdU16String(), !known});
    lock.unlock();
    Apply(r.actions);
    return r.reply;
}

void TMstServer::OnHostFound(const QString &address, const QString &name)
{
    std::lock_guard<std::mutex> lock(FMutex);
    FCore.fillHost(address.toStdU16String(), name.toStdU16String());
}

void TMstServer::OnMessage(quint32 message, quintptr wParam, qintptr lParam)
{
    std::unique_lock<std::mutex> lock(FMutex);
    if (message == WM_ANNOUNCE) {
        const TCoreActions act = FCore.localAnnounce(static_cast<int>(wParam), static_cast<int>(lParam));
        lock.unlock();
        Apply(act, RowsChanged | ScrollToLast | LogChanged);
    } else if (message == WM_INSTANCE_ENDED) {
        const TCoreActions act = FCore.localEnded(static_cast<int>(wParam));
        lock.unlock();
        Apply(act, RowsChanged | LogChanged);
    }
}

TMstServer::ReloadResult TMstServer::ReloadSettings()
{
    ReloadResult result;
    TMstSettings fresh;
    result.loaded = MstSetLoad(fresh);
    std::unique_lock<std::mutex> lock(FMutex);
    TMstSettings &s = FCore.settings();
    if (result.loaded)
        s = fresh;
    result.storedPort = s.port;
    const int interval = s.auditPeriod * 1000;
    lock.unlock();
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
    std::unique_lock<std::mutex> lock(FMutex);
    const TCoreActions act = FCore.audit();
    lock.unlock();
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
    if (changes && FChanges.fetch_or(changes) == 0)
        emit changed();
}

void TMstServer::Echo()
{
    if (!FOptions.echoLog)
        return;
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FEcho.collect(FLog);
    }
    // The lines of a burst of requests leave together when the event loop has answered it and
    // is about to wait again: one write per pass instead of one per line, same order, same text.
    if (!FEcho.pending())
        return;
    QAbstractEventDispatcher *loop = QAbstractEventDispatcher::instance();
    if (!loop || QThread::currentThread() != thread()) {
        FEcho.flush();
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
    FEcho.flush();
}
