#include "status_http.h"
#include "status_render.h"

#include <mst_server.h>

#include <common/settings.h>

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

#include <atomic>
#include <cstdio>
#include <map>
#include <unordered_map>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using Status = QHttpServerResponder::StatusCode;
using Method = QHttpServerRequest::Method;

// QHttpServer bounds neither the connections it keeps nor what a connection may send, so the
// listening socket in front of it does: it closes a connection past the limit at once, one
// that sends too much before its answer, and one that stays silent.
class TBoundedTcpServer : public QTcpServer {
public:
    TBoundedTcpServer(const TStatusHttp::Options &options, QObject *parent)
        : QTcpServer(parent), FOptions(options)
    {
        setMaxPendingConnections(options.maxConnections);
        FSweep = new QTimer(this);
        FSweep->setInterval(1000);
        connect(FSweep, &QTimer::timeout, this, &TBoundedTcpServer::DropIdle);
        FSweep->start();
    }

    std::atomic<qint64> overLimit{0}, tooLarge{0}, idle{0};

protected:
    void incomingConnection(qintptr fd) override
    {
        if (static_cast<int>(FConns.size()) >= FOptions.maxConnections) {
            ++overLimit;
            ::close(static_cast<int>(fd));
            return;
        }
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(fd)) {
            delete socket;
            return;
        }
        FConns[socket] = Conn{};
        FConns[socket].quiet.start();
        connect(socket, &QObject::destroyed, this, [this, socket] { FConns.erase(socket); });
        // Connected before the HTTP server's own handler, so it sees each read first.
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnRead(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
            const auto it = FConns.find(socket);
            if (it != FConns.end()) {
                it->second.received = 0;
                it->second.quiet.start();
            }
        });
        addPendingConnection(socket);
    }

private:
    struct Conn {
        qint64 received = 0; // since the last answer went out
        QElapsedTimer quiet;
    };

    void OnRead(QTcpSocket *socket)
    {
        const auto it = FConns.find(socket);
        if (it == FConns.end())
            return;
        it->second.quiet.start();
        it->second.received += socket->bytesAvailable();
        if (it->second.received > FOptions.maxRequestBytes) {
            ++tooLarge;
            socket->abort();
        }
    }

    void DropIdle()
    {
        std::vector<QTcpSocket *> silent;
        for (auto &[socket, conn] : FConns)
            if (conn.quiet.elapsed() > FOptions.idleSeconds * 1000LL)
                silent.push_back(socket);
        for (QTcpSocket *socket : silent) {
            ++idle;
            socket->abort();
            socket->deleteLater();
            FConns.erase(socket);
        }
    }

    TStatusHttp::Options FOptions;
    std::unordered_map<QTcpSocket *, Conn> FConns;
    QTimer *FSweep;
};

// Routes by path; every answer is made from one snapshot.
class TStatusHttpServer : public QAbstractHttpServer {
public:
    TStatusHttpServer(TStatusHttp::Source source, const TStatusHttp::Options &options, QObject *parent)
        : QAbstractHttpServer(parent), FSource(std::move(source)), FPage(RenderPage(options.pagePollMs)),
          FHistoryPath(options.historyPath), FPeaksCacheMs(qint64(options.peaksCacheSeconds) * 1000)
    {
    }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        QHttpServerResponder responder = makeResponder(request, socket);
        const Method method = request.method();
        if (method != Method::Get && method != Method::Head) {
            responder.write(QByteArray("Only GET and HEAD are served here.\n"),
                            {{"Content-Type", "text/plain; charset=utf-8"}, {"Allow", "GET, HEAD"}},
                            Status::MethodNotAllowed);
            return true;
        }
        const QString path = request.url().path();
        QByteArray body;
        QByteArray type = "application/json";
        Status status = Status::Ok;
        if (path == QLatin1String("/")) {
            body = FPage;
            type = "text/html; charset=utf-8";
        } else if (path == QLatin1String("/api/v1/instances")) {
            body = Cached(path, RenderInstances);
        } else if (path == QLatin1String("/api/v1/clients")) {
            body = Cached(path, RenderClients);
        } else if (path == QLatin1String("/api/v1/log")) {
            bool ok = false;
            const int last = QUrlQuery(request.url()).queryItemValue(QStringLiteral("last")).toInt(&ok);
            body = RenderLog(*FSource(), ok && last >= 0 ? last : -1);
        } else if (path == QLatin1String("/metrics")) {
            body = Cached(path, RenderMetrics);
            type = "text/plain; version=0.0.4; charset=utf-8";
        } else if (path == QLatin1String("/api/v1/history/peaks")) {
            status = Peaks(QUrlQuery(request.url()), body);
        } else {
            responder.write(QByteArray("Not found.\n"), {{"Content-Type", "text/plain; charset=utf-8"}},
                            Status::NotFound);
            return true;
        }
        if (method == Method::Head) {
            // The headers a GET would get, without the body.
            responder.writeStatusLine(status);
            responder.writeHeaders({{"Content-Type", type},
                                    {"Content-Length", QByteArray::number(body.size())},
                                    {"Cache-Control", "no-store"}});
            responder.writeBody(QByteArray());
            return true;
        }
        responder.write(body, {{"Content-Type", type}, {"Cache-Control", "no-store"}}, status);
        return true;
    }

    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        makeResponder(request, socket).write(Status::NotFound);
    }

private:
    // The answer made from the latest snapshot is kept until the next one: several pages and
    // scrapers between two publications cost one rendering.
    QByteArray Cached(const QString &path, QByteArray (*render)(const TMstSnapshot &))
    {
        const TMstSnapshotPtr snap = FSource();
        Answer &a = FCache[path];
        if (a.snap != snap) {
            a.body = render(*snap);
            a.snap = snap;
        }
        return a.body;
    }

    // A day of the query as YYYY-MM-DD, nothing more; an invalid date for anything else.
    static QDate ParseDay(const QString &text)
    {
        static const QRegularExpression shape(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
        if (!shape.match(text).hasMatch())
            return {};
        return QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
    }

    // The daily peaks of ?from=&to= (the last 30 local days by default) read from the history
    // file. Reading it costs up to a second for a year, on this thread only; answers are kept
    // for a while, so a page left open or a scraper reads the file once a minute at most.
    Status Peaks(const QUrlQuery &query, QByteArray &body)
    {
        if (FHistoryPath.isEmpty()) {
            body = RenderError(QStringLiteral("history is off on this master"));
            return Status::NotFound;
        }
        const QDate today = QDate::currentDate();
        const QString fromText = query.queryItemValue(QStringLiteral("from"));
        const QString toText = query.queryItemValue(QStringLiteral("to"));
        const QDate to = toText.isEmpty() ? today : ParseDay(toText);
        const QDate from = fromText.isEmpty() ? to.addDays(-(DefaultDays - 1)) : ParseDay(fromText);
        if (!from.isValid() || !to.isValid()) {
            body = RenderError(QStringLiteral("from and to are dates as YYYY-MM-DD"));
            return Status::BadRequest;
        }
        if (from > to) {
            body = RenderError(QStringLiteral("from is after to"));
            return Status::BadRequest;
        }
        // Every day of the range is cut at its local midnight; ten years is more than any
        // history keeps, and bounds what one request may ask of this thread.
        if (from.daysTo(to) >= MaxDays) {
            body = RenderError(QStringLiteral("the range is longer than %1 days").arg(MaxDays));
            return Status::BadRequest;
        }

        QElapsedTimer now;
        now.start();
        const std::pair<QDate, QDate> key{from, to};
        const auto it = FPeaks.find(key);
        if (it != FPeaks.end() && it->second.made.isValid() && it->second.made.elapsed() < FPeaksCacheMs) {
            body = it->second.body;
            return Status::Ok;
        }
        std::vector<history::TDayPeak> rows;
        std::vector<QString> hosts;
        QString error;
        if (!history::DailyPeaks(FHistoryPath, from, to, rows, hosts, &error)) {
            body = RenderError(error);
            return Status::ServiceUnavailable;
        }
        body = RenderPeaks(rows);
        // Old answers go; a handful of ranges are asked in practice, so the map stays small.
        for (auto i = FPeaks.begin(); i != FPeaks.end();)
            i = i->second.made.elapsed() >= FPeaksCacheMs ? FPeaks.erase(i) : std::next(i);
        if (FPeaks.size() >= MaxCachedRanges)
            FPeaks.clear();
        if (FPeaksCacheMs > 0)
            FPeaks[key] = {now, body};
        return Status::Ok;
    }

    static constexpr int DefaultDays = 30;
    static constexpr qint64 MaxDays = 3660;
    static constexpr std::size_t MaxCachedRanges = 32;

    struct Answer {
        TMstSnapshotPtr snap;
        QByteArray body;
    };
    struct PeaksAnswer {
        QElapsedTimer made;
        QByteArray body;
    };
    TStatusHttp::Source FSource;
    QByteArray FPage;
    std::map<QString, Answer> FCache;
    QString FHistoryPath;
    qint64 FPeaksCacheMs;
    std::map<std::pair<QDate, QDate>, PeaksAnswer> FPeaks;
};

} // namespace

// Lives in the HTTP thread with everything it owns.
class TStatusHttpWorker : public QObject {
public:
    TStatusHttpWorker(TStatusHttp::Source source, const TStatusHttp::Options &options)
        : FSource(std::move(source)), FOptions(options)
    {
    }

    quint16 Listen(QString &error)
    {
        // Answers for people and monitoring yield to the protocol when the machine is busy:
        // this thread runs at a lower scheduling weight (Linux keeps a nice value per thread).
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
        FTcp = new TBoundedTcpServer(FOptions, this);
        if (!FTcp->listen(FOptions.address, FOptions.port)) {
            error = FTcp->errorString();
            return 0;
        }
        FHttp = new TStatusHttpServer(FSource, FOptions, this);
        FHttp->bind(FTcp);
        return FTcp->serverPort();
    }

    TStatusHttp::Refusals Refused() const
    {
        if (!FTcp)
            return {};
        return {FTcp->overLimit, FTcp->tooLarge, FTcp->idle};
    }

private:
    TStatusHttp::Source FSource;
    TStatusHttp::Options FOptions;
    TBoundedTcpServer *FTcp = nullptr;
    TStatusHttpServer *FHttp = nullptr;
};

TStatusHttp::TStatusHttp(Source source, const Options &options) : FThread(std::make_unique<QThread>())
{
    FThread->setObjectName(QStringLiteral("master http"));
    FWorker = new TStatusHttpWorker(std::move(source), options);
    FWorker->moveToThread(FThread.get());
    QObject::connect(FThread.get(), &QThread::finished, FWorker, &QObject::deleteLater);
    FThread->start();
    QString error;
    quint16 port = 0;
    QMetaObject::invokeMethod(
        FWorker, [&] { port = FWorker->Listen(error); }, Qt::BlockingQueuedConnection);
    FPort = port;
    FError = error;
}

TStatusHttp::~TStatusHttp()
{
    FThread->quit();
    FThread->wait();
}

TStatusHttp::Refusals TStatusHttp::Refused() const
{
    return FWorker->Refused();
}

std::unique_ptr<TStatusHttp> TStatusHttp::Attach(const TMstServer *server, const QString &historyPath)
{
    THttpSettings settings;
    HttpSetLoad(settings);
    if (settings.port == 0)
        return nullptr;
    Options options;
    const QString addressText = QString::fromStdU16String(settings.address);
    if (!options.address.setAddress(addressText)) {
        std::fprintf(stderr, "master: HttpAddress \"%s\" is not an address; the status page stays off\n",
                     qPrintable(addressText));
        std::fflush(stderr);
        return nullptr;
    }
    options.port = settings.port;
    options.historyPath = historyPath;
    auto http = std::make_unique<TStatusHttp>([server] { return server->Snapshot(); }, options);
    if (!http->Listening()) {
        std::fprintf(stderr, "master: the status page cannot listen on %s port %u: %s\n",
                     qPrintable(addressText), unsigned(settings.port), qPrintable(http->Error()));
        std::fflush(stderr);
        return nullptr;
    }
    return http;
}
