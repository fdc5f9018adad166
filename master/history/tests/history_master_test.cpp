// The master program keeping history: real announcements over loopback, an audit removal, a
// SIGKILL and a restart, and files it cannot write while it goes on answering its clients;
// then korvel-report on what it wrote, in each format, and its chart.

#include <history/history.h>

#include <testsupport/heldport.h>
#include <testsupport/rawtcp.h>
#include <testsupport/tempdir.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <QXmlStreamReader>

#include <gtest/gtest.h>
#include <testsupport/waitfor.h>

#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <memory>

using namespace history;

namespace {

const QString BinDir = QStringLiteral(KORVEL_BIN_DIR);

void EnsureApp()
{
    static int argc = 1;
    static char name[] = "history_master_test";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
}

using testsupport::WaitFor;

std::string Sql(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    std::string result;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_exec(
            db, sql,
            [](void *out, int n, char **values, char **) {
                for (int i = 0; i < n; ++i)
                    *static_cast<std::string *>(out) +=
                        std::string(values[i] ? values[i] : "NULL") + (i + 1 < n ? "|" : "\n");
                return 0;
            },
            &result, nullptr);
    }
    sqlite3_close(db);
    return result;
}

struct Report {
    int status = -1;
    QString out, err;
};

Report RunReport(const QStringList &args)
{
    QProcess p;
    p.start(BinDir + QStringLiteral("/korvel-report"), args);
    Report r;
    if (!p.waitForFinished(60000))
        return r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

class MasterRun {
public:
    explicit MasterRun(const QString &history, const char *master = "b4h78m1e0sb4")
        : dir_("korvel-hmaster"), history_(history)
    {
        EnsureApp();
        reg_ = QString::fromStdString((dir_.path() / "korvel.reg").string());
        std::ofstream(reg_.toStdString(), std::ios::binary)
            << "Windows Registry Editor Version "
               "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n"
            << "\"Master\"=\"" << master << "\"\r\n\"Port\"=\"" << held_.port() << "\"\r\n";
        session_ = QStringLiteral("hist%1_%2").arg(::getpid()).arg(held_.port());
    }
    ~MasterRun()
    {
        if (p_ && p_->state() != QProcess::NotRunning) {
            p_->kill();
            p_->waitForFinished(5000);
        }
    }

    bool Start()
    {
        p_ = std::make_unique<QProcess>();
        out_.clear();
        err_.clear();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KORVEL_REGISTRY"), reg_);
        env.insert(QStringLiteral("KORVEL_SESSION"), session_);
        env.insert(QStringLiteral("KORVEL_HISTORY"), history_);
        env.insert(QStringLiteral("KORVEL_LOG_ECHO"), QStringLiteral("1"));
        env.insert(QStringLiteral("KORVEL_AUTOBOX_SECONDS"), QStringLiteral("1"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("KORVEL_LISTEN_FD"), QString::number(held_.fd()));
        const int fd = held_.fd();
        p_->setChildProcessModifier([fd] { testsupport::HeldPort::inheritInChild(fd); });
        p_->setProcessEnvironment(env);
        p_->start(BinDir + QStringLiteral("/master"),
                  {QStringLiteral("-platform"), QStringLiteral("offscreen")});
        if (!p_->waitForStarted(5000))
            return false;
        const QByteArray line = "Master begins listening at port " + QByteArray::number(held_.port()) + ".";
        return WaitFor([&] { return Read(), out_.contains(line); }, 20000);
    }
    void Read()
    {
        p_->waitForReadyRead(10);
        out_ += p_->readAllStandardOutput();
        err_ += p_->readAllStandardError();
    }
    std::string Ask(const std::string &text)
    {
        const int fd = testsupport::TcpConnect(held_.port());
        if (fd < 0)
            return "no connection";
        std::string reply = testsupport::TcpAsk(fd, text, 10000);
        ::close(fd);
        return reply;
    }
    bool Stop()
    {
        ::kill(static_cast<pid_t>(p_->processId()), SIGTERM);
        return p_->waitForFinished(20000) && p_->exitCode() == 0;
    }
    void Kill()
    {
        ::kill(static_cast<pid_t>(p_->processId()), SIGKILL);
        p_->waitForFinished(10000);
        Read();
    }
    QByteArray Err()
    {
        Read();
        return err_;
    }

private:
    testsupport::TempDir dir_;
    testsupport::HeldPort held_;
    QString history_, reg_, session_;
    std::unique_ptr<QProcess> p_;
    QByteArray out_, err_;
};

std::vector<TSession> Sessions(const QString &path)
{
    THistoryReader reader;
    QString error;
    std::vector<TSession> out;
    if (reader.Open(path, &error))
        reader.Sessions(0, INT64_MAX, -1, out, &error);
    return out;
}

TEST(HistoryMaster, RecordsAnnouncementsWithdrawsAndTheAudit)
{
    testsupport::TempDir dir("korvel-hm");
    const QString path = QString::fromStdString((dir.path() / "h.sqlite").string());
    // Audit every second with one second of grace: a silent client goes after 2 s.
    MasterRun m(path, "1h78m1e0s1");
    ASSERT_TRUE(m.Start());
    const std::int64_t t0 = QDateTime::currentMSecsSinceEpoch();
    ASSERT_EQ(m.Ask("112,0,83,0"), "22,1,11,1");
    ASSERT_EQ(m.Ask("112,11,93,0"), "22,1,0,0");
    ASSERT_EQ(m.Ask("112,0,97,0"), "22,1,12,1");
    ASSERT_EQ(m.Ask("376,11,83,0"), "35,1,0,0");
    // Client 11 keeps talking; client 12 falls silent and the audit drops it.
    const bool dropped = WaitFor(
        [&] {
            m.Ask("259,11,0,0");
            for (const TSession &s : Sessions(path))
                if (s.clientId == 12 && s.reason == int(EndReason::ClientRemoved))
                    return true;
            return false;
        },
        30000);
    ASSERT_TRUE(dropped) << m.Err().toStdString();
    ASSERT_TRUE(m.Stop());
    const auto s = Sessions(path);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].code, 83);
    EXPECT_EQ(s[0].reason, int(EndReason::Withdrawn));
    EXPECT_EQ(s[1].code, 93);
    EXPECT_EQ(s[1].reason, int(EndReason::MasterStopped));
    EXPECT_EQ(s[2].code, 97);
    EXPECT_EQ(s[2].clientId, 12);
    EXPECT_EQ(s[2].reason, int(EndReason::ClientRemoved));
    // The dropped client counts until it was last heard of, not until the audit noticed.
    EXPECT_LT(s[2].end - s[2].start, 1500);
    for (const TSession &x : s) {
        EXPECT_GE(x.start, t0 - 1000);
        EXPECT_EQ(x.address, QStringLiteral("127.0.0.1"));
    }
    EXPECT_EQ(Sql(path, "SELECT COUNT(*), SUM(stopped IS NOT NULL), SUM(killed) FROM runs"), "1|1|0\n");
    EXPECT_FALSE(m.Err().contains("korvel history")) << m.Err().toStdString();
}

TEST(HistoryMaster, SigkillLosesAtMostTheLastSecond)
{
    testsupport::TempDir dir("korvel-hm");
    const QString path = QString::fromStdString((dir.path() / "h.sqlite").string());
    MasterRun m(path);
    ASSERT_TRUE(m.Start());
    ASSERT_EQ(m.Ask("112,0,83,0"), "22,1,11,180");
    ASSERT_EQ(m.Ask("112,0,93,0"), "22,1,12,180");
    const std::int64_t announced = QDateTime::currentMSecsSinceEpoch();
    // Wait until the writer has confirmed the master alive a while after the announcements.
    ASSERT_TRUE(WaitFor(
        [&] {
            const std::string alive = Sql(path, "SELECT alive_until FROM runs WHERE stopped IS NULL");
            return Sessions(path).size() == 2 && !alive.empty() && std::stoll(alive) > announced + 1500;
        },
        20000));
    m.Kill();
    const std::int64_t killed = QDateTime::currentMSecsSinceEpoch();
    for (const TSession &s : Sessions(path))
        EXPECT_EQ(s.end, -1);

    ASSERT_TRUE(m.Start());
    ASSERT_TRUE(
        WaitFor([&] { return Sql(path, "SELECT COUNT(*) FROM runs WHERE killed=1") == "1\n"; }, 20000));
    for (const TSession &s : Sessions(path)) {
        EXPECT_EQ(s.reason, int(EndReason::MasterStopped));
        EXPECT_GT(s.end, announced + 1500);
        EXPECT_LE(s.end, killed);
        EXPECT_GE(s.end, killed - 2500); // the last heartbeat: about a second before the kill
    }
    // The report reads the file while the new master writes it.
    const Report r = RunReport({QStringLiteral("sessions"), QStringLiteral("--file"), path,
                                QStringLiteral("--format"), QStringLiteral("csv")});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.count(QStringLiteral("master stopped")), 2) << r.out.toStdString();
    ASSERT_TRUE(m.Stop());
}

// A small tmpfs of the test's own; root only.
struct Tmpfs {
    std::filesystem::path where;
    bool ok = false;
    Tmpfs(const std::filesystem::path &w, const char *options) : where(w)
    {
        std::filesystem::create_directories(w);
        ok = ::mount("tmpfs", w.c_str(), "tmpfs", 0, options) == 0;
    }
    ~Tmpfs()
    {
        if (ok)
            ::umount2(where.c_str(), MNT_DETACH);
    }
};

TEST(HistoryMaster, BadFilesLeaveTheMasterAnswering)
{
    testsupport::TempDir dir("korvel-hm");
    const bool root = ::geteuid() == 0;
    struct Case {
        const char *name;
        bool needsRoot;
        std::function<QString()> prepare;
        const char *said;
    };
    std::vector<std::unique_ptr<Tmpfs>> mounts;
    const std::vector<Case> cases = {
        {"corrupt", false,
         [&] {
             const auto p = dir.path() / "corrupt.sqlite";
             std::ofstream(p) << std::string(10000, 'z');
             return QString::fromStdString(p.string());
         },
         "damaged"},
        {"read-only", true,
         [&] {
             mounts.push_back(std::make_unique<Tmpfs>(dir.path() / "ro", "size=1m"));
             const auto p = dir.path() / "ro" / "h.sqlite";
             std::ofstream(p) << "";
             ::mount("tmpfs", (dir.path() / "ro").c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=1m");
             return QString::fromStdString(p.string());
         },
         "Read-only file system"},
        {"full", true,
         [&] {
             mounts.push_back(std::make_unique<Tmpfs>(dir.path() / "full", "size=64k"));
             // All but a few bytes taken: the file cannot even be made.
             std::ofstream filler(dir.path() / "full" / "filler");
             filler << std::string(64 * 1024, 'f');
             return QString::fromStdString((dir.path() / "full" / "h.sqlite").string());
         },
         "korvel history"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && !root) {
            std::printf("skipped the %s file: mounting a tmpfs needs root\n", c.name);
            continue;
        }
        const QString path = c.prepare();
        MasterRun m(path);
        ASSERT_TRUE(m.Start());
        EXPECT_EQ(m.Ask("112,0,83,0"), "22,1,11,180");
        ASSERT_TRUE(WaitFor([&] { return m.Err().contains("korvel history"); }, 20000));
        EXPECT_EQ(m.Ask("112,0,93,0"), "22,1,12,180");
        EXPECT_EQ(m.Ask("376,11,83,0"), "35,1,0,0");
        const QByteArray err = m.Err();
        EXPECT_EQ(err.count("korvel history"), 1) << err.toStdString();
        EXPECT_TRUE(err.contains(c.said)) << err.toStdString();
        EXPECT_TRUE(m.Stop());
    }
    if (!root)
        GTEST_SKIP() << "the read-only and full files need root for their tmpfs";
}

// ---------------------------------------------------------------------------------------
// korvel-report on a hand-made history.

class ReportFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = QString::fromStdString((dir.path() / "h.sqlite").string());
        THistoryWriter::Options o;
        o.path = path;
        o.keptDays = 100000;
        o.flushMs = 50;
        THistoryWriter w(o);
        auto post = [&](TRecord::Kind kind, int client, int code, QDateTime at, const char *host) {
            TRecord r;
            r.kind = kind;
            r.clientId = client;
            r.code = code;
            r.time = at.toMSecsSinceEpoch();
            r.host = QString::fromLatin1(host);
            r.address = QStringLiteral("10.0.0.%1").arg(client);
            w.Post(r);
        };
        const QDate d(2026, 3, 2);
        post(TRecord::Start, 11, 83, QDateTime(d, QTime(9, 0)), "ws-a");
        post(TRecord::Start, 12, 83, QDateTime(d, QTime(10, 0)), "ws-b");
        post(TRecord::Start, 12, 93, QDateTime(d, QTime(10, 0)), "ws-b");
        post(TRecord::End, 11, 83, QDateTime(d, QTime(12, 0)), "");
        post(TRecord::End, 12, 83, QDateTime(d, QTime(11, 0)), "");
        post(TRecord::End, 12, 93, QDateTime(d.addDays(1), QTime(1, 0)), "");
        post(TRecord::Start, 13, 97, QDateTime(d.addDays(1), QTime(8, 0)), "ws-c");
        post(TRecord::End, 13, 97, QDateTime(d.addDays(1), QTime(9, 30)), "");
        ASSERT_TRUE(w.Flush(10000));
    }
    QStringList Args(QStringList a) const { return a << QStringLiteral("--file") << path; }

    testsupport::TempDir dir{"korvel-report"};
    QString path;
};

TEST_F(ReportFile, PeaksAndSessionsInEachFormat)
{
    const QString from = QStringLiteral("2026-03-02"), to = QStringLiteral("2026-03-03");
    const Report table = RunReport(
        Args({QStringLiteral("peaks"), QStringLiteral("--from"), from, QStringLiteral("--to"), to}));
    ASSERT_EQ(table.status, 0) << table.err.toStdString();
    const QStringList lines = table.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5)
        << table.out.toStdString(); // header, 83 and 93 on day one, 93 and 97 on day two
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Day ")));
    // Aligned: every line as long as the header.
    for (const QString &l : lines)
        EXPECT_EQ(l.size(), lines[0].size()) << l.toStdString();
    EXPECT_TRUE(lines[1].contains(QRegularExpression(QStringLiteral("^2026-03-02 +83 .* 2 +4\\.00 +2$"))))
        << lines[1].toStdString();

    const Report csv =
        RunReport(Args({QStringLiteral("peaks"), QStringLiteral("--from"), from, QStringLiteral("--to"), to,
                        QStringLiteral("--format"), QStringLiteral("csv"), QStringLiteral("--by-host")}));
    ASSERT_EQ(csv.status, 0) << csv.err.toStdString();
    const QStringList rows = csv.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 6) << csv.out.toStdString();
    EXPECT_EQ(rows[0], QStringLiteral("Day,Code,Application,Host,Peak,Instance-hours,Clients"));
    EXPECT_TRUE(rows.contains(
        QStringLiteral("2026-03-02,93,%1,ws-b,1,14.00,1").arg(rows[3].section(QLatin1Char(','), 2, 2))))
        << csv.out.toStdString();

    const Report json =
        RunReport(Args({QStringLiteral("peaks"), QStringLiteral("--code"), QStringLiteral("97"),
                        QStringLiteral("--format"), QStringLiteral("json")}));
    ASSERT_EQ(json.status, 0) << json.err.toStdString();
    const QJsonArray a = QJsonDocument::fromJson(json.out.toUtf8()).array();
    ASSERT_EQ(a.size(), 1);
    EXPECT_EQ(a[0][QStringLiteral("day")].toString(), QStringLiteral("2026-03-03"));
    EXPECT_EQ(a[0][QStringLiteral("peak")].toInt(), 1);
    EXPECT_DOUBLE_EQ(a[0][QStringLiteral("instance_hours")].toDouble(), 1.5);

    const Report sessions =
        RunReport(Args({QStringLiteral("sessions"), QStringLiteral("--from"), from, QStringLiteral("--host"),
                        QStringLiteral("ws-b"), QStringLiteral("--format"), QStringLiteral("json")}));
    ASSERT_EQ(sessions.status, 0) << sessions.err.toStdString();
    const QJsonArray s = QJsonDocument::fromJson(sessions.out.toUtf8()).array();
    ASSERT_EQ(s.size(), 2);
    EXPECT_EQ(s[0][QStringLiteral("client")].toInt(), 12);
    EXPECT_EQ(s[0][QStringLiteral("ended")].toString(), QStringLiteral("withdrawn"));
    const Report sessionTable = RunReport(Args({QStringLiteral("sessions"), QStringLiteral("--from"), from}));
    ASSERT_EQ(sessionTable.status, 0);
    EXPECT_EQ(sessionTable.out.count(QLatin1Char('\n')), 5);
    EXPECT_TRUE(sessionTable.out.contains(QStringLiteral("2026-03-03 01:00:00")))
        << sessionTable.out.toStdString();
}

TEST_F(ReportFile, DailyPeaksForTheStatusPage)
{
    std::vector<TDayPeak> rows;
    std::vector<QString> hosts;
    QString error;
    ASSERT_TRUE(DailyPeaks(path, QDate(2026, 3, 2), QDate(2026, 3, 3), rows, hosts, &error))
        << error.toStdString();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].code, 83);
    EXPECT_EQ(rows[0].peak, 2);
    EXPECT_EQ(rows[0].clients, 2);
    EXPECT_EQ(rows[3].day, QDate(2026, 3, 3));
    EXPECT_EQ(rows[3].code, 97);
    EXPECT_FALSE(DailyPeaks(path + QStringLiteral(".none"), QDate(2026, 3, 2), QDate(2026, 3, 3), rows, hosts,
                            &error));
    EXPECT_TRUE(error.contains(QStringLiteral("no history file"))) << error.toStdString();
}

TEST_F(ReportFile, ClearErrors)
{
    const QString corrupt = QString::fromStdString((dir.path() / "corrupt.sqlite").string());
    std::ofstream(corrupt.toStdString()) << std::string(5000, 'q');
    struct Case {
        QStringList args;
        int status;
        const char *said;
    } cases[] = {
        {{QStringLiteral("peaks"), QStringLiteral("--file"),
          QString::fromStdString(dir.path().string()) + QStringLiteral("/none.sqlite")},
         1,
         "no history file at"},
        {{QStringLiteral("peaks"), QStringLiteral("--file"), corrupt}, 1, "not a history file"},
        {Args({QStringLiteral("peaks"), QStringLiteral("--from"), QStringLiteral("2026-02-30")}), 2,
         "bad date \"2026-02-30\""},
        {Args({QStringLiteral("peaks"), QStringLiteral("--to"), QStringLiteral("yesterday")}), 2, "bad date"},
        {Args({QStringLiteral("sessions"), QStringLiteral("--from"), QStringLiteral("2026-03-05"),
               QStringLiteral("--to"), QStringLiteral("2026-03-04")}),
         2, "empty range"},
        {Args({QStringLiteral("peaks"), QStringLiteral("--from"), QStringLiteral("2025-01-01"),
               QStringLiteral("--to"), QStringLiteral("2025-01-31")}),
         1, "no sessions between 2025-01-01 and 2025-01-31"},
        {Args({QStringLiteral("peaks"), QStringLiteral("--format"), QStringLiteral("xml")}), 2,
         "unknown format"},
        {Args({QStringLiteral("chart"), QStringLiteral("--out"), QStringLiteral("x.pdf")}), 2,
         ".svg or .png"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        const Report r = RunReport(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.said))) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
}

TEST_F(ReportFile, ChartHoldsALinePerApplication)
{
    const QString shots = QStringLiteral(KORVEL_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(shots));
    const QString svg = shots + QStringLiteral("/history-chart.svg");
    const QString png = shots + QStringLiteral("/history-chart.png");
    QFile::remove(svg);
    QFile::remove(png);
    for (const QString &out : {svg, png}) {
        const Report r = RunReport(
            Args({QStringLiteral("chart"), QStringLiteral("--out"), out, QStringLiteral("--from"),
                  QStringLiteral("2026-03-02"), QStringLiteral("--to"), QStringLiteral("2026-03-03")}));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
    }
    QFile file(svg);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    // Each application's line is a polyline of more than two points in a colour of its own.
    QXmlStreamReader xml(&file);
    std::vector<QString> strokes{QString()};
    QSet<QString> lineColours;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const QString stroke = xml.attributes().value(QStringLiteral("stroke")).toString();
            strokes.push_back(stroke.isEmpty() ? strokes.back() : stroke);
            if (xml.name() == QLatin1String("polyline") &&
                xml.attributes()
                        .value(QStringLiteral("points"))
                        .toString()
                        .split(QLatin1Char(' '), Qt::SkipEmptyParts)
                        .size() > 2)
                lineColours.insert(strokes.back());
        } else if (xml.isEndElement()) {
            strokes.pop_back();
        }
    }
    ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(lineColours.size(), 3)
        << QStringList(lineColours.values()).join(QLatin1Char(' ')).toStdString();
    QFile image(png);
    ASSERT_TRUE(image.open(QIODevice::ReadOnly));
    EXPECT_TRUE(image.read(8) == QByteArray("\x89PNG\r\n\x1a\n", 8));
    EXPECT_GT(image.size(), 5000);
}

} // namespace
