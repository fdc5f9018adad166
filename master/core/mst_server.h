#pragma once
// TMstServer: the master's work without any window. It owns the listening socket and the
// connections, the host-name cache, the request core with its tables, the event log, the
// audit timer, the message port named in the handle block and the handle block itself, and
// says through changed() that something the windows show has changed.
//
// It runs in whichever thread owns it; the program gives it one of its own, so that painting
// never delays a request. Its tables and log are touched only in that thread: everyone else
// reads the snapshot it publishes (Snapshot()), at most PublishGapMs after a change.

#include "hostnames.h"
#include "mst_core.h"
#include "mst_snapshot.h"

#include <mapkit/mapkit.h>

#include <QAbstractEventDispatcher>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

class QTimer;
class TMsgPort;
class TMstListener;

/// How a TMstServer is set up; the defaults are the program's.
struct TMstServerOptions {
    TClocks clocks;
    /// Reverse lookup of client addresses; empty for the system's.
    THostNames::Resolver resolver;
    /// Connections open at once; 0 takes it from the descriptor limit.
    std::size_t connectionBudget = 0;
    /// A listening socket handed over by whoever started the master, or -1.
    int inheritedListener = -1;
    /// Every new log line also goes to standard output (a headless master's log).
    bool echoLog = false;
    /// Echoed lines start with their journal level (TLogEcho), for a service's output.
    bool echoPriorities = false;
    /// The handed-over socket is served whatever port it listens on (a service manager made it
    /// and holds that port); otherwise it is taken only on the configured port.
    bool servesInheritedPort = false;
};

class TMstServer : public QObject {
    Q_OBJECT
public:
    /// What changed since the last TakeChanges().
    enum Change : unsigned {
        RowsChanged = 1,  ///< the session table
        ScrollToLast = 2, ///< a local announcement: its row is to be scrolled into view
        LogChanged = 4,   ///< the event log
        LampChanged = 8,  ///< a connection was accepted or closed
    };

    using Options = TMstServerOptions;

    struct StartResult {
        bool blockCreated = false; ///< the message port and the handle block naming it exist
        bool listening = false;
        QString listenError;    ///< why listening failed
        quint16 port = 0;       ///< the port listened on, or tried
        quint16 storedPort = 0; ///< the store's Port
    };

    /// What ReloadSettings() found.
    struct ReloadResult {
        bool loaded = false;    ///< the stored values were read; otherwise nothing changed
        quint16 storedPort = 0; ///< the store's Port, which takes effect at the next start
        TMstSettings settings;  ///< the values in use after it
    };

    explicit TMstServer(Options options = {}, QObject *parent = nullptr);
    ~TMstServer() override;

    // --- in the server's thread ---
    /// Start-up: loads the settings, opens the message port and the handle block naming it;
    /// then (only if that worked) starts the log, the audit timer and listening.
    StartResult StartUp();
    /// Closing: stops listening, releases the handle block and the port, saves the settings.
    void Shutdown();
    /// Reads the settings again and applies the timing values at once; the port being served
    /// stays until the next start. A store that cannot be read leaves the values as they are.
    ReloadResult ReloadSettings();
    /// Where session rows' lives are told (the usage history); set before StartUp().
    void SetSessionSink(TSessionSink *sink) { FCore.SetSessionSink(sink); }
    /// The audit timer's handler.
    void Audit();
    /// Writes the echoed log lines still held (they otherwise leave at the next pass of the
    /// event loop); before anything else is written to the same output.
    void FlushEcho();
    QTimer *AuditTimer() const { return FAudit; }
    TMstListener *Listener() const { return FListener; }

    /// Builds and publishes the snapshot now (normally done by a timer after changes).
    void Publish();

    // --- from any thread ---
    /// Snapshots come at least this far apart under load, so that a flood of requests does
    /// not spend its time copying tables.
    static constexpr int PublishGapMs = 100;
    /// The latest published snapshot; never null.
    TMstSnapshotPtr Snapshot() const;
    /// A change is waiting to be published.
    bool PublishPending() const { return FPublishPending; }
    /// The Change bits gathered since the last call, cleared.
    unsigned TakeChanges() { return FChanges.exchange(0); }
    /// The lamp: on after an accept, off after a close.
    bool LampOn() const { return FLamp; }
    quint16 ListeningPort() const { return FListeningPort; }
    int ConnectionCount() const { return FConnections; }
    /// List rows now, before the snapshot that shows them is published.
    int RowCount() const { return FRows; }
    quint32 PortValue() const { return FPortValue; }

signals:
    /// Something of TakeChanges() is waiting and its snapshot is published; emitted once until
    /// TakeChanges() is called.
    void changed();

private:
    std::string OnRequest(const QString &address, std::string_view text);
    void OnMessage(quint32 message, quintptr wParam, qintptr lParam);
    void OnHostFound(const QString &address, const QString &name);
    void Apply(const TCoreActions &act, unsigned more = 0);
    void Mark(unsigned changes);
    void Echo();
    bool TryListen(int inherited, QString *error);
    void CountRequest(std::string_view text, bool valid);

    Options FOptions;
    // Guards only the pointer to the latest snapshot: held for a copy of it, never longer.
    mutable std::mutex FSnapMutex;
    TMstSnapshotPtr FSnapshot;
    TLogMirror FLogMirror;
    TSnapCounters FCounters;
    QTimer *FPublish;
    qint64 FLastPublishMs = 0;
    std::atomic<bool> FPublishPending{false};
    unsigned FUnpublished = 0; // Change bits gathered since the last publication
    TLogStore FLog;
    TMstCore FCore;
    MHandle FBlock;
    TMsgPort *FPort;
    TMstListener *FListener;
    THostNames *FHostNames;
    QTimer *FAudit;
    QTimer *FIdle;
    QTimer *FListenRetry;
    int FListenError = 0;   // errno of the last failed try to listen, 0 while listening
    quint16 FServePort = 0; // the port served: the store's, or that of a socket handed over
    bool FStarted = false;
    TLogEcho FEcho{stdout};
    // The loop whose passes write the echoed lines (aboutToBlock), and that connection.
    QPointer<QAbstractEventDispatcher> FEchoLoop;
    QMetaObject::Connection FEchoPass;
    std::atomic<unsigned> FChanges{0};
    std::atomic<bool> FLamp{false};
    std::atomic<quint16> FListeningPort{0};
    std::atomic<int> FConnections{0};
    std::atomic<int> FRows{0};
    std::atomic<quint32> FPortValue{0};
};
