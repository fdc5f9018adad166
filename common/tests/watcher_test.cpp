#include <common/handleblock.h>
#include <common/messages.h>
#include <common/msgport.h>
#include <common/watcher.h>

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QtCore/qtestsupport_core.h>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

QCoreApplication *App()
{
    static int argc = 1;
    static char name[] = "watcher_test";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = new QCoreApplication(argc, argv);
    return app;
}

struct Message {
    quint32 message;
    quintptr wParam;
    qintptr lParam;
    Clock::time_point at;
};

struct ToolResult {
    int exitCode = -1;
    QString errors;
};

// Stands in for an agent: a message port named in the handle block of a session of its own,
// which starts a watcher for every announcement, as the master and the client agent do.
class Watcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        word = "wt" + std::to_string(getpid()) + info->name();
        setenv("KORVEL_SESSION", word.c_str(), 1);
    }
    void TearDown() override
    {
        block.Close();
        unsetenv("KORVEL_SESSION");
    }

    void StartAgent(bool watchAnnounced = true)
    {
        ASSERT_TRUE(port.Open());
        block = CreateHandleBlock(port.Value());
        ASSERT_TRUE(block.Active());
        QObject::connect(&port, &TMsgPort::messageReceived, &port,
                         [this, watchAnnounced](quint32 m, quintptr w, qintptr l) {
                             got.push_back({m, w, l, Clock::now()});
                             if (m == WM_ANNOUNCE && watchAnnounced)
                                 watcherStarted = TWatcher::Start(static_cast<unsigned short>(w),
                                                                  static_cast<int>(l),
                                                                  port.Value());
                         });
    }
    bool WaitFor(std::size_t count, int ms = 3000)
    {
        return QTest::qWaitFor([&] { return got.size() >= count; }, ms);
    }
    static ToolResult RunTool(const QStringList &args)
    {
        QProcess p;
        p.start(QStringLiteral(KORVEL_BIN_DIR "/korvel-run"), args);
        ToolResult r;
        if (!p.waitForFinished(10000))
            return r;
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.errors = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }

    std::string word;
    TMsgPort port;
    MHandle block;
    std::vector<Message> got;
    bool watcherStarted = false;
};

// Records the moment a process ends, seen independently of the watcher under test.
class ExitClock {
public:
    explicit ExitClock(int pid) : fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0u)))
    {
        if (fd >= 0)
            thread = std::thread([this] {
                pollfd p{fd, POLLIN, 0};
                while (poll(&p, 1, -1) < 0) {
                }
                ended = Clock::now();
                done = true;
            });
    }
    ~ExitClock()
    {
        if (thread.joinable())
            thread.join();
        if (fd >= 0)
            close(fd);
    }
    bool Opened() const { return fd >= 0; }

    int fd;
    std::thread thread;
    std::atomic<bool> done{false};
    Clock::time_point ended;
};

}  // namespace

TEST_F(Watcher, RunToolAnnouncesAndWatcherReportsTheEnd)
{
    StartAgent();
    QProcess app;
    app.start(QStringLiteral(KORVEL_BIN_DIR "/korvel-run"),
              {QStringLiteral("83"), QStringLiteral("--"), QStringLiteral("sleep"),
               QStringLiteral("0.2")});
    ASSERT_TRUE(app.waitForStarted());
    const int pid = static_cast<int>(app.processId());

    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(got[0].message, WM_ANNOUNCE);
    EXPECT_EQ(got[0].wParam, 83u);
    EXPECT_EQ(got[0].lParam, pid) << "the announced process is the program itself";
    EXPECT_TRUE(watcherStarted);
    ExitClock exitClock(pid);
    ASSERT_TRUE(exitClock.Opened());

    ASSERT_TRUE(WaitFor(2, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return exitClock.done.load(); }, 2000));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].message, WM_INSTANCE_ENDED);
    EXPECT_EQ(got[1].wParam, 83u);
    EXPECT_EQ(got[1].lParam, 0);
    EXPECT_GE(got[1].at - got[0].at, 150ms) << "reported while the program still ran";
    EXPECT_LT(got[1].at - exitClock.ended, 100ms);
    EXPECT_GT(got[1].at - exitClock.ended, -20ms);

    ASSERT_TRUE(QTest::qWaitFor([&] { return app.state() == QProcess::NotRunning; }, 2000));
    EXPECT_EQ(app.exitCode(), 0) << "the program's own exit status";
}

TEST_F(Watcher, SeveralWatchersReportEachCode)
{
    StartAgent();
    std::vector<std::unique_ptr<QProcess>> apps;
    const char *codes[] = {"10", "93", "97"};
    const char *times[] = {"0.1", "0.4", "0.7"};
    for (int i = 0; i < 3; ++i) {
        apps.push_back(std::make_unique<QProcess>());
        apps.back()->start(QStringLiteral(KORVEL_BIN_DIR "/korvel-run"),
                           {QString::fromLatin1(codes[i]), QStringLiteral("--"),
                            QStringLiteral("sleep"), QString::fromLatin1(times[i])});
    }
    ASSERT_TRUE(WaitFor(6, 5000));
    std::vector<quintptr> ended;
    for (const auto &m : got)
        if (m.message == WM_INSTANCE_ENDED)
            ended.push_back(m.wParam);
    EXPECT_EQ(ended, (std::vector<quintptr>{10, 93, 97}));
    for (auto &a : apps)
        a->waitForFinished();
}

TEST_F(Watcher, EndReportWaitsForABusyAgent)
{
    StartAgent();
    QProcess app;
    app.start(QStringLiteral("sleep"), {QStringLiteral("0.1")});
    ASSERT_TRUE(app.waitForStarted());
    ASSERT_TRUE(TWatcher::Start(83, static_cast<int>(app.processId()), port.Value()));

    // The agent reads nothing while others fill its port until a sender gives up.
    const auto start = Clock::now();
    int queued = 0;
    std::thread filler([&] {
        while (PostMessage(port.Value(), 1, 0, 0))
            ++queued;
    });
    filler.join();
    std::this_thread::sleep_until(start + 2500ms);

    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return !got.empty() && got.back().message == WM_INSTANCE_ENDED;
        },
        5000));
    EXPECT_EQ(got.back().wParam, 83u);
    EXPECT_EQ(static_cast<int>(got.size()), queued + 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return app.state() == QProcess::NotRunning; }, 1000));
}

TEST_F(Watcher, ProcessThatCannotBeOpenedPostsNothing)
{
    StartAgent();
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    EXPECT_FALSE(TWatcher::Start(83, gone, port.Value()));
    EXPECT_FALSE(TWatcher::Start(83, 0, port.Value()));
    EXPECT_FALSE(TWatcher::Start(83, -1, port.Value()));
    QTest::qWait(300);
    EXPECT_TRUE(got.empty());
}

TEST_F(Watcher, AnnounceRunningProcessByPid)
{
    StartAgent();
    QProcess sleeper;
    sleeper.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    ASSERT_TRUE(sleeper.waitForStarted());
    const auto pid = sleeper.processId();

    ToolResult r = RunTool({QStringLiteral("93"), QStringLiteral("--pid"), QString::number(pid)});
    EXPECT_EQ(r.exitCode, 0) << r.errors.toStdString();
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(got[0].message, WM_ANNOUNCE);
    EXPECT_EQ(got[0].wParam, 93u);
    EXPECT_EQ(got[0].lParam, pid);

    sleeper.kill();
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(got[1].message, WM_INSTANCE_ENDED);
    EXPECT_EQ(got[1].wParam, 93u);
    sleeper.waitForFinished();
}

TEST_F(Watcher, AnnouncedProgramThatCannotRunFails)
{
    StartAgent(false);
    ToolResult r = RunTool({QStringLiteral("97"), QStringLiteral("--"),
                            QStringLiteral("/nonexistent/korvel-test-program")});
    EXPECT_EQ(r.exitCode, 127);
    EXPECT_TRUE(r.errors.contains(QStringLiteral("cannot run"))) << r.errors.toStdString();
    // It was announced before the program was tried; the agent sees its process end.
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(got[0].message, WM_ANNOUNCE);
    EXPECT_EQ(got[0].wParam, 97u);
}

TEST_F(Watcher, RunToolWithoutAgentStartsNothing)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString marker = dir.filePath(QStringLiteral("started"));
    ToolResult r = RunTool({QStringLiteral("83"), QStringLiteral("--"), QStringLiteral("touch"),
                            marker});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.errors.contains(QStringLiteral("agent"))) << r.errors.toStdString();
    EXPECT_FALSE(QFile::exists(marker));

    // A block whose agent no longer reads its port counts as no agent either.
    TMsgPort dead;
    ASSERT_TRUE(dead.Open());
    const auto value = dead.Value();
    dead.Close();
    block = CreateHandleBlock(value);
    ASSERT_TRUE(block.Active());
    r = RunTool({QStringLiteral("83"), QStringLiteral("--"), QStringLiteral("touch"), marker});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(QFile::exists(marker));
}

TEST_F(Watcher, RunToolRejectsBadArguments)
{
    StartAgent();
    const std::vector<QStringList> bad = {
        {},
        {QStringLiteral("83")},
        {QStringLiteral("x83"), QStringLiteral("--"), QStringLiteral("true")},
        {QStringLiteral("65536"), QStringLiteral("--"), QStringLiteral("true")},
        {QStringLiteral("-1"), QStringLiteral("--"), QStringLiteral("true")},
        {QStringLiteral("83"), QStringLiteral("true")},
        {QStringLiteral("83"), QStringLiteral("--")},
        {QStringLiteral("83"), QStringLiteral("--pid")},
        {QStringLiteral("83"), QStringLiteral("--pid"), QStringLiteral("abc")},
        {QStringLiteral("83"), QStringLiteral("--pid"), QStringLiteral("0")},
        {QStringLiteral("83"), QStringLiteral("--pid"), QStringLiteral("1"), QStringLiteral("2")},
    };
    for (const auto &args : bad) {
        ToolResult r = RunTool(args);
        EXPECT_EQ(r.exitCode, 2) << args.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(r.errors.contains(QStringLiteral("usage"))) << r.errors.toStdString();
    }
    // A process that does not exist is not announced.
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    ToolResult r = RunTool({QStringLiteral("83"), QStringLiteral("--pid"), QString::number(gone)});
    EXPECT_EQ(r.exitCode, 1);
    QTest::qWait(200);
    EXPECT_TRUE(got.empty());
}
