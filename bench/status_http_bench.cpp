// The master's HTTP side with a large site: 10,000 clients and 30,000 list rows. Reports the
// time of /metrics and /api/v1/instances, made from a snapshot alone and as whole HTTP answers
// over loopback, each made anew from a changed snapshot (goal: under 50 ms each).

#include <mst_snapshot.h>
#include <status_http.h>
#include <status_render.h>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTcpSocket>

#include <atomic>
#include <memory>

namespace {

constexpr int Clients = 10000;
constexpr int Rows = 30000;

TMstSnapshotPtr MakeSnapshot(std::uint64_t serial)
{
    {
        auto s = std::make_shared<TMstSnapshot>();
        s->serial = serial;
        const unsigned short codes[] = {83, 93, 97, 10};
        for (int c = 0; c < Clients; ++c)
            s->clients.push_back({static_cast<std::int16_t>(11 + c),
                                  QStringLiteral("ws%1.site.example").arg(c),
                                  QStringLiteral("198.18.%1.%2").arg(c / 250).arg(c % 250 + 1), 46000.5, 3});
        for (int r = 0; r < Rows; ++r) {
            const TSnapClient &c = s->clients[static_cast<std::size_t>(r % Clients)];
            s->rows.push_back({c.clientId, codes[r % 4], 46000.25 + r / 86400.0, c.host, c.address});
        }
        return TMstSnapshotPtr(s);
    }
}

TMstSnapshotPtr BigSnapshot()
{
    static const TMstSnapshotPtr snap = MakeSnapshot(1);
    return snap;
}

// Two snapshots in turn, as if the master published between two requests: every answer is
// made anew instead of coming from the HTTP side's cache.
TMstSnapshotPtr AlternateSnapshot()
{
    static const TMstSnapshotPtr other = MakeSnapshot(2);
    static std::atomic<unsigned> n{0};
    return (n++ % 2) ? other : BigSnapshot();
}

void EnsureApp()
{
    static int argc = 1;
    static char name[] = "status_http_bench";
    static char *argv[] = {name, nullptr};
    static auto *app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
}

// One GET over a fresh connection, read to the end of its Content-Length; the body's size.
qint64 Get(quint16 port, const QByteArray &path)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return -1;
    s.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray got;
    qint64 want = -1;
    int split = -1;
    while (s.waitForReadyRead(5000)) {
        got += s.readAll();
        if (split < 0 && (split = got.indexOf("\r\n\r\n")) >= 0) {
            const int at = got.indexOf("Content-Length: ");
            want =
                at >= 0 && at < split ? got.mid(at + 16, got.indexOf('\r', at) - at - 16).toLongLong() : -1;
        }
        if (split >= 0 && want >= 0 && got.size() - split - 4 >= want)
            return want;
    }
    return -1;
}

void BM_RenderMetrics(benchmark::State &state)
{
    const TMstSnapshotPtr snap = BigSnapshot();
    for (auto _ : state)
        benchmark::DoNotOptimize(RenderMetrics(*snap));
}

void BM_RenderInstances(benchmark::State &state)
{
    const TMstSnapshotPtr snap = BigSnapshot();
    qint64 bytes = 0;
    for (auto _ : state)
        bytes = RenderInstances(*snap).size();
    state.counters["bytes"] = static_cast<double>(bytes);
}

void HttpAnswer(benchmark::State &state, const QByteArray &path)
{
    EnsureApp();
    TStatusHttp::Options options;
    options.port = 0;
    TStatusHttp http([] { return AlternateSnapshot(); }, options);
    if (!http.Listening()) {
        state.SkipWithError("the HTTP side did not listen");
        return;
    }
    qint64 bytes = 0;
    for (auto _ : state) {
        bytes = Get(http.Port(), path);
        if (bytes < 0) {
            state.SkipWithError("no whole answer");
            break;
        }
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_HttpMetrics(benchmark::State &state)
{
    HttpAnswer(state, "/metrics");
}

void BM_HttpInstances(benchmark::State &state)
{
    HttpAnswer(state, "/api/v1/instances");
}

} // namespace

BENCHMARK(BM_RenderMetrics)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderInstances)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HttpMetrics)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_HttpInstances)->Unit(benchmark::kMillisecond)->MinTime(2);
