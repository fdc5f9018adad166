#pragma once
// TStatusHttp: the master's read-only HTTP side (status page, JSON API, Prometheus metrics) on
// a thread of its own, so that a flood of HTTP connections never slows the protocol server.
// It reads only the snapshots the server publishes.

#include <mst_snapshot.h>

#include <QHostAddress>
#include <QString>

#include <functional>
#include <memory>

class QThread;
class TMstServer;
class TStatusHttpWorker;

class TStatusHttp {
public:
    struct Options {
        QHostAddress address = QHostAddress::LocalHost;
        quint16 port = 52180; ///< 0 picks a free port (tests)
        /// HTTP connections open at once; more are closed as soon as they are accepted.
        int maxConnections = 64;
        /// Bytes a connection may send before it is answered; more closes it. Requests are
        /// GET and HEAD only, so a few kilobytes of headers are all an honest client sends.
        qint64 maxRequestBytes = 16 * 1024;
        /// A connection silent this long is closed, so idle ones cannot hold every place.
        int idleSeconds = 30;
        /// How often the status page asks again; never faster than the windows repaint.
        int pagePollMs = 1000;
        /// The usage history file the daily peaks are read from; empty when history is off.
        QString historyPath;
        /// How long an answer of the daily peaks is reused: a year of them takes about a second
        /// to read, and they change slowly.
        int peaksCacheSeconds = 60;
    };
    using Source = std::function<TMstSnapshotPtr()>;

    /// The HTTP side of server as the store's HttpAddress and HttpPort say, listening on its
    /// own thread: one call for every kind of master. Null when HttpPort is 0, or when it
    /// cannot listen (said on standard error; the master works on without it). historyPath is
    /// the usage history's file, empty when history is off.
    static std::unique_ptr<TStatusHttp> Attach(const TMstServer *server, const QString &historyPath = {});

    /// Listens as options say and serves what source gives; check Listening().
    TStatusHttp(Source source, const Options &options);
    ~TStatusHttp();
    TStatusHttp(const TStatusHttp &) = delete;
    TStatusHttp &operator=(const TStatusHttp &) = delete;

    bool Listening() const { return FPort != 0; }
    quint16 Port() const { return FPort; }
    QString Error() const { return FError; }
    /// Connections refused because the limit was reached, closed for sending too much, or
    /// closed for silence, since the start.
    struct Refusals {
        qint64 overLimit = 0;
        qint64 tooLarge = 0;
        qint64 idle = 0;
    };
    Refusals Refused() const;

private:
    std::unique_ptr<QThread> FThread;
    TStatusHttpWorker *FWorker = nullptr;
    quint16 FPort = 0;
    QString FError;
};
