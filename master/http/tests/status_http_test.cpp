// The HTTP side in-process over a real server: a host name holding markup reaches the page as
// text, the bounds on connections, request size and silence hold, a flood of HTTP clients
// leaves the protocol answering, times carry their offset, and the daily peaks come from the
// usage history.

#include <mst_server.h>
#include <status_http.h>
#include <status_render.h>

#include <history/history.h>
#include <http_probe.h>

#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <gtest/gtest.h>
#include <testsupport/heldport.h>
#include <testsupport/masterstore.h>
#include <testsupport/rawtcp.h>
#include <testsupport/tempdir.h>
#include <testsupport/waitfor.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

namespace {

using statusprobe::Http;

const QString Markup = QStringLiteral("<script>document.title='owned'</script><b>bold</b>");

void EnsureApp()
{
    static int argc = 1;
    static char name[] = "status_http_test";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
}

using testsupport::WaitFor;

// True when the peer has closed the connection (read gives 0 or an error) within ms.
bool ClosedByPeer(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
        return false;
    char buf[256];
    return ::recv(fd, buf, sizeof buf, MSG_DONTWAIT) <= 0;
}

// A started server in its own thread whose resolver names every address with markup, and its
// HTTP side on a free loopback port.
class StatusHttp : public ::testing::Test {
protected:
    void Start(TStatusHttp::Options options = {})
    {
        EnsureApp();
        testsupport::UseMasterStore((dir.path() / "korvel.reg").string(), held.port(), "httpTest");
        TMstServer::Options so;
        so.inheritedListener = held.handOver();
        so.resolver = [](const QString &) { return Markup; };
        server = new TMstServer(so);
        if (withHistory) {
            // As the master does: the history where KORVEL_HISTORY says, its file handed on.
            const std::string file = (dir.path() / "history.sqlite").string();
            setenv("KORVEL_HISTORY", file.c_str(), 1);
            writer = history::AttachHistory(*server);
            setenv("KORVEL_HISTORY", "off", 1);
            ASSERT_NE(writer, nullptr);
            options.historyPath = writer->Path();
            ASSERT_EQ(options.historyPath.toStdString(), file);
        }
        server->moveToThread(&thread);
        thread.start();
        TMstServer::StartResult r;
        QMetaObject::invokeMethod(
            server, [&] { r = server->StartUp(); }, Qt::BlockingQueuedConnection);
        ASSERT_TRUE(r.listening);
        options.port = 0;
        http = std::make_unique<TStatusHttp>([s = server] { return s->Snapshot(); }, options);
        ASSERT_TRUE(http->Listening()) << http->Error().toStdString();
    }

    void TearDown() override
    {
        http.reset();
        if (server) {
            QMetaObject::invokeMethod(
                server, [this] { delete server; }, Qt::BlockingQueuedConnection);
            thread.quit();
            thread.wait();
        }
        unsetenv("KORVEL_REGISTRY");
        unsetenv("KORVEL_SESSION");
    }

    std::string Ask(const std::string &text)
    {
        const int fd = testsupport::TcpConnect(held.port());
        const std::string reply = testsupport::TcpAsk(fd, text);
        ::close(fd);
        return reply;
    }

    testsupport::TempDir dir;
    testsupport::HeldPort held;
    QThread thread;
    TMstServer *server = nullptr;
    bool withHistory = false;
    history::THistoryWriter *writer = nullptr;
    std::unique_ptr<TStatusHttp> http;
};

} // namespace

TEST_F(StatusHttp, AHostNameWithMarkupShowsAsText)
{
    Start();
    ASSERT_EQ(Ask("112,0,83,0"), "22,1,11,180");
    // The name comes from the resolver a moment later.
    ASSERT_TRUE(WaitFor(
        [&] {
            const QJsonArray rows =
                QJsonDocument::fromJson(Http(http->Port(), "GET", "/api/v1/instances").body).array();
            return rows.size() == 1 && rows[0].toObject().value(QStringLiteral("host")).toString() == Markup;
        },
        10000));
    const QString chromium = statusprobe::Tool(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        GTEST_SKIP() << "chromium is not installed";
    const QByteArray dom =
        statusprobe::BrowserDom(chromium, QStringLiteral("http://127.0.0.1:%1/").arg(http->Port()),
                                QStringLiteral(KORVEL_SCREENSHOT_DIR "/status_page_markup_host.png"));
    EXPECT_TRUE(
        dom.contains("<td>&lt;script&gt;document.title='owned'&lt;/script&gt;&lt;b&gt;bold&lt;/b&gt;</td>"))
        << dom.toStdString();
    EXPECT_FALSE(dom.contains("<b>bold</b>")) << "markup from the network became elements";
    EXPECT_TRUE(dom.contains("<title>Korvel - Master</title>")) << "a script from the network ran";
}

TEST_F(StatusHttp, ConnectionsSizeAndSilenceAreBounded)
{
    TStatusHttp::Options options;
    options.maxConnections = 4;
    options.maxRequestBytes = 4096;
    options.idleSeconds = 2;
    Start(options);
    const quint16 port = http->Port();

    // Four silent connections hold every place: a fifth is closed at once.
    std::vector<int> held4;
    for (int i = 0; i < 4; ++i)
        held4.push_back(testsupport::TcpConnect(port));
    ASSERT_TRUE(WaitFor([&] { return http->Refused().overLimit == 0; }, 100));
    const int fifth = testsupport::TcpConnect(port);
    EXPECT_TRUE(ClosedByPeer(fifth, 10000));
    ::close(fifth);
    EXPECT_GE(http->Refused().overLimit, 1);

    // Silent ones are closed after idleSeconds, and their places serve again.
    for (int fd : held4) {
        EXPECT_TRUE(ClosedByPeer(fd, 15000));
        ::close(fd);
    }
    EXPECT_GE(http->Refused().idle, 4);
    EXPECT_EQ(Http(port, "GET", "/metrics").status, 200);

    // A request larger than the bound is cut off instead of being kept.
    const int big = testsupport::TcpConnect(port);
    std::string request = "GET / HTTP/1.1\r\nHost: x\r\n";
    while (request.size() < 64 * 1024)
        request += "X-Filler: " + std::string(100, 'a') + "\r\n";
    ::send(big, request.data(), request.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(ClosedByPeer(big, 10000));
    ::close(big);
    EXPECT_GE(http->Refused().tooLarge, 1);
    EXPECT_EQ(Http(port, "GET", "/api/v1/clients").status, 200);
}

TEST_F(StatusHttp, AFloodOfHttpClientsLeavesTheProtocolAnswering)
{
    Start();
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> flood;
    for (int i = 0; i < 4; ++i)
        flood.emplace_back([&] {
            for (int k = 0; k < 100000 && !stop; ++k)
                if (Http(http->Port(), "GET", "/api/v1/log", 5000).status == 200)
                    ++answered;
        });
    QElapsedTimer t;
    t.start();
    int replies = 0;
    for (int i = 0; i < 200; ++i)
        replies += Ask("112,0,93,0").rfind("22,1,", 0) == 0;
    const qint64 ms = t.elapsed();
    stop = true;
    for (std::thread &f : flood)
        f.join();
    EXPECT_EQ(replies, 200);
    EXPECT_GT(answered.load(), 0) << "the flood reached the HTTP side";
    // Generous for a busy machine; a protocol stuck behind HTTP work would take far longer.
    EXPECT_LT(ms, 30000);
}

TEST_F(StatusHttp, DailyPeaksComeFromTheHistory)
{
    withHistory = true;
    Start();
    // Two instances of 83 at once; withdrawn and one announced again, which stays at two only
    // when the withdrawal ended the sessions. The history counts in milliseconds, so each step
    // waits for the clock to move on: sessions of no length overlap nothing.
    const auto tick = [] {
        const qint64 t = QDateTime::currentMSecsSinceEpoch();
        ASSERT_TRUE(WaitFor([t] { return QDateTime::currentMSecsSinceEpoch() > t + 5; }, 5000));
    };
    ASSERT_EQ(Ask("112,0,83,0"), "22,1,11,180");
    tick();
    ASSERT_EQ(Ask("112,11,83,0"), "22,1,0,0");
    tick();
    ASSERT_EQ(Ask("376,11,83,0"), "35,1,0,0");
    tick();
    ASSERT_EQ(Ask("112,11,83,0"), "22,1,0,0");
    tick();
    ASSERT_TRUE(writer->Flush(10000));
    const QDate today = QDate::currentDate();
    const auto day = [&](int offset) { return today.addDays(offset).toString(Qt::ISODate).toStdString(); };
    const quint16 port = http->Port();

    struct Case {
        std::string query;
        int status;
        int rows; ///< rows of code 83 today; -1: an error answer
    } cases[] = {
        {"", 200, 1}, // the last 30 days
        {"?from=" + day(0) + "&to=" + day(0), 200, 1},
        {"?from=" + day(-3), 200, 1},
        {"?to=" + day(-1), 200, 0},
        {"?from=" + day(-10) + "&to=" + day(-2), 200, 0},
        {"?from=" + day(1) + "&to=" + day(0), 400, -1},
        {"?from=" + day(1), 400, -1}, // to defaults to today
        {"?from=2026-13-01", 400, -1},
        {"?from=2026-02-30", 400, -1},
        {"?from=2026-1-5", 400, -1},
        {"?to=" + day(0) + "T00:00:00", 400, -1},
        {"?from=yesterday", 400, -1},
        {"?from=1900-01-01&to=2026-01-01", 400, -1}, // longer than any history keeps
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.query);
        const auto reply = Http(port, "GET", QByteArray::fromStdString("/api/v1/history/peaks" + c.query));
        EXPECT_EQ(reply.status, c.status);
        const QJsonDocument doc = QJsonDocument::fromJson(reply.body);
        if (c.rows < 0) {
            EXPECT_FALSE(doc.object().value(QStringLiteral("error")).toString().isEmpty())
                << reply.body.data();
            continue;
        }
        ASSERT_TRUE(doc.isArray()) << reply.body.data();
        const QJsonArray rows = doc.array();
        ASSERT_EQ(rows.size(), c.rows) << reply.body.data();
        if (c.rows == 0)
            continue;
        const QJsonObject r = rows[0].toObject();
        EXPECT_EQ(r.value(QStringLiteral("day")).toString().toStdString(), day(0));
        EXPECT_EQ(r.value(QStringLiteral("code")).toInt(), 83);
        EXPECT_EQ(r.value(QStringLiteral("name")).toString(), QStringLiteral("Ardentis Ledger"));
        EXPECT_EQ(r.value(QStringLiteral("peak")).toInt(), 2);
        EXPECT_EQ(r.value(QStringLiteral("clients")).toInt(), 1);
        // Seconds of three sessions: well under an hour, never negative.
        const double hours = r.value(QStringLiteral("instance_hours")).toDouble(-1);
        EXPECT_GE(hours, 0);
        EXPECT_LT(hours, 1);
    }

    // A master without history says so instead of answering an empty list.
    TStatusHttp::Options off;
    off.port = 0;
    TStatusHttp noHistory([s = server] { return s->Snapshot(); }, off);
    ASSERT_TRUE(noHistory.Listening());
    const auto reply = Http(noHistory.Port(), "GET", "/api/v1/history/peaks");
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(QJsonDocument::fromJson(reply.body).object().value(QStringLiteral("error")).toString(),
              QStringLiteral("history is off on this master"));

    // The page fills its section from the same answer.
    const QString chromium = statusprobe::Tool(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        GTEST_SKIP() << "chromium is not installed";
    const QByteArray dom =
        statusprobe::BrowserDom(chromium, QStringLiteral("http://127.0.0.1:%1/").arg(port),
                                QStringLiteral(KORVEL_SCREENSHOT_DIR "/status_page_daily_peaks.png"));
    EXPECT_TRUE(dom.contains(QByteArray("<td>") + day(0).c_str() +
                             "</td><td>83</td><td>Ardentis Ledger</td><td>2</td>"))
        << dom.toStdString();
}

TEST(StatusRender, TimesAreLocalWithTheirOffset)
{
    const char *old = std::getenv("TZ");
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    struct Case {
        TDateTime t;
        const char *iso;
    } cases[] = {
        {46000.0 + 0.5, "2025-12-09T12:00:00+01:00"},                // winter
        {45850.0 + 0.25, "2025-07-12T06:00:00+02:00"},               // summer
        {46000.0 + 86399.9996 / 86400, "2025-12-10T00:00:00+01:00"}, // rounds into the next day
        {0.5, ""},                                                   // no date part
    };
    for (const Case &c : cases)
        EXPECT_EQ(IsoLocalTime(c.t).toStdString(), c.iso) << c.t;
    if (old)
        setenv("TZ", old, 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(StatusRender, MetricsCountWhatTheSnapshotHolds)
{
    TMstSnapshot snap;
    snap.rows = {{11, 83, 46000.5, {}, {}}, {12, 83, 46000.5, {}, {}}, {12, 97, 46000.5, {}, {}}};
    snap.clients = {{11, QStringLiteral("a"), QStringLiteral("198.18.0.2"), 46000.5, 1}};
    snap.counters.announce = 7;
    snap.counters.bad = 2;
    snap.counters.auditRemoved = 1;
    snap.counters.connectionsOpen = 3;
    snap.counters.startTimeMs = 1765240708123;
    const QByteArray m = RenderMetrics(snap);
    for (const char *line :
         {"korvel_instances{code=\"83\",name=\"Ardentis Ledger\"} 2\n",
          "korvel_instances{code=\"97\",name=\"Ardentis Reports\"} 1\n",
          "korvel_instances{code=\"93\",name=\"Ardentis Planner\"} 0\n", "korvel_clients 1\n",
          "korvel_requests_total{kind=\"announce\"} 7\n", "korvel_requests_total{kind=\"keepalive\"} 0\n",
          "korvel_requests_total{kind=\"bad\"} 2\n", "korvel_audit_removed_clients_total 1\n",
          "korvel_connections_open 3\n", "korvel_start_time_seconds 1765240708.123\n"})
        EXPECT_TRUE(m.contains(line)) << line << "\n" << m.toStdString();
}
