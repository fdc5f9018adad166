#pragma once
// TMasterDaemon: the master without any window, as a system service runs it. The same server
// object as the desktop master (TMstServer) in the main thread; its event log goes to standard
// output line by line with the journal's levels; the listening socket comes from the service
// manager when it hands one over; SIGTERM ends it the way the master's Exit does and SIGHUP
// reads the settings again.

#include <mst_server.h>
#include <status_http.h>

#include <QObject>

#include <cstdio>
#include <memory>

class QSocketNotifier;

/// The listening socket a service manager handed over (LISTEN_FDS), or -1. Sockets other than
/// the first, and one that is no IPv4 TCP socket listening, are closed with a word on `log`.
/// The variables are taken out of the environment, so that nothing started later inherits them.
int TakeActivationSocket(std::FILE *log);

class TMasterDaemon : public QObject {
    Q_OBJECT
public:
    /// The daemon's own lines (not the event log's) go to log, with a journal level each.
    explicit TMasterDaemon(std::FILE *log = stdout, QObject *parent = nullptr);
    ~TMasterDaemon() override;

    /// Starts the server on the handed-over socket (or the store's port when listenFd < 0);
    /// false, said on the log, when another agent runs or the port cannot be served. Once it
    /// serves, the service manager is told that the master is ready.
    bool Start(int listenFd);
    /// As after SIGTERM: the server shuts down (settings saved, watches ended) and the event
    /// loop ends.
    void Stop();
    /// As after SIGHUP.
    void Reload();

    TMstServer *Server() const { return FServer.get(); }

    /// Routes SIGTERM, SIGINT and SIGHUP into this object's thread; call once.
    bool CatchSignals();

private:
    void OnSignal();
    void Say(const char *level, const char *format, ...) __attribute__((format(printf, 3, 4)));

    std::FILE *FLog;
    std::unique_ptr<TMstServer> FServer;
    std::unique_ptr<TStatusHttp> FHttp; // goes before the server it reads
    QSocketNotifier *FSignals = nullptr;
    bool FStopped = false;
};
