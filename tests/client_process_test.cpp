// The client agent as a real process: started offscreen with its own registry store and session
// word, with applications announced through korvel-run, talking to a real master (or a
// stand-in that can go away) over loopback. The client's window texts are followed on its
// standard error (KORVEL_CLIENT_PROBE), the master's event log on its standard output.

#include "../client/tests/fake_master.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtCore/qtestsupport_core.h>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <vector>

#include <unistd.h>

using testsupport::FakeMaster;

namespace {

const QString MasterBin = QStringLiteral(KORVEL_BIN_DIR "/master");
const QString ClientBin = QStringLiteral(KORVEL_BIN_DIR "/client");
const QString RunBin = QStringLiteral(KORVEL_BIN_DIR "/korvel-run");

QCoreApplication *App()
{
    static int argc = 1;
    static char name[] = "client_process_test";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = new QCoreApplication(argc, argv);
    return app;
}

// The TCP port on which process pid listens for clients: its socket descriptors matched against the
// kernel's table of listening sockets. Nothing is bound here, so nothing can race for it.
quint16 ListeningPortOf(qint64 pid)
{
    QSet<QByteArray> inodes;
    const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString &fd : QDir(fdDir).entryList(QDir::System | QDir::NoDotAndDotDot)) {
        char target[128];
        const ssize_t n = ::readlink(QFile::encodeName(fdDir + QLatin1Char('/') + fd).constData(), target,
                                     sizeof target - 1);
        if (n > 9 && QByteArray(target, static_cast<int>(n)).startsWith("socket:["))
            inodes.insert(QByteArray(target + 8, static_cast<int>(n) - 9));
    }
    QFile tcp(QStringLiteral("/proc/%1/net/tcp").arg(pid));
    if (!tcp.open(QIODevice::ReadOnly))
        return 0;
    tcp.readLine();
    while (!tcp.atEnd()) {
        const QList<QByteArray> f = tcp.readLine().simplified().split(' ');
        // The protocol listens on every address; the status page on loopback alone.
        if (f.size() > 9 && f[3] == "0A" && f[1].startsWith("00000000:") && inodes.contains(f[9]))
            return static_cast<quint16>(f[1].split(':').value(1).toUInt(nullptr, 16));
    }
    return 0;
}

QByteArray RegText(const QByteArray &values)
{
    return "Windows Registry Editor Version "
           "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n" +
           values;
}

// A program of the test with what it has written so far.
struct Proc {
    std::unique_ptr<QProcess> p = std::make_unique<QProcess>();
    QByteArray out;
    // Arrival (test clock, ms) of each complete line of output.
    std::vector<std::pair<qint64, QByteArray>> lines;
};

class ClientProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        for (const QString &bin : {MasterBin, ClientBin, RunBin})
            ASSERT_TRUE(QFile::exists(bin)) << qPrintable(bin) << " is not built";
        ASSERT_TRUE(dir.isValid());
        static int n = 0;
        word = QStringLiteral("clnProc%1x%2").arg(getpid()).arg(++n);
        clock.start();
    }

    void TearDown() override
    {
        for (auto &p : procs)
            if (p->p->state() != QProcess::NotRunning) {
                p->p->kill();
                p->p->waitForFinished(3000);
            }
    }

    // Starts a program with its own registry text and session word; stdout or stderr
    // (probe channel) is collected line by line.
    Proc *Launch(const QString &bin, const QStringList &args, const QString &session, const QByteArray &reg,
                 QProcess::ProcessChannel follow)
    {
        auto proc = std::make_unique<Proc>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KORVEL_SESSION"), session);
        if (!reg.isNull()) {
            const QString regFile = dir.filePath(session + QStringLiteral("-%1.reg").arg(procs.size()));
            QFile f(regFile);
            EXPECT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(RegText(reg));
            env.insert(QStringLiteral("KORVEL_REGISTRY"), regFile);
        }
        env.insert(QStringLiteral("KORVEL_CLIENT_PROBE"), QStringLiteral("1"));
        env.insert(QStringLiteral("KORVEL_LOG_ECHO"), QStringLiteral("1"));
        env.insert(QStringLiteral("KORVEL_AUTOBOX_SECONDS"), QStringLiteral("1"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        proc->p->setProcessEnvironment(env);
        proc->p->setReadChannel(follow);
        Proc *raw = proc.get();
        QObject::connect(raw->p.get(), &QProcess::readyRead, raw->p.get(), [this, raw] {
            raw->out += raw->p->readAll();
            qsizetype nl;
            while ((nl = raw->out.indexOf('\n')) >= 0) {
                raw->lines.emplace_back(clock.elapsed(), raw->out.left(nl));
                raw->out.remove(0, nl + 1);
            }
        });
        proc->p->start(bin, args);
        EXPECT_TRUE(proc->p->waitForStarted(5000));
        procs.push_back(std::move(proc));
        return raw;
    }

    // A real master with keep-alive interval `interval` seconds on a port the system picks.
    Proc *StartMaster(int interval)
    {
        const QByteArray audit = QByteArray::number(interval, 16);
        Proc *m = Launch(MasterBin, {QStringLiteral("-platform"), QStringLiteral("offscreen")},
                         word + QStringLiteral("m"),
                         "\"Master\"=\"" + audit + "h78m1e0sb4\"\r\n\"Port\"=\"0\"\r\n\"HttpPort\"=\"0\"\r\n",
                         QProcess::StandardOutput);
        EXPECT_TRUE(Shows(m, "Master begins listening", 10000));
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return (masterPort = ListeningPortOf(m->p->processId())) != 0; }, 5000));
        return m;
    }

    Proc *StartClient(quint16 port)
    {
        Proc *c = Launch(ClientBin, {QStringLiteral("-platform"), QStringLiteral("offscreen")}, word,
                         "\"Address\"=\"127.0.0.1\"\r\n\"Port\"=\"" + QByteArray::number(port) + "\"\r\n",
                         QProcess::StandardError);
        EXPECT_TRUE(Shows(c, "client started: ", 10000));
        return c;
    }

    // korvel-run CODE -- sleep SECONDS on the client's session.
    Proc *RunApp(int code, const char *seconds)
    {
        return Launch(RunBin,
                      {QString::number(code), QStringLiteral("--"), QStringLiteral("sleep"),
                       QString::fromLatin1(seconds)},
                      word, QByteArray(), QProcess::StandardError);
    }

    int Count(Proc *p, const QByteArray &text)
    {
        int n = 0;
        for (const auto &l : p->lines)
            n += l.second.contains(text);
        return n;
    }

    // Waits until the program has written a line holding text `times` times; the arrival of
    // the last one (test clock, ms), or -1.
    qint64 Arrival(Proc *p, const QByteArray &text, int ms = 8000, int times = 1)
    {
        qint64 at = -1;
        (void)QTest::qWaitFor(
            [&] {
                int n = 0;
                for (const auto &l : p->lines)
                    if (l.second.contains(text) && ++n == times) {
                        at = l.first;
                        return true;
                    }
                return false;
            },
            ms);
        return at;
    }
    bool Shows(Proc *p, const QByteArray &text, int ms = 8000) { return Arrival(p, text, ms) >= 0; }

    bool Ends(Proc *p, int ms)
    {
        return QTest::qWaitFor([&] { return p->p->state() == QProcess::NotRunning; }, ms);
    }

    // True once the client's list has gone empty after it listed an application.
    static bool ListsNoApps(Proc *c, int ms)
    {
        return QTest::qWaitFor(
            [&] {
                for (const auto &l : c->lines)
                    if (l.second == "client apps: ")
                        return true;
                return false;
            },
            ms);
    }

    void Signal(Proc *p, int sig) { ::kill(static_cast<pid_t>(p->p->processId()), sig); }

    QTemporaryDir dir;
    QString word;
    QElapsedTimer clock;
    quint16 masterPort = 0;
    std::vector<std::unique_ptr<Proc>> procs;
};

} // namespace

TEST_F(ClientProcess, ApplicationReachesTheMasterWithKeepAlivesAndItsEnd)
{
    Proc *master = StartMaster(1);
    ASSERT_NE(masterPort, 0);
    Proc *client = StartClient(masterPort);
    Proc *app = RunApp(83, "3");

    EXPECT_TRUE(Shows(master, "Client is assigned ID = 11. "));
    EXPECT_TRUE(Shows(client, "client apps: Ardentis Ledger"));
    EXPECT_TRUE(Shows(client, "client status: Last connection: "));

    // Keep-alives at the interval the master dictated (1 s).
    const qint64 first = Arrival(master, "Client 11 requested for acknowledgment.", 8000, 1);
    const qint64 second = Arrival(master, "Client 11 requested for acknowledgment.", 8000, 2);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_GE(second - first, 800);
    EXPECT_LE(second - first, 4000);

    ASSERT_TRUE(Ends(app, 15000));
    const qint64 ended = clock.elapsed();
    const qint64 withdrawn = Arrival(master, "Application 83 has shut down, client 11.");
    ASSERT_GE(withdrawn, 0);
    EXPECT_LT(withdrawn - ended, 3000);
    RecordProperty("withdrawal_ms", static_cast<int>(withdrawn - ended));
    // Nothing runs: the window lists nothing, and the end of the session ends the client.
    ASSERT_TRUE(ListsNoApps(client, 5000));
    Signal(client, SIGTERM);
    ASSERT_TRUE(Ends(client, 10000));
    EXPECT_EQ(client->p->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(client->p->exitCode(), 0);
    Signal(master, SIGTERM);
    EXPECT_TRUE(Ends(master, 10000));
}

TEST_F(ClientProcess, EachProgramSavesItsWindowWhereTheEnvironmentSays)
{
    const QString masterShot = dir.filePath(QStringLiteral("master.png"));
    const QString clientShot = dir.filePath(QStringLiteral("client.png"));
    // Each program takes the file from its own environment at start.
    qputenv("KORVEL_SCREENSHOT", masterShot.toLocal8Bit());
    Proc *master = StartMaster(180);
    qputenv("KORVEL_SCREENSHOT", clientShot.toLocal8Bit());
    Proc *client = StartClient(masterPort);
    qunsetenv("KORVEL_SCREENSHOT");
    // The windows save themselves when what they show changes: a running application does that.
    Proc *app = RunApp(83, "1");
    const auto isPng = [](const QString &file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) && f.read(8) == QByteArray("\x89PNG\r\n\x1a\n", 8);
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return isPng(masterShot); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return isPng(clientShot); }, 10000));
    EXPECT_TRUE(Ends(app, 15000));
    // The client refuses the end of the session until it has seen the application end.
    EXPECT_TRUE(ListsNoApps(client, 10000));
    Signal(client, SIGTERM);
    EXPECT_TRUE(Ends(client, 10000));
    Signal(master, SIGTERM);
    EXPECT_TRUE(Ends(master, 10000));
}

TEST_F(ClientProcess, SecondClientOfTheSessionEndsByItself)
{
    Proc *first = StartClient(1);
    Proc *second = Launch(ClientBin, {QStringLiteral("-platform"), QStringLiteral("offscreen")}, word,
                          "\"Port\"=\"1\"\r\n", QProcess::StandardError);
    ASSERT_TRUE(Ends(second, 15000)) << "the second client must end by itself";
    EXPECT_EQ(second->p->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->p->exitCode(), 0);
    EXPECT_EQ(Count(second, "client started"), 0);
    EXPECT_EQ(first->p->state(), QProcess::Running);
    Signal(first, SIGHUP);
    ASSERT_TRUE(Ends(first, 10000));
    EXPECT_EQ(first->p->exitCode(), 0);
}

TEST_F(ClientProcess, EndOfSessionIsRefusedWhileAnApplicationRuns)
{
    FakeMaster master;
    Proc *client = StartClient(master.Port());
    Proc *app = RunApp(93, "30");
    ASSERT_TRUE(Shows(client, "client apps: Ardentis Planner"));

    Signal(client, SIGTERM);
    EXPECT_TRUE(Shows(client, "client refuses: There is at least one ative Ardentis application(s)."));
    EXPECT_FALSE(Ends(client, 1000)) << "the client stays while the application runs";

    app->p->kill();
    ASSERT_TRUE(QTest::qWaitFor([&] { return master.requests.size() == 2; }, 5000));
    EXPECT_EQ(master.requests[1].text, QByteArray("376,11,93,0"));
    Signal(client, SIGTERM);
    ASSERT_TRUE(Ends(client, 10000));
    EXPECT_EQ(client->p->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(client->p->exitCode(), 0);
}

TEST_F(ClientProcess, UnreachableMasterIsReportedAndAFailedKeepAliveEndsTheClient)
{
    FakeMaster master(1);
    master.GoAway();
    Proc *client = StartClient(master.Port());
    Proc *app = RunApp(10, "30");
    EXPECT_TRUE(
        Shows(client, "client error: Error occured during conversation with Master (OS error code 111)."));
    EXPECT_EQ(Count(client, "client apps: "), 0);
    app->p->kill();
    ASSERT_TRUE(Ends(app, 5000));

    // Reachable for the announcement, gone for the keep-alive a second later.
    FakeMaster second(1);
    Signal(client, SIGTERM);
    ASSERT_TRUE(Ends(client, 10000));
    client = StartClient(second.Port());
    RunApp(10, "30");
    ASSERT_TRUE(Shows(client, "client apps: Ardentis Desk"));
    second.GoAway();
    const qint64 failed = Arrival(client, "(OS error code 111). Work session ends soon.");
    ASSERT_GE(failed, 0);
    ASSERT_TRUE(Ends(client, 15000));
    const qint64 took = clock.elapsed() - failed;
    EXPECT_GE(took, 5000);
    EXPECT_LE(took, 12000);
    EXPECT_EQ(client->p->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(client->p->exitCode(), 0);
}
