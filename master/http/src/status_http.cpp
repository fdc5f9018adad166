#include "status_http.h"
#include "status_render.h"

#include <mst_server.h>

#include <common/settings.h>

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QPointer>
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
    TStatusHttpServer(TStatusHttp::Source source, int pagePollMs, QObject *parent)
        : QAbstractHttpServer(parent), FSource(std::move(source)), FPage(RenderPage(pagePollMs))
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
        } else {
            responder.write(QByteArray("Not found.\n"), {{"Content-Type", "text/plain; charset=utf-8"}},
                            Status::NotFound);
            return true;
        }
        if (method == Method::Head) {
            // The headers a GET would get, without the body.
            responder.writeStatusLine(Status::Ok);
            responder.writeHeaders({{"Content-Type", type},
                                    {"Content-Length", QByteArray::number(body.size())},
                                    {"Cache-Control", "no-store"}});
            responder.writeBody(QByteArray());
            return true;
        }
        responder.write(body, {{"Content-Type", type}, {"Cache-Control", "no-store"}});
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

    struct Answer {
        TMstSnapshotPtr snap;
        QByteArray body;
    };
    TStatusHttp::Source FSource;
    QByteArray FPage;
    std::map<QString, Answer> FCache;
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
        FHttp = new TStatusHttpServer(FSource, FOptions.pagePollMs, this);
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

std::unique_ptr<TStatusHttp> TStatusHttp::Attach(const TMstServer *server)
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
    auto http = std::make_unique<TStatusHttp>([server] { return server->Snapshot(); }, options);
    if (!http->Listening()) {
        std::fprintf(stderr, "master: the status page cannot listen on %s port %u: %s\n",
                     qPrintable(addressText), unsigned(settings.port), qPrintable(http->Error()));
        std::fflush(stderr);
        return nullptr;
    }
    return http;
}
