// masterd as a real process under systemd-socket-activate, beside the desktop master: the same
// replies and the same event log, no display, SIGTERM saving the settings, SIGHUP reading them.

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <testsupport/heldport.h>
#include <testsupport/waitfor.h>

#include <csignal>
#include <functional>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString MasterdBin = QStringLiteral(KORVEL_BIN_DIR "/masterd");
const QString MasterBin = QStringLiteral(KORVEL_BIN_DIR "/master");
const QString Activate = QStringLiteral("/usr/bin/systemd-socket-activate");

QByteArray RegText(const QByteArray &values)
{
    return "Windows Registry Editor Version "
           "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n" +
           values + "\r\n";
}

QByteArray MasterValues(const QByteArray &master, quint16 port)
{
    return "\"Master\"=\"" + master + "\"\r\n\"Port\"=\"" + QByteArray::number(port) + "\"\r\n";
}

using testsupport::WaitFor;

// One request on a fresh connection on 127.0.0.1; the reply, empty when none came in time. The
// first connection to a socket-activated masterd waits until it has started.
QByteArray Ask(quint16 port, const QByteArray &text, int ms = 10000)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return "no connection";
    }
    QByteArray reply;
    if (::send(fd, text.constData(), static_cast<size_t>(text.size()), MSG_NOSIGNAL) == text.size()) {
        pollfd p{fd, POLLIN, 0};
        char buf[256];
        if (::poll(&p, 1, ms) > 0) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n > 0)
                reply = QByteArray(buf, static_cast<int>(n));
        }
    }
    ::close(fd);
    return reply;
}

// A port that was free a moment ago (systemd-socket-activate binds it by number).
quint16 FreePort()
{
    testsupport::HeldPort held;
    return held.port();
}

// One program with its own store and session word, its standard output collected.
struct Program {
    QTemporaryDir dir;
    QString reg;
    QString session;
    QProcess proc;
    QByteArray out;

    explicit Program(const QByteArray &regText)
    {
        static int n = 0;
        session = QStringLiteral("masterdTest%1x%2").arg(getpid()).arg(++n);
        reg = dir.filePath(QStringLiteral("korvel.reg"));
        QFile f(reg);
        if (f.open(QIODevice::WriteOnly))
            f.write(regText);
    }
    ~Program()
    {
        if (proc.state() != QProcess::NotRunning) {
            proc.kill();
            proc.waitForFinished(5000);
        }
    }
    QByteArray Store() const
    {
        QFile f(reg);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Waits until the output holds text.
    bool Shows(const QByteArray &text, int ms = 10000)
    {
        return WaitFor(
            [&] {
                proc.waitForReadyRead(20);
                out += proc.readAllStandardOutput();
                return out.contains(text);
            },
            ms);
    }
    // The event log's lines as the desktop master writes them: the daemon's own lines left out,
    // a journal level taken off, the time of day ("hh:nn:ss  ") cut.
    QList<QByteArray> LogTexts() const
    {
        QList<QByteArray> texts;
        for (QByteArray line : out.split('\n')) {
            if (line.size() > 3 && line[0] == '<' && line[2] == '>')
                line = line.mid(3);
            if (line.startsWith("masterd:") || line.size() < 10 || line[2] != ':')
                continue;
            texts.push_back(line.mid(10));
        }
        return texts;
    }
    void Terminate()
    {
        ::kill(static_cast<pid_t>(proc.processId()), SIGTERM);
        ASSERT_TRUE(proc.waitForFinished(15000));
        out += proc.readAllStandardOutput();
        EXPECT_EQ(proc.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(proc.exitCode(), 0) << proc.readAllStandardError().toStdString();
    }
};

// Every variable the daemon gets: nothing of this process's display or Qt platform; a
// sanitizer build's options are passed on.
QStringList DaemonEnvironment(const Program &p)
{
    QStringList env{QStringLiteral("KORVEL_REGISTRY=") + p.reg, QStringLiteral("KORVEL_SESSION=") + p.session,
                    QStringLiteral("PATH=/usr/bin:/bin"), QStringLiteral("LC_ALL=C.UTF-8")};
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (qEnvironmentVariableIsSet(name))
            env << QString::fromLatin1(name) + u'=' + qEnvironmentVariable(name);
    return env;
}

// masterd under systemd-socket-activate listening on 127.0.0.1:port; it starts at the first
// connection, as under the socket unit.
void StartActivated(Program &p, quint16 port)
{
    QStringList args{QStringLiteral("--listen=127.0.0.1:%1").arg(port)};
    for (const QString &v : DaemonEnvironment(p))
        args << QStringLiteral("--setenv=") + v;
    args << MasterdBin;
    QProcessEnvironment env;
    for (const QString &v : DaemonEnvironment(p))
        env.insert(v.section(u'=', 0, 0), v.section(u'=', 1));
    p.proc.setProcessEnvironment(env);
    p.proc.start(Activate, args);
    ASSERT_TRUE(p.proc.waitForStarted(5000));
    // The activator listens before it reads any connection.
    ASSERT_TRUE(WaitFor(
        [port] {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            // Probing with a connection would activate the daemon; a failed bind shows the port taken.
            const bool taken = ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0;
            ::close(fd);
            return taken;
        },
        10000))
        << "systemd-socket-activate does not listen";
}

class Masterd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!QFile::exists(Activate))
            GTEST_SKIP() << "systemd-socket-activate (package systemd) is not installed";
        ASSERT_TRUE(QFile::exists(MasterdBin)) << "build masterd first";
    }
};

TEST_F(Masterd, AnswersAndLogsExactlyLikeTheMaster)
{
    const quint16 port = FreePort();
    Program daemon(RegText(MasterValues("b4h78m1e0sb4", port)));
    StartActivated(daemon, port);

    testsupport::HeldPort held;
    Program master(RegText(MasterValues("b4h78m1e0sb4", held.port())));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KORVEL_REGISTRY"), master.reg);
    env.insert(QStringLiteral("KORVEL_SESSION"), master.session);
    env.insert(QStringLiteral("KORVEL_LOG_ECHO"), QStringLiteral("1"));
    env.insert(QStringLiteral("KORVEL_LISTEN_FD"), QString::number(held.fd()));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    master.proc.setProcessEnvironment(env);
    master.proc.setChildProcessModifier([fd = held.fd()] { testsupport::HeldPort::inheritInChild(fd); });
    master.proc.start(MasterBin, {});
    ASSERT_TRUE(master.Shows("Master begins listening at port " + QByteArray::number(held.port()) + "."));

    // Announcements, a repeat of the last reply, a bad message, a withdrawal, a keep-alive.
    const QByteArray requests[] = {"428,0,0,0",    "112,0,83,0", "112,0,93,0",  "abc",
                                   "259,11,0,0,7", "428,0,0,0",  "376,11,83,0", "112,11,83,0"};
    for (const QByteArray &request : requests) {
        const QByteArray fromMaster = Ask(held.port(), request, request == "428,0,0,0" ? 500 : 5000);
        EXPECT_EQ(Ask(port, request, request == "428,0,0,0" && fromMaster.isEmpty() ? 3000 : 10000),
                  fromMaster)
            << "request " << request.toStdString();
    }
    EXPECT_TRUE(daemon.Shows("<4>") && master.Shows("Bad client messge - discarded."));
    master.Terminate();
    daemon.Terminate();

    // The same lines in the same order; only the start line names each one's port.
    QList<QByteArray> fromDaemon = daemon.LogTexts(), fromMaster = master.LogTexts();
    ASSERT_FALSE(fromDaemon.isEmpty());
    ASSERT_FALSE(fromMaster.isEmpty());
    EXPECT_EQ(fromDaemon.takeFirst(), "Master begins listening at port " + QByteArray::number(port) + ".");
    fromMaster.removeFirst();
    EXPECT_EQ(fromDaemon, fromMaster) << daemon.out.toStdString() << "----\n" << master.out.toStdString();
    EXPECT_GE(fromDaemon.size(), 4);
    // Each line carries the journal's level: a bad message is a warning, the rest information.
    for (const QByteArray &line : daemon.out.split('\n')) {
        if (line.isEmpty())
            continue;
        const bool warning = line.contains("Bad client messge");
        if (warning || !line.contains("masterd:")) {
            EXPECT_TRUE(line.startsWith(warning ? "<4>" : "<6>")) << line.toStdString();
        }
    }
}

TEST_F(Masterd, SigtermSavesTheSettingsAndAnotherPortIsSaid)
{
    // A store with the key only: the socket's port is served, the store's (default) Port named
    // beside it, and the values in use are written back at SIGTERM.
    const quint16 port = FreePort();
    Program daemon(RegText(QByteArray()));
    StartActivated(daemon, port);
    EXPECT_EQ(Ask(port, "112,0,83,0"), QByteArray("22,1,11,180"));
    ASSERT_TRUE(daemon.Shows("Master begins listening at port " + QByteArray::number(port) + "."));
    EXPECT_TRUE(daemon.Shows("<4>masterd: the socket handed over listens on port " +
                             QByteArray::number(port) + ", but the store's Port is 52100"))
        << daemon.out.toStdString();
    EXPECT_FALSE(daemon.Store().contains("\"Master\""));
    daemon.Terminate();
    const QByteArray store = daemon.Store();
    EXPECT_TRUE(store.contains("\"Master\"=\"b4h78m1e0sb4\"")) << store.toStdString();
    EXPECT_TRUE(store.contains("\"Port\"=\"52100\"")) << "the store's Port is kept, not the socket's";
}

TEST_F(Masterd, SighupReadsTheSettingsAgain)
{
    const quint16 port = FreePort();
    Program daemon(RegText(MasterValues("b4h78m1e0sb4", port)));
    StartActivated(daemon, port);
    EXPECT_EQ(Ask(port, "112,0,83,0"), QByteArray("22,1,11,180"));
    // A one-minute audit period: the keep-alive interval handed to new clients follows it.
    {
        QFile f(daemon.reg);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(RegText(MasterValues("3ch78m1e0s3c", port)));
    }
    ::kill(static_cast<pid_t>(daemon.proc.processId()), SIGHUP);
    ASSERT_TRUE(daemon.Shows("<6>masterd: settings read again: audit every 60 s"))
        << daemon.out.toStdString();
    EXPECT_EQ(Ask(port, "112,0,93,0"), QByteArray("22,1,12,60"));
    EXPECT_EQ(daemon.proc.state(), QProcess::Running) << "SIGHUP does not end it";
    daemon.Terminate();
    EXPECT_TRUE(daemon.Store().contains("\"Master\"=\"3ch78m1e0s3c\""));
}

TEST_F(Masterd, ASecondAgentOfTheSessionDoesNotStart)
{
    const quint16 port = FreePort();
    Program first(RegText(MasterValues("b4h78m1e0sb4", port)));
    StartActivated(first, port);
    EXPECT_EQ(Ask(port, "112,0,83,0"), QByteArray("22,1,11,180"));

    // The same session word: the handle block is held, whatever port the second would serve.
    QProcess second;
    QProcessEnvironment env;
    for (const QString &v : DaemonEnvironment(first))
        env.insert(v.section(u'=', 0, 0), v.section(u'=', 1));
    second.setProcessEnvironment(env);
    second.start(MasterdBin, {});
    ASSERT_TRUE(second.waitForFinished(15000));
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_TRUE(second.readAllStandardOutput().contains("<3>masterd: Korvel is already running"));
    EXPECT_EQ(Ask(port, "112,0,93,0"), QByteArray("22,1,12,180")) << "the first keeps serving";
    first.Terminate();
}

} // namespace
