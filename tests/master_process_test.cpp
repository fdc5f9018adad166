// The master as a real process: started offscreen with its own registry store, session word and
// port, talked to over loopback TCP as client agents do.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <testsupport/heldport.h>

#include <csignal>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

const QString MasterBin = QStringLiteral(KORVEL_BIN_DIR "/master");

QByteArray RegText(const QByteArray &values, bool withKey = true)
{
    QByteArray t = "Windows Registry Editor Version 5.00\r\n\r\n";
    if (withKey)
        t += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n" + values + "\r\n";
    return t;
}

bool WaitFor(const std::function<bool()> &cond, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(10);
    }
    return true;
}

// One request on a fresh connection; the reply (empty when none came within waitMs).
QByteArray Ask(quint16 port, const QByteArray &text, int waitMs = 3000)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(3000))
        return "no connection";
    s.write(text);
    s.waitForBytesWritten(3000);
    if (!s.waitForReadyRead(waitMs))
        return {};
    return s.readAll();
}

class MasterProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFile::exists(MasterBin)) << "build the master first";
        ASSERT_TRUE(dir.isValid());
        static int n = 0;
        session = QStringLiteral("procTest%1x%2").arg(getpid()).arg(++n);
        regFile = dir.filePath(QStringLiteral("korvel.reg"));
        held = std::make_unique<testsupport::HeldPort>();
        port = held->port();
    }

    void TearDown() override
    {
        for (auto &p : procs)
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(3000);
            }
    }

    void WriteReg(const QByteArray &text)
    {
        QFile f(regFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }

    QByteArray ReadReg()
    {
        QFile f(regFile);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QProcess *Launch()
    {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KORVEL_REGISTRY"), regFile);
        env.insert(QStringLiteral("KORVEL_SESSION"), session);
        env.insert(QStringLiteral("KORVEL_AUTOBOX_SECONDS"), QStringLiteral("1"));
        env.insert(QStringLiteral("KORVEL_LOG_ECHO"), QStringLiteral("1"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        if (handOver && held) {
            const int fd = held->fd();
            env.insert(QStringLiteral("KORVEL_LISTEN_FD"), QString::number(fd));
            p->setChildProcessModifier([fd] { testsupport::HeldPort::inheritInChild(fd); });
        }
        p->setProcessEnvironment(env);
        p->start(MasterBin, {QStringLiteral("-platform"), QStringLiteral("offscreen")});
        EXPECT_TRUE(p->waitForStarted(5000));
        procs.push_back(std::move(p));
        return procs.back().get();
    }

    // Starts a master on the test's port and waits until it answers.
    QProcess *StartServing()
    {
        WriteReg(RegText("\"Master\"=\"b4h78m1e0sb4\"\r\n\"Port\"=\"" + QByteArray::number(port) + "\""));
        QProcess *p = Launch();
        const bool up = WaitFor(
            [&] {
                QTcpSocket s;
                s.connectToHost(QHostAddress::LocalHost, port);
                return s.waitForConnected(200);
            },
            10000);
        EXPECT_TRUE(up) << "master did not listen";
        return p;
    }

    // Waits until the master's log (echoed on its standard output) holds text.
    bool LogShows(QProcess *p, const QByteArray &text, int ms = 5000)
    {
        return WaitFor(
            [&] {
                p->waitForReadyRead(20);
                out += p->readAllStandardOutput();
                return out.contains(text);
            },
            ms);
    }

    void Terminate(QProcess *p)
    {
        ::kill(static_cast<pid_t>(p->processId()), SIGTERM);
        ASSERT_TRUE(p->waitForFinished(10000));
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p->exitCode(), 0);
    }

    QTemporaryDir dir;
    // The test's port, held from the start and handed to the master it starts.
    std::unique_ptr<testsupport::HeldPort> held;
    bool handOver = true;
    QString session;
    QString regFile;
    quint16 port = 0;
    QByteArray out;
    std::vector<std::unique_ptr<QProcess>> procs;
};

} // namespace

TEST_F(MasterProcess, AnswersTheProtocolsCasesOverTcp)
{
    QProcess *m = StartServing();
    EXPECT_EQ(Ask(port, "428,0,0,0", 400), QByteArray()) << "no reply composed yet: nothing is sent";
    EXPECT_EQ(Ask(port, "112,0,83,0"), QByteArray("22,1,11,180"));
    EXPECT_EQ(Ask(port, "112,0,93,0"), QByteArray("22,1,12,180"));
    EXPECT_EQ(Ask(port, "112,11,83,0"), QByteArray("22,1,0,0"));
    EXPECT_EQ(Ask(port, "112,0,5,0"), QByteArray("47,0,0,0"));
    EXPECT_EQ(Ask(port, "112,9,10,0"), QByteArray("47,0,0,0"));
    EXPECT_EQ(Ask(port, "112,13,10,0"), QByteArray("47,0,0,0"));
    EXPECT_EQ(Ask(port, "259,11,0,-1"), QByteArray("47,0,0,0"));
    EXPECT_EQ(Ask(port, "abc"), QByteArray("47,0,0,0"));
    EXPECT_EQ(Ask(port, "112,,83,0"), QByteArray("47,0,0,0"));
    EXPECT_EQ(Ask(port, "259,11,0,0,7"), QByteArray("35,1,0,0"));
    EXPECT_EQ(Ask(port, "259,,11,0,0"), QByteArray("35,1,0,0"));
    EXPECT_EQ(Ask(port, "428,0,0,0"), QByteArray("35,1,0,0")) << "the previous reply again";
    EXPECT_EQ(Ask(port, "112,0,0,0"), QByteArray("22,1,13,180")) << "application code 0 is valid";
    EXPECT_EQ(Ask(port, "376,11,83,0"), QByteArray("35,1,0,0"));
    EXPECT_TRUE(LogShows(m, "Application 83 has shut down, client 11."));
    EXPECT_TRUE(LogShows(m, "Bad client messge - discarded."));
    EXPECT_TRUE(LogShows(m, "Client is assigned ID = 13. "));
    Terminate(m);
}

TEST_F(MasterProcess, KeepsTheConnectionOpenForASecondMessage)
{
    QProcess *m = StartServing();
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(s.waitForConnected(3000));
    s.write("112,0,83,0");
    ASSERT_TRUE(s.waitForReadyRead(3000));
    EXPECT_EQ(s.readAll(), QByteArray("22,1,11,180"));
    s.write("259,11,0,0");
    ASSERT_TRUE(s.waitForReadyRead(3000));
    EXPECT_EQ(s.readAll(), QByteArray("35,1,0,0"));
    EXPECT_EQ(s.state(), QAbstractSocket::ConnectedState);
    Terminate(m);
}

TEST_F(MasterProcess, SecondMasterOfTheSameSessionEndsByItself)
{
    QProcess *first = StartServing();
    EXPECT_EQ(Ask(port, "112,0,83,0"), QByteArray("22,1,11,180"));
    QProcess *second = Launch();
    ASSERT_TRUE(second->waitForFinished(15000)) << "the second master must end by itself";
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(first->state(), QProcess::Running);
    EXPECT_EQ(Ask(port, "112,0,93,0"), QByteArray("22,1,12,180")) << "the first keeps serving";
    Terminate(first);
}

TEST_F(MasterProcess, SigtermSavesTheSettingsIntoAnExistingKey)
{
    QProcess *m = StartServing();
    ASSERT_TRUE(LogShows(m, "Master begins listening at port " + QByteArray::number(port) + "."));
    // Take the values away, so that only the save at the end can bring them back.
    WriteReg(RegText("\"Other\"=\"x\""));
    Terminate(m);
    const QByteArray reg = ReadReg();
    EXPECT_TRUE(reg.contains("\"Master\"=\"b4h78m1e0sb4\"")) << reg.toStdString();
    EXPECT_TRUE(reg.contains("\"Port\"=\"" + QByteArray::number(port) + "\"")) << reg.toStdString();
    EXPECT_TRUE(reg.contains("\"Other\"=\"x\""));
}

TEST_F(MasterProcess, SigtermWithoutTheKeyCreatesNothing)
{
    // No key: defaults (port 52100, which may well be taken); the master runs either way.
    WriteReg(RegText({}, false));
    const QByteArray before = ReadReg();
    QProcess *m = Launch();
    ASSERT_TRUE(LogShows(m, "Master begins listening at port 52100.", 10000));
    ::kill(static_cast<pid_t>(m->processId()), SIGHUP);
    ASSERT_TRUE(m->waitForFinished(10000));
    EXPECT_EQ(m->exitCode(), 0);
    EXPECT_EQ(ReadReg(), before);

    // Without any store file at all, none is created.
    QFile::remove(regFile);
    out.clear();
    m = Launch();
    ASSERT_TRUE(LogShows(m, "Master begins listening at port 52100.", 10000));
    Terminate(m);
    EXPECT_FALSE(QFile::exists(regFile));
}

TEST_F(MasterProcess, PortInUseLeavesTheMasterRunningWithoutServer)
{
    // The port stays held by the test: the master cannot have it.
    handOver = false;
    WriteReg(RegText("\"Master\"=\"b4h78m1e0sb4\"\r\n\"Port\"=\"" + QByteArray::number(port) + "\""));
    QProcess *m = Launch();
    ASSERT_TRUE(LogShows(m, "Master begins listening at port " + QByteArray::number(port) + "."));
    QByteArray err;
    EXPECT_TRUE(WaitFor(
        [&] {
            m->waitForReadyRead(20);
            err += m->readAllStandardError();
            return err.contains("cannot listen on port");
        },
        5000))
        << err.toStdString();
    QThread::msleep(300);
    EXPECT_EQ(m->state(), QProcess::Running) << "the master stays up";
    // Once the port is free, nobody listens there: the master did not retry behind our back.
    held.reset();
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_FALSE(s.waitForConnected(500));
    Terminate(m);
}

TEST_F(MasterProcess, BadInputNeverStopsTheMaster)
{
    QProcess *m = StartServing();
    // Garbage bytes, NULs and non-ASCII.
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.append(static_cast<char>((i * 131 + 7) & 0xFF));
    EXPECT_EQ(Ask(port, garbage).left(8), QByteArray("47,0,0,0"));
    EXPECT_EQ(Ask(port, QByteArray("\0\0\0\0", 4)), QByteArray("47,0,0,0"));

    // A 1 MiB request: every read is one message; each gets an error reply.
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(s.waitForConnected(3000));
        s.write(QByteArray(1 << 20, '9'));
        ASSERT_TRUE(s.waitForBytesWritten(10000));
        ASSERT_TRUE(s.waitForReadyRead(5000));
        const QByteArray reply = s.readAll();
        EXPECT_TRUE(reply.startsWith("47,0,0,0")) << reply.left(40).toStdString();
    }

    // One that connects and never sends, and 500 idle ones at once.
    QTcpSocket silent;
    silent.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(silent.waitForConnected(3000));
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 500; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, port);
        idle.push_back(std::move(s));
    }
    for (auto &s : idle)
        ASSERT_TRUE(s->state() == QAbstractSocket::ConnectedState || s->waitForConnected(5000));

    // Every valid request that follows is answered.
    EXPECT_EQ(Ask(port, "112,0,83,0"), QByteArray("22,1,11,180"));
    EXPECT_EQ(Ask(port, "259,11,0,0"), QByteArray("35,1,0,0"));
    EXPECT_EQ(Ask(port, "376,11,83,0"), QByteArray("35,1,0,0"));
    // The idle ones are still open, and can still speak.
    idle[0]->write("112,0,97,0");
    ASSERT_TRUE(idle[0]->waitForReadyRead(3000));
    EXPECT_EQ(idle[0]->readAll(), QByteArray("22,1,12,180"));
    EXPECT_EQ(m->state(), QProcess::Running);
    idle.clear();
    EXPECT_EQ(Ask(port, "112,0,10,0"), QByteArray("22,1,13,180"));
    Terminate(m);
}

TEST_F(MasterProcess, LocalAnnouncementThroughKorvelRun)
{
    const QString run = QStringLiteral(KORVEL_BIN_DIR "/korvel-run");
    if (!QFile::exists(run))
        GTEST_SKIP() << "korvel-run not built";
    QProcess *m = StartServing();
    ASSERT_TRUE(LogShows(m, "Master begins listening"));
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KORVEL_SESSION"), session);
    app.setProcessEnvironment(env);
    app.start(run,
              {QStringLiteral("83"), QStringLiteral("--"), QStringLiteral("sleep"), QStringLiteral("0.3")});
    ASSERT_TRUE(app.waitForFinished(5000));
    EXPECT_EQ(app.exitCode(), 0) << app.readAllStandardError().toStdString();
    // The watcher reports the end of the process: the withdraw line for client 10.
    EXPECT_TRUE(LogShows(m, "Application 83 has shut down, client 10."));
    Terminate(m);
}
