// The launcher as a real process: started offscreen from a folder of its own beside stand-in
// agents that leave a mark, or from build/bin beside the real master. Without a display its
// errors appear on standard error only, so a start without a desktop says why and never waits
// on a box.

#include "session_procs.h"

#include <common/handleblock.h>
#include <testsupport/otheruser.h>
#include <testsupport/tempdir.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

const QString BinDir = QStringLiteral(KORVEL_BIN_DIR);

const QByteArray RegHeader = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n";

// A stand-in agent: notes its process id and its number of parameters, then runs on (as an
// agent does) so that the test sees the launcher return without waiting for it.
const QByteArray StandIn =
    "#!/bin/sh\n"
    "echo \"$$ $#\" > \"$KORVEL_TEST_MARKS/$(basename \"$0\").tmp\"\n"
    "mv \"$KORVEL_TEST_MARKS/$(basename \"$0\").tmp\" \"$KORVEL_TEST_MARKS/$(basename \"$0\")\"\n"
    "exec sleep 60 </dev/null >/dev/null 2>&1\n";

struct LaunchRun {
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QByteArray err;
    qint64 ms = 0;
};

class LaunchProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFile::exists(BinDir + QStringLiteral("/launch"))) << "build the launcher first";
        ASSERT_TRUE(dir.isValid());
        static int n = 0;
        session = QStringLiteral("launchTest%1x%2").arg(getpid()).arg(++n);
        folder = dir.filePath(QStringLiteral("bin"));
        marks = dir.filePath(QStringLiteral("marks"));
        regFile = dir.filePath(QStringLiteral("korvel.reg"));
        ASSERT_TRUE(QDir().mkpath(folder) && QDir().mkpath(marks));
        // A copy, not a link: the launcher finds its folder through its own file.
        ASSERT_TRUE(QFile::copy(BinDir + QStringLiteral("/launch"), folder + QStringLiteral("/launch")));
        qputenv("KORVEL_SESSION", session.toUtf8());
    }

    void TearDown() override
    {
        for (const char *agent : {"master", "client"})
            if (const pid_t pid = MarkedPid(QString::fromLatin1(agent)); pid > 0)
                testsupport::EndProcess(pid, SIGKILL, 5000);
        for (pid_t pid : testsupport::SessionProcesses(session.toStdString(), "master"))
            testsupport::EndProcess(pid, SIGKILL, 5000);
        qunsetenv("KORVEL_SESSION");
    }

    void WriteFile(const QString &path, const QByteArray &text, QFile::Permissions perms)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        f.close();
        ASSERT_TRUE(f.setPermissions(perms));
    }

    void StandInAgent(const QString &name, bool executable = true)
    {
        QFile::Permissions p = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            p |= QFile::ExeOwner;
        WriteFile(folder + QLatin1Char('/') + name, StandIn, p);
    }

    // Offscreen, or with `display` named as the only way to the user and no platform chosen.
    LaunchRun Launch(const QString &launcher, const QString &display = QString())
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KORVEL_REGISTRY"), regFile);
        env.insert(QStringLiteral("KORVEL_SESSION"), session);
        env.insert(QStringLiteral("KORVEL_TEST_MARKS"), marks);
        if (display.isEmpty()) {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        } else {
            for (const char *name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"})
                env.remove(QString::fromLatin1(name));
            env.insert(QStringLiteral("DISPLAY"), display);
        }
        env.insert(QStringLiteral("KORVEL_AUTOBOX_SECONDS"), QStringLiteral("1"));
        p.setProcessEnvironment(env);
        // Files, not pipes: the agent inherits them and outlives the launcher, and a pipe
        // without its reader would end it with SIGPIPE at its first line of output.
        const QString errFile = dir.filePath(QStringLiteral("launch.err"));
        p.setStandardOutputFile(QProcess::nullDevice());
        p.setStandardErrorFile(errFile);
        QElapsedTimer t;
        t.start();
        p.start(launcher, {});
        LaunchRun r;
        if (!p.waitForFinished(20000)) {
            p.kill();
            p.waitForFinished(3000);
            return r;
        }
        r.ms = t.elapsed();
        r.exitCode = p.exitCode();
        r.status = p.exitStatus();
        QFile err(errFile);
        if (err.open(QIODevice::ReadOnly))
            r.err = err.readAll();
        return r;
    }

    // Process id the stand-in agent `name` noted, 0 when it did not run.
    pid_t MarkedPid(const QString &name, int *params = nullptr)
    {
        QFile f(marks + QLatin1Char('/') + name);
        if (!f.open(QIODevice::ReadOnly))
            return 0;
        const QList<QByteArray> words = f.readAll().trimmed().split(' ');
        if (params && words.size() > 1)
            *params = words[1].toInt();
        return words.isEmpty() ? 0 : static_cast<pid_t>(words[0].toInt());
    }

    QTemporaryDir dir;
    QString session, folder, marks, regFile;
};

} // namespace

TEST_F(LaunchProcess, StartsTheAgentThatTheMachinesSettingNames)
{
    struct Case {
        const char *what;
        QByteArray store; // empty: no store file
        const char
            *present; // stand-in agents in the folder: "m" master, "c" client, "x" client not executable
        const char *started; // the agent that must run, or null for none
        QByteArray err;
    };
    const QByteArray launchError = "launch: OS reports Korvel launch error.\n";
    const Case cases[] = {
        {"machine without a setting", "", "mc", "client", ""},
        {"workstation", RegHeader + "\"Station\"=\"Client\"\r\n", "mc", "client", ""},
        {"master station", RegHeader + "\"Station\"=\"Master\"\r\n", "mc", "master", ""},
        {"unknown part", RegHeader + "\"Station\"=\"server\"\r\n", "mc", "client",
         "launch: the registry value \"Station\" is \"server\", neither \"Master\" nor \"Client\"; "
         "starting the client agent\n"},
        {"master's file missing", RegHeader + "\"Station\"=\"Master\"\r\n", "c", nullptr, launchError},
        {"client's file missing", "", "m", nullptr, launchError},
        {"client's file not executable", "", "mx", nullptr, launchError},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(regFile);
        if (!c.store.isEmpty())
            WriteFile(regFile, c.store, QFile::ReadOwner | QFile::WriteOwner);
        for (const QString &name : {QStringLiteral("master"), QStringLiteral("client")}) {
            QFile::remove(folder + QLatin1Char('/') + name);
            QFile::remove(marks + QLatin1Char('/') + name);
        }
        const QByteArray present(c.present);
        if (present.contains('m'))
            StandInAgent(QStringLiteral("master"));
        if (present.contains('c'))
            StandInAgent(QStringLiteral("client"));
        if (present.contains('x'))
            StandInAgent(QStringLiteral("client"), false);

        const LaunchRun r = Launch(folder + QStringLiteral("/launch"));
        EXPECT_EQ(r.status, QProcess::NormalExit);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, c.err);

        if (c.started) {
            const QString started = QString::fromLatin1(c.started);
            ASSERT_TRUE(QTest::qWaitFor([&] { return MarkedPid(started) > 0; }, 10000)) << c.started;
            int params = -1;
            const pid_t agent = MarkedPid(started, &params);
            EXPECT_EQ(params, 0) << "the agent gets no parameters";
            // The launcher did not wait: the agent runs on after it ended, and it is the only
            // process the launcher left behind.
            EXPECT_TRUE(testsupport::ProcessRuns(agent));
            EXPECT_EQ(testsupport::SessionProcesses(session.toStdString(), ""), std::vector<pid_t>{agent});
            EXPECT_TRUE(testsupport::EndProcess(agent, SIGKILL, 5000));
        } else {
            // The launcher starts its agent before it ends: had it started one, it would be there.
            EXPECT_TRUE(testsupport::SessionProcesses(session.toStdString(), "").empty());
        }
    }
}

TEST_F(LaunchProcess, StartsNothingWhileAnAgentOfTheSessionRuns)
{
    StandInAgent(QStringLiteral("client"));
    MHandle block = CreateHandleBlock(77);
    ASSERT_TRUE(block.Active());
    const LaunchRun r = Launch(folder + QStringLiteral("/launch"));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, QByteArray("launch: Korvel is already running.\n"));
    EXPECT_TRUE(testsupport::SessionProcesses(session.toStdString(), "").empty());
    block.Close();

    // Once the agent has gone the launcher starts one again.
    EXPECT_EQ(Launch(folder + QStringLiteral("/launch")).err, QByteArray());
    EXPECT_TRUE(QTest::qWaitFor([&] { return MarkedPid(QStringLiteral("client")) > 0; }, 10000));
}

TEST_F(LaunchProcess, LaunchedTwiceTheRealMasterRunsOnce)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    WriteFile(regFile,
              RegHeader + "\"Station\"=\"Master\"\r\n\"Master\"=\"b4h78m1e0sb4\"\r\n\"Port\"=\"" +
                  QByteArray::number(port) + "\"\r\n",
              QFile::ReadOwner | QFile::WriteOwner);

    const LaunchRun first = Launch(BinDir + QStringLiteral("/launch"));
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_EQ(first.err, QByteArray());
    EXPECT_LT(first.ms, 10000) << "the launcher returns without waiting for the master";
    ASSERT_TRUE(QTest::qWaitFor([] { return TestHandleBlock(); }, 20000)) << "the master did not start";

    const LaunchRun second = Launch(BinDir + QStringLiteral("/launch"));
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.err, QByteArray("launch: Korvel is already running.\n"));
    const auto masters = testsupport::SessionProcesses(session.toStdString(), "master");
    ASSERT_EQ(masters.size(), 1u);
    EXPECT_TRUE(testsupport::EndProcess(masters[0], SIGTERM, 15000));
    EXPECT_TRUE(QTest::qWaitFor([] { return !TestHandleBlock(); }, 5000));
}

TEST_F(LaunchProcess, AnotherUsersBlockIsReportedAndOnlyRootStartsItsAgentPastIt)
{
    const std::string why = testsupport::otherUserUnavailable();
    if (!why.empty())
        GTEST_SKIP() << why;
    // Other users run copies in a folder they may read, with a stand-in client beside the
    // launcher.
    testsupport::TempDir scratch{"korvel-launch"}, helperDir{"korvel-stranger"};
    const std::string helper = testsupport::stage(KORVEL_STRANGER, helperDir.path()).string();
    const std::string launcher =
        testsupport::stage((BinDir + QStringLiteral("/launch")).toStdString(), scratch.path());
    const QString client = QString::fromStdString((scratch.path() / "bin" / "client").string());
    WriteFile(client, StandIn,
              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    const std::vector<std::string> env{
        testsupport::stagedEnv(scratch.path()), "KORVEL_SESSION=" + session.toStdString(),
        "KORVEL_TEST_MARKS=" + marks.toStdString(), "QT_QPA_PLATFORM=offscreen"};

    testsupport::AsUser squatter(
        testsupport::kNobody, {helper, "hold-block", "0x11111111"},
        {testsupport::stagedEnv(helperDir.path()), "KORVEL_SESSION=" + session.toStdString()});
    ASSERT_EQ(squatter.readLine(), "held") << squatter.err;

    // A third, unprivileged user's launcher says whose block is in the way and starts nothing.
    std::string err;
    EXPECT_EQ(testsupport::runAs(65533, {launcher}, env, nullptr, &err), 0);
    EXPECT_EQ(err.rfind("launch: the handle block", 0), 0u) << err;
    EXPECT_NE(err.find("held by a program of user 65534"), std::string::npos) << err;
    EXPECT_EQ(MarkedPid(QStringLiteral("client")), 0);
    EXPECT_TRUE(testsupport::SessionProcesses(session.toStdString(), "client").empty());

    // The agent itself, started by that user without the launcher, says the same and ends
    // instead of failing later on the taken name.
    testsupport::TempDir agentDir{"korvel-agent"};
    const std::string agent =
        testsupport::stage((BinDir + QStringLiteral("/client")).toStdString(), agentDir.path());
    EXPECT_EQ(testsupport::runAs(65533, {agent},
                                 {testsupport::stagedEnv(agentDir.path()),
                                  "KORVEL_SESSION=" + session.toStdString(), "QT_QPA_PLATFORM=offscreen",
                                  "KORVEL_AUTOBOX_SECONDS=1", "KORVEL_CLIENT_PROBE=1"},
                                 nullptr, &err),
              0);
    EXPECT_NE(err.find("held by a program of user 65534"), std::string::npos) << err;
    EXPECT_EQ(err.find("Internal error"), std::string::npos) << err;

    // Root's agent takes the name over, so root's launcher starts it.
    EXPECT_EQ(testsupport::runAs(0, {launcher}, env, nullptr, &err), 0);
    EXPECT_EQ(err, "");
    EXPECT_TRUE(QTest::qWaitFor([&] { return MarkedPid(QStringLiteral("client")) > 0; }, 10000));
    EXPECT_EQ(squatter.stop(), 0);
}

TEST_F(LaunchProcess, ADisplayThatDoesNotAnswerStillEndsWithTheLineAndExitCodeZero)
{
    // A display number no X server of this machine serves, on disc or in the abstract namespace.
    QFile sockets(QStringLiteral("/proc/net/unix"));
    ASSERT_TRUE(sockets.open(QIODevice::ReadOnly));
    const QByteArray listening = sockets.readAll();
    int display = 99;
    while (display < 200 && (listening.contains("/tmp/.X11-unix/X" + QByteArray::number(display) + '\n') ||
                             QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display))))
        ++display;
    ASSERT_LT(display, 200);

    // No agent beside the launcher: it has an error to tell.
    const LaunchRun r = Launch(folder + QStringLiteral("/launch"), QStringLiteral(":%1").arg(display));
    EXPECT_EQ(r.status, QProcess::NormalExit);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.startsWith("launch: OS reports Korvel launch error.\n")) << r.err.constData();
}
