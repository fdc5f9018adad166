#include "mst_server.h"

#include "mst_listener.h"

#include <common/aux.h>
#include <common/handleblock.h>
#include <common/messages.h>
#include <common/msgport.h>
#include <common/settings.h>
#include <common/watcher.h>

#include <QTimer>

#include <cstdio>

namespace {

// Connections that never sent anything are dropped after this many seconds.
constexpr double IdleDropSeconds = 600;

} // namespace

TMstServer::TMstServer(Options options, QObject *parent)
    : QObject(parent), FOptions(std::move(options)), FLog(FOptions.clocks), FCore(FLog, FOptions.clocks)
{
    FPort = new TMsgPort(this);
    connect(FPort, &TMsgPort::messageReceived, this, &TMstServer::OnMessage);

    FListener = new TMstListener(FOptions.connectionBudget, this);
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
    const TCoreActions act = FCore.startUp();
    const quint16 port = FCore.settings().port;
    lock.unlock();
    Apply(act);

    result.listening = FListener->Listen(port, FOptions.inheritedListener, &result.listenError);
    FOptions.inheritedListener = -1;
    if (result.listening) {
        FListeningPort = port;
        FIdle->start();
    } else {
        std::fprintf(stderr, "master: cannot listen on port %u: %s\n", unsigned(port),
                     qPrintable(result.listenError));
        std::fflush(stderr);
    }
    return result;
}

void TMstServer::Shutdown()
{
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
    std::lock_guard<std::mutex> lock(FMutex);
    FEcho.echo(FLog);
}
