// The master's HTTP side as a real process: its JSON after announcements, keep-alives,
// withdrawals and an audit removal; its metrics through promtool and a real Prometheus; its
// page in a headless browser; korvel-status against it.

#include "http_probe.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QUrlQuery>

#include <gtest/gtest.h>
#include <testsupport/heldport.h>
#include <testsupport/rawtcp.h>
#include <testsupport/waitfor.h>

#include <csignal>
#include <functional>
#include <memory>
#include <string>

#include <unistd.h>

namespace {

using statusprobe::Http;

const QString MasterBin = QStringLiteral(KORVEL_BIN_DIR "/master");
const QString StatusBin = QStringLiteral(KORVEL_BIN_DIR "/korvel-status");

using testsupport::WaitFor;

std::string Ask(quint16 port, const std::string &text)
{
    const int fd = testsupport::TcpConnect(port);
    const std::string reply = testsupport::TcpAsk(fd, text);
    ::close(fd);
    return reply;
}

QJsonArray Json(quint16 port, const QByteArray &path)
{
    return QJsonDocument::fromJson(Http(port, "GET", path).body).array();
}

// A master on a held protocol port and a free HTTP port, with an audit every 3 seconds that
// drops clients silent for 6 (store value Master = 3h78m1e0s3).
class StatusProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFile::exists(MasterBin)) << "build the master first";
        ASSERT_TRUE(dir.isValid());
        for (int attempt = 0; attempt < 3 && !httpPort; ++attempt)
            Start();
        ASSERT_NE(httpPort, 0) << "the master's HTTP side did not come up:\n" << out.toStdString();
    }

    void TearDown() override
    {
        if (master && master->state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(master->processId()), SIGTERM);
            if (!master->waitForFinished(10000)) {
                master->kill();
                master->waitForFinished(3000);
            }
        }
    }

    void Start()
    {
        TearDown();
        const quint16 port = statusprobe::FreePort();
        QFile f(dir.filePath(QStringLiteral("korvel.reg")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n"
            "\"Master\"=\"3h78m1e0s3\"\r\n\"Port\"=\"" +
            QByteArray::number(held.port()) + "\"\r\n\"HttpPort\"=\"" + QByteArray::number(port) +
            "\"\r\n\r\n");
        f.close();
        master = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KORVEL_REGISTRY"), f.fileName());
        env.insert(QStringLiteral("KORVEL_SESSION"), QStringLiteral("statusTest%1").arg(getpid()));
        env.insert(QStringLiteral("KORVEL_LISTEN_FD"), QString::number(held.fd()));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        master->setChildProcessModifier([fd = held.fd()] { testsupport::HeldPort::inheritInChild(fd); });
        master->setProcessEnvironment(env);
        master->setProcessChannelMode(QProcess::MergedChannels);
        master->start(MasterBin, {QStringLiteral("-platform"), QStringLiteral("offscreen")});
        ASSERT_TRUE(master->waitForStarted(5000));
        const bool up = WaitFor(
            [&] {
                out += master->readAll();
                return master->state() == QProcess::NotRunning ||
                       Http(port, "GET", "/api/v1/log", 1000).status == 200;
            },
            20000);
        if (up && master->state() == QProcess::Running)
            httpPort = port;
        // The log's first line says the protocol side listens too.
        if (httpPort) {
            ASSERT_TRUE(WaitFor([&] { return Json(httpPort, "/api/v1/log").size() >= 1; }, 10000));
        }
    }

    QString Status(const QStringList &args, int *exitCode)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KORVEL_REGISTRY"), dir.filePath(QStringLiteral("korvel.reg")));
        p.setProcessEnvironment(env);
        p.start(StatusBin, args);
        EXPECT_TRUE(p.waitForFinished(30000));
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return QString::fromUtf8(p.readAllStandardOutput());
    }

    QTemporaryDir dir;
    testsupport::HeldPort held;
    std::unique_ptr<QProcess> master;
    quint16 httpPort = 0;
    QByteArray out;
};

const QRegularExpression
    IsoTime(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$"));

} // namespace

TEST_F(StatusProcess, JsonFollowsAnnouncementsKeepAlivesWithdrawalsAndTheAudit)
{
    const quint16 port = held.port();
    EXPECT_EQ(Ask(port, "112,0,83,0"), "22,1,11,3");
    EXPECT_EQ(Ask(port, "112,0,93,0"), "22,1,12,3");
    EXPECT_EQ(Ask(port, "112,11,97,0"), "22,1,0,0");
    EXPECT_EQ(Ask(port, "259,11,0,0"), "35,1,0,0");
    EXPECT_EQ(Ask(port, "abc"), "47,0,0,0");

    QJsonArray rows;
    ASSERT_TRUE(WaitFor([&] { return (rows = Json(httpPort, "/api/v1/instances")).size() == 3; }, 5000));
    const QJsonObject first = rows[0].toObject();
    EXPECT_EQ(first.value(QStringLiteral("no")).toInt(), 1);
    EXPECT_EQ(first.value(QStringLiteral("code")).toInt(), 83);
    EXPECT_EQ(first.value(QStringLiteral("name")).toString(), QStringLiteral("Ardentis Ledger"));
    EXPECT_EQ(first.value(QStringLiteral("client")).toInt(), 11);
    EXPECT_EQ(first.value(QStringLiteral("address")).toString(), QStringLiteral("127.0.0.1"));
    EXPECT_FALSE(first.value(QStringLiteral("host")).toString().isEmpty());
    EXPECT_TRUE(IsoTime.match(first.value(QStringLiteral("started")).toString()).hasMatch())
        << first.value(QStringLiteral("started")).toString().toStdString();
    EXPECT_EQ(rows[1].toObject().value(QStringLiteral("client")).toInt(), 12);
    EXPECT_EQ(rows[2].toObject().value(QStringLiteral("code")).toInt(), 97);
    EXPECT_EQ(rows[2].toObject().value(QStringLiteral("no")).toInt(), 3);

    const QJsonArray clients = Json(httpPort, "/api/v1/clients");
    ASSERT_EQ(clients.size(), 2);
    EXPECT_EQ(clients[0].toObject().value(QStringLiteral("client")).toInt(), 11);
    EXPECT_EQ(clients[0].toObject().value(QStringLiteral("applications")).toInt(), 2);
    EXPECT_EQ(clients[1].toObject().value(QStringLiteral("applications")).toInt(), 1);
    EXPECT_TRUE(
        IsoTime.match(clients[0].toObject().value(QStringLiteral("last_contact")).toString()).hasMatch());

    // Client 11 ends its Ledger: the rows behind it move up.
    EXPECT_EQ(Ask(port, "376,11,83,0"), "35,1,0,0");
    ASSERT_TRUE(WaitFor([&] { return (rows = Json(httpPort, "/api/v1/instances")).size() == 2; }, 5000));
    EXPECT_EQ(rows[0].toObject().value(QStringLiteral("code")).toInt(), 93);
    EXPECT_EQ(rows[0].toObject().value(QStringLiteral("no")).toInt(), 1);

    const QByteArray metrics = Http(httpPort, "GET", "/metrics").body;
    EXPECT_TRUE(metrics.contains("korvel_requests_total{kind=\"announce\"} 3\n")) << metrics.toStdString();
    EXPECT_TRUE(metrics.contains("korvel_requests_total{kind=\"keepalive\"} 1\n"));
    EXPECT_TRUE(metrics.contains("korvel_requests_total{kind=\"withdraw\"} 1\n"));
    EXPECT_TRUE(metrics.contains("korvel_requests_total{kind=\"bad\"} 1\n"));
    EXPECT_TRUE(metrics.contains("korvel_instances{code=\"93\",name=\"Ardentis Planner\"} 1\n"));
    EXPECT_TRUE(metrics.contains("korvel_instances{code=\"83\",name=\"Ardentis Ledger\"} 0\n"));
    EXPECT_TRUE(metrics.contains("korvel_clients 2\n"));

    // Both clients fall silent: the audit removes them, their rows stay without host.
    ASSERT_TRUE(WaitFor([&] { return Json(httpPort, "/api/v1/clients").isEmpty(); }, 30000));
    ASSERT_TRUE(WaitFor(
        [&] {
            return Http(httpPort, "GET", "/metrics").body.contains("korvel_audit_removed_clients_total 2\n");
        },
        5000));
    rows = Json(httpPort, "/api/v1/instances");
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].toObject().value(QStringLiteral("host")).toString(), QString());
    const QJsonArray log = Json(httpPort, "/api/v1/log");
    ASSERT_FALSE(log.isEmpty());
    EXPECT_EQ(log.last().toObject().value(QStringLiteral("text")).toString(),
              QStringLiteral("Master audit: at least, one client is dead."));
    EXPECT_TRUE(IsoTime.match(log.last().toObject().value(QStringLiteral("time")).toString()).hasMatch());
    const QJsonArray tail = Json(httpPort, "/api/v1/log?last=1");
    ASSERT_EQ(tail.size(), 1);
    EXPECT_EQ(tail[0], log.last());
}

TEST_F(StatusProcess, ReadOnlyAndWhatHeadAndUnknownPathsGet)
{
    for (const QByteArray method : {"POST", "PUT", "DELETE", "PATCH"}) {
        const statusprobe::Answer a = Http(httpPort, method, "/api/v1/instances");
        EXPECT_EQ(a.status, 405) << method.constData();
        EXPECT_TRUE(a.headers.contains("Allow: GET, HEAD")) << a.headers.constData();
    }
    const statusprobe::Answer get = Http(httpPort, "GET", "/");
    ASSERT_EQ(get.status, 200);
    EXPECT_TRUE(get.headers.contains("text/html"));
    const statusprobe::Answer head = Http(httpPort, "HEAD", "/");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.headers.contains("Content-Length: " + QByteArray::number(get.body.size())));
    EXPECT_TRUE(head.body.isEmpty());
    EXPECT_EQ(Http(httpPort, "GET", "/api/v2/nothing").status, 404);
}

TEST_F(StatusProcess, MetricsPassPromtoolAndPrometheusScrapesThem)
{
    EXPECT_EQ(Ask(held.port(), "112,0,83,0"), "22,1,11,3");
    ASSERT_TRUE(WaitFor([&] { return Json(httpPort, "/api/v1/instances").size() == 1; }, 5000));

    const QString promtool = statusprobe::Tool(QStringLiteral("promtool"));
    const QString prometheus = statusprobe::Tool(QStringLiteral("prometheus"));
    if (promtool.isEmpty() || prometheus.isEmpty())
        GTEST_SKIP() << "promtool or prometheus is not installed";

    QProcess check;
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    ASSERT_TRUE(check.waitForStarted(5000));
    check.write(Http(httpPort, "GET", "/metrics").body);
    check.closeWriteChannel();
    ASSERT_TRUE(check.waitForFinished(30000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardOutput().toStdString()
                                   << check.readAllStandardError().toStdString();

    // A real Prometheus on loopback, scraping the master every second.
    QTemporaryDir data;
    const quint16 promPort = statusprobe::FreePort();
    QFile config(data.filePath(QStringLiteral("prometheus.yml")));
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nscrape_configs:\n"
                 "  - job_name: korvel\n    static_configs:\n      - targets: ['127.0.0.1:" +
                 QByteArray::number(httpPort) + "']\n");
    config.close();
    QProcess prom;
    prom.setProcessChannelMode(QProcess::MergedChannels);
    prom.start(prometheus, {QStringLiteral("--config.file=") + config.fileName(),
                            QStringLiteral("--storage.tsdb.path=") + data.filePath(QStringLiteral("tsdb")),
                            QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(promPort)});
    ASSERT_TRUE(prom.waitForStarted(10000));
    QByteArray answer;
    const bool seen = WaitFor(
        [&] {
            answer = Http(promPort, "GET",
                          "/api/v1/query?query=" +
                              QUrl::toPercentEncoding(QStringLiteral("korvel_instances{code=\"83\"}")),
                          2000)
                         .body;
            const QJsonArray result = QJsonDocument::fromJson(answer)
                                          .object()
                                          .value(QStringLiteral("data"))
                                          .toObject()
                                          .value(QStringLiteral("result"))
                                          .toArray();
            return result.size() == 1 &&
                   result[0].toObject().value(QStringLiteral("value")).toArray().at(1).toString() ==
                       QStringLiteral("1");
        },
        60000);
    prom.terminate();
    if (!prom.waitForFinished(15000))
        prom.kill();
    prom.waitForFinished(5000);
    EXPECT_TRUE(seen) << answer.toStdString() << "\n" << prom.readAll().right(3000).toStdString();
}

TEST_F(StatusProcess, PageInAHeadlessBrowserShowsTheAnnouncedRow)
{
    EXPECT_EQ(Ask(held.port(), "112,0,93,0"), "22,1,11,3");
    ASSERT_TRUE(WaitFor([&] { return Json(httpPort, "/api/v1/instances").size() == 1; }, 5000));
    const QString chromium = statusprobe::Tool(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        GTEST_SKIP() << "chromium is not installed";
    const QString shot = QStringLiteral(KORVEL_SCREENSHOT_DIR "/status_page.png");
    QFile::remove(shot);
    const QByteArray dom =
        statusprobe::BrowserDom(chromium, QStringLiteral("http://127.0.0.1:%1/").arg(httpPort), shot);
    EXPECT_TRUE(dom.contains("<td>Ardentis Planner</td>")) << dom.toStdString();
    EXPECT_TRUE(dom.contains("<td>93</td><td>Ardentis Planner</td>"));
    EXPECT_TRUE(dom.contains("1 instance(s), 1 client(s)"));
    EXPECT_TRUE(QFile::exists(shot)) << "no screenshot";
}

TEST_F(StatusProcess, KorvelStatusPrintsTheListAndSaysWhenTheMasterIsAway)
{
    EXPECT_EQ(Ask(held.port(), "112,0,83,0"), "22,1,11,3");
    EXPECT_EQ(Ask(held.port(), "112,11,97,0"), "22,1,0,0");
    ASSERT_TRUE(WaitFor([&] { return Json(httpPort, "/api/v1/instances").size() == 2; }, 5000));
    const QString master = QStringLiteral("127.0.0.1:%1").arg(httpPort);
    int code = -1;

    const QStringList table = Status({QStringLiteral("--master"), master}, &code).split(QLatin1Char('\n'));
    EXPECT_EQ(code, 0);
    ASSERT_GE(table.size(), 3);
    EXPECT_TRUE(table[0].startsWith(QStringLiteral("No  Code  Name"))) << table[0].toStdString();
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^ 1    83  Ardentis Ledger\\s+\\d\\d:\\d\\d:\\d\\d\\s+11  "))
            .match(table[1])
            .hasMatch())
        << table[1].toStdString();
    EXPECT_TRUE(table[2].contains(QStringLiteral("   97  Ardentis Reports"))) << table[2].toStdString();

    const QString csv = Status({QStringLiteral("--csv"), QStringLiteral("--master"), master}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(csv.startsWith(
        QStringLiteral("No,Code,Name,Start Time,Client ID,Host,Address\n1,83,Ardentis Ledger,")))
        << csv.toStdString();
    EXPECT_EQ(csv.count(QLatin1Char('\n')), 3);

    const QString json = Status({QStringLiteral("--json"), QStringLiteral("--master=") + master}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(QJsonDocument::fromJson(json.toUtf8()).array().size(), 2);

    // Without --master: the store's HttpAddress and HttpPort.
    EXPECT_TRUE(Status({}, &code).contains(QStringLiteral("Ardentis Ledger")));
    EXPECT_EQ(code, 0);

    // Nobody listens there: exit status 2.
    Status({QStringLiteral("--master"), QStringLiteral("127.0.0.1:%1").arg(statusprobe::FreePort())}, &code);
    EXPECT_EQ(code, 2);
    Status({QStringLiteral("--bogus")}, &code);
    EXPECT_EQ(code, 1);
}
