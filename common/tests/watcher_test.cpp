#include <common/handleblock.h>
#include <common/messages.h>
#include <common/msgport.h>
#include <common/watcher.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <QtCore/qtestsupport_core.h>

#include <gtest/gtest.h>
#include <testsupport/child.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char **environ;

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

// True when process `pid` has ended (a zombie or already reaped).
bool ProcessEnded(int pid)
{
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0u));
    if (fd < 0)
        return true;
    pollfd p{fd, POLLIN, 0};
    const bool ended = poll(&p, 1, 0) == 1;
    close(fd);
    return ended;
}

struct Message {
    quint32 message;
    quintptr wParam;
    qintptr lParam;
    Clock::time_point at;
    bool processEnded; // for an end report: its process had ended when it arrived
};

// `sleep` processes for the watchers to watch, killed and reaped at the latest when this goes.
class Sleepers {
public:
    Sleepers() = default;
    Sleepers(const Sleepers &) = delete;
    Sleepers &operator=(const Sleepers &) = delete;
    ~Sleepers() { EndAll(); }

    pid_t Spawn()
    {
        char name[] = "sleep";
        char seconds[] = "600";
        char *argv[] = {name, seconds, nullptr};
        pid_t pid = -1;
        if (posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) != 0)
            return -1;
        pids.push_back(pid);
        return pid;
    }
    void End(pid_t pid)
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pids.erase(std::remove(pids.begin(), pids.end(), pid), pids.end());
    }
    void EndAll()
    {
        for (pid_t pid : pids)
            kill(pid, SIGKILL);
        for (pid_t pid : pids)
            waitpid(pid, nullptr, 0);
        pids.clear();
    }
    const std::vector<pid_t> &Pids() const { return pids; }

private:
    std::vector<pid_t> pids;
};

std::size_t ThreadsOfThisProcess()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return static_cast<std::size_t>(std::stoul(line.substr(8)));
    return 0;
}

// The watches' share of the descriptor limit: all but a quarter of it, and at least 64 kept free.
std::size_t BudgetFor(rlim_t limit)
{
    const rlim_t reserve = std::max<rlim_t>(64, limit / 4);
    return limit > reserve ? static_cast<std::size_t>(limit - reserve) : 0;
}

rlim_t DescriptorLimit()
{
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    return r.rlim_cur;
}

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
                             const bool ended = m == WM_INSTANCE_ENDED && ProcessEnded(static_cast<int>(l));
                             got.push_back({m, w, l, Clock::now(), ended});
                             if (m == WM_ANNOUNCE && watchAnnounced)
                                 watcherId = TWatcher::Start(static_cast<unsigned short>(w),
                                                             static_cast<int>(l), port.Value());
                         });
    }
    // Runs the event loop until `count` messages have arrived; no polling pauses, so a burst
    // of reports is read as fast as the port delivers it.
    bool WaitFor(std::size_t count, int ms = 5000)
    {
        if (got.size() >= count)
            return true;
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        QObject::connect(&port, &TMsgPort::messageReceived, &loop, [&] {
            if (got.size() >= count)
                loop.quit();
        });
        loop.exec();
        return got.size() >= count;
    }
    std::vector<Message> Ends() const
    {
        std::vector<Message> ends;
        for (const auto &m : got)
            if (m.message == WM_INSTANCE_ENDED)
                ends.push_back(m);
        return ends;
    }
    // Watches of earlier tests end asynchronously; counts are read once they have.
    static bool NoWatchesLeft()
    {
        return QTest::qWaitFor([] { return TWatcher::Count() == 0; }, 5000);
    }
    static ToolResult RunTool(const QStringList &args)
    {
        std::vector<std::string> words;
        for (const QString &a : args)
            words.push_back(a.toStdString());
        testsupport::Child p;
        ToolResult r;
        if (!p.Start(KORVEL_BIN_DIR "/korvel-run", words) || !p.Wait(10000))
            return r;
        r.exitCode = p.ExitCode();
        r.errors = QString::fromStdString(p.Err());
        return r;
    }

    std::string word;
    TMsgPort port;
    MHandle block;
    std::vector<Message> got;
    TWatcher::Id watcherId = 0;
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

} // namespace

TEST_F(Watcher, RunToolAnnouncesAndWatcherReportsTheEnd)
{
    StartAgent();
    testsupport::Child app;
    ASSERT_TRUE(app.Start(KORVEL_BIN_DIR "/korvel-run", {"83", "--", "sleep", "0.2"}));
    const int pid = app.Pid();

    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(got[0].message, WM_ANNOUNCE);
    EXPECT_EQ(got[0].wParam, 83u);
    EXPECT_EQ(got[0].lParam, pid) << "the announced process is the program itself";
    EXPECT_NE(watcherId, 0u);
    ExitClock exitClock(pid);
    ASSERT_TRUE(exitClock.Opened());

    ASSERT_TRUE(WaitFor(2));
    ASSERT_TRUE(QTest::qWaitFor([&] { return exitClock.done.load(); }, 2000));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].message, WM_INSTANCE_ENDED);
    EXPECT_EQ(got[1].wParam, 83u);
    EXPECT_EQ(got[1].lParam, pid) << "the process that ended, to tell instances of a code apart";
    EXPECT_TRUE(got[1].processEnded) << "reported while the program still ran";
    // The delay is measured, not held to an idle machine's figure; the bound only catches a
    // report that waited for something else.
    const auto lag = std::chrono::duration_cast<std::chrono::microseconds>(got[1].at - exitClock.ended);
    std::printf("end reported %lld us after the process ended\n", static_cast<long long>(lag.count()));
    EXPECT_LT(lag, 2s);

    ASSERT_TRUE(app.Wait(2000));
    EXPECT_EQ(app.ExitCode(), 0) << "the program's own exit status";
}

TEST_F(Watcher, SeveralWatchersReportEachCode)
{
    StartAgent();
    testsupport::Child apps[3];
    const char *codes[] = {"10", "93", "97"};
    const char *times[] = {"0.1", "0.4", "0.7"};
    std::set<std::pair<quintptr, qintptr>> started;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(apps[i].Start(KORVEL_BIN_DIR "/korvel-run", {codes[i], "--", "sleep", times[i]}));
        started.insert({std::strtoul(codes[i], nullptr, 10), apps[i].Pid()});
    }
    ASSERT_TRUE(WaitFor(6));
    // Each end names its code and its own process; the order is left to the scheduler.
    std::set<std::pair<quintptr, qintptr>> ended;
    for (const auto &m : Ends()) {
        ended.insert({m.wParam, m.lParam});
        EXPECT_TRUE(m.processEnded) << m.wParam;
    }
    EXPECT_EQ(ended, started);
    for (auto &a : apps)
        a.Wait(5000);
}

TEST_F(Watcher, EndReportWaitsForABusyAgent)
{
    StartAgent(false);
    ASSERT_TRUE(NoWatchesLeft());
    Sleepers sleepers;
    const pid_t pid = sleepers.Spawn();
    ASSERT_GT(pid, 0);
    ASSERT_NE(TWatcher::Start(83, pid, port.Value()), 0u);

    // The agent reads nothing (no event loop runs) while its port is filled to the brim.
    int queued = 0;
    while (queued < 100000 && TryPostMessage(word, port.Value(), 1, 0, 0))
        ++queued;
    ASSERT_GT(queued, 0);
    ASSERT_FALSE(TryPostMessage(word, port.Value(), 1, 0, 0)) << "the port is full";

    // The process ends while the port is full: once the waiter has taken the end, the report
    // waits for room.
    sleepers.End(pid);
    for (int i = 0; i < 500 && TWatcher::Count() != 0; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(TWatcher::Count(), 0u) << "the waiter took the end";

    ASSERT_TRUE(WaitFor(static_cast<std::size_t>(queued) + 1));
    EXPECT_EQ(got.back().message, WM_INSTANCE_ENDED) << "after everything that was waiting";
    EXPECT_EQ(got.back().wParam, 83u);
    EXPECT_EQ(got.back().lParam, pid);
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Message &m) { return m.message == 1; }), queued);
}

TEST_F(Watcher, ProcessThatCannotBeOpenedPostsNothing)
{
    StartAgent();
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    EXPECT_EQ(TWatcher::Start(83, gone, port.Value()), 0u);
    EXPECT_EQ(TWatcher::Start(83, 0, port.Value()), 0u);
    EXPECT_EQ(TWatcher::Start(83, -1, port.Value()), 0u);
    // A watch started after them ends and is reported; anything posted for the refused ones
    // would have come first.
    Sleepers sleepers;
    const pid_t later = sleepers.Spawn();
    ASSERT_NE(TWatcher::Start(97, later, port.Value()), 0u);
    sleepers.End(later);
    ASSERT_TRUE(WaitFor(1));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].wParam, 97u);
    EXPECT_EQ(got[0].lParam, later);
}

TEST_F(Watcher, AnnounceRunningProcessByPid)
{
    StartAgent();
    testsupport::Child sleeper;
    ASSERT_TRUE(sleeper.Start("sleep", {"30"}));
    const auto pid = sleeper.Pid();

    ToolResult r = RunTool({QStringLiteral("93"), QStringLiteral("--pid"), QString::number(pid)});
    EXPECT_EQ(r.exitCode, 0) << r.errors.toStdString();
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(got[0].message, WM_ANNOUNCE);
    EXPECT_EQ(got[0].wParam, 93u);
    EXPECT_EQ(got[0].lParam, pid);

    kill(pid, SIGKILL);
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(got[1].message, WM_INSTANCE_ENDED);
    EXPECT_EQ(got[1].wParam, 93u);
    EXPECT_EQ(got[1].lParam, pid);
}

TEST_F(Watcher, AnnouncedProgramThatCannotRunFails)
{
    StartAgent(false);
    ToolResult r = RunTool(
        {QStringLiteral("97"), QStringLiteral("--"), QStringLiteral("/nonexistent/korvel-test-program")});
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
    ToolResult r = RunTool({QStringLiteral("83"), QStringLiteral("--"), QStringLiteral("touch"), marker});
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
    // The port keeps its order: an announcement the tool made before it ended would come
    // before this message, posted after.
    constexpr quint32 Marker = 0x7F01;
    ASSERT_TRUE(PostMessage(port.Value(), Marker, 0, 0));
    ASSERT_TRUE(WaitFor(1));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].message, Marker);
}

TEST_F(Watcher, TerminateEndsTheWatch)
{
    StartAgent(false);
    ASSERT_TRUE(NoWatchesLeft());
    Sleepers sleepers;
    const pid_t a = sleepers.Spawn();
    const pid_t b = sleepers.Spawn();
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    const TWatcher::Id ia = TWatcher::Start(10, a, port.Value());
    const TWatcher::Id ib = TWatcher::Start(93, b, port.Value());
    ASSERT_NE(ia, 0u);
    ASSERT_NE(ib, 0u);
    EXPECT_NE(ia, ib);
    EXPECT_EQ(TWatcher::Count(), 2u);

    TWatcher::Terminate(ia);
    EXPECT_EQ(TWatcher::Count(), 1u);
    // Twice, no id and ids never given out: nothing.
    for (TWatcher::Id id : {ia, TWatcher::Id{0}, ib + 1000, ~TWatcher::Id{0}})
        TWatcher::Terminate(id);
    EXPECT_EQ(TWatcher::Count(), 1u);

    sleepers.End(a);
    sleepers.End(b);
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(TWatcher::Count(), 0u);

    TWatcher::Terminate(ib); // after its end was posted
    EXPECT_EQ(TWatcher::Count(), 0u);
    // c starts after a and b ended: had the terminated watch posted, its end would come
    // before c's.
    const pid_t c = sleepers.Spawn();
    const TWatcher::Id ic = TWatcher::Start(97, c, port.Value());
    EXPECT_GT(ic, ib) << "ids are not given out twice";
    sleepers.End(c);
    ASSERT_TRUE(WaitFor(2));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].message, WM_INSTANCE_ENDED);
    EXPECT_EQ(got[0].wParam, 93u);
    EXPECT_EQ(got[0].lParam, b);
    EXPECT_EQ(got[1].wParam, 97u);
    EXPECT_EQ(got[1].lParam, c);
}

TEST_F(Watcher, ThousandsOfWatchesShareOneThread)
{
    StartAgent(false);
    ASSERT_TRUE(NoWatchesLeft());
    constexpr int Total = 2000;
    constexpr int Batch = 100;
    const std::size_t threadsBefore = ThreadsOfThisProcess();
    Sleepers sleepers;
    std::map<qintptr, quintptr> codeOf;
    for (int started = 0; started < Total;) {
        for (int i = 0; i < Batch; ++i, ++started) {
            const pid_t pid = sleepers.Spawn();
            ASSERT_GT(pid, 0) << "cannot start sleep number " << started;
            const auto code = static_cast<unsigned short>(started);
            if (TWatcher::Start(code, pid, port.Value()) == 0) {
                if (BudgetFor(DescriptorLimit()) < Total + 1)
                    GTEST_SKIP() << "the descriptor limit " << DescriptorLimit() << " is too low for "
                                 << Total << " watches";
                FAIL() << "watch " << started << " refused within the budget";
            }
            codeOf[pid] = code;
        }
    }
    const std::size_t threadsWatching = ThreadsOfThisProcess();
    EXPECT_EQ(TWatcher::Count(), static_cast<std::size_t>(Total));
    EXPECT_LE(threadsWatching, threadsBefore + 1) << "at most the one waiter thread is new";

    const auto killed = Clock::now();
    sleepers.EndAll();
    ASSERT_TRUE(WaitFor(Total, 60000)) << got.size() << " of " << Total << " ends reported";
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed);
    std::printf("%d ends reported %lld ms after the kills; threads %zu before, %zu while watching\n", Total,
                static_cast<long long>(took.count()), threadsBefore, threadsWatching);
    std::map<qintptr, quintptr> reported;
    for (const auto &m : got) {
        EXPECT_EQ(m.message, WM_INSTANCE_ENDED);
        EXPECT_TRUE(reported.emplace(m.lParam, m.wParam).second) << "two reports for " << m.lParam;
    }
    EXPECT_EQ(reported, codeOf);
    EXPECT_EQ(TWatcher::Count(), 0u);
    EXPECT_LE(ThreadsOfThisProcess(), threadsBefore + 1);
}

namespace {

// A port that nobody reads: a bare socket at the port's address, which the test fills.
class StuckPort {
public:
    StuckPort(std::uint32_t value, const std::string &word) : value(value)
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        char name[100];
        const int n = std::snprintf(name, sizeof name, "korvel-port-%08x-%s", value, word.c_str());
        std::memcpy(addr.sun_path + 1, name, static_cast<std::size_t>(n));
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n)) != 0) {
            close(fd);
            fd = -1;
        }
        for (int i = 0; fd >= 0 && i < 10000 && TryPostMessage(word, value, 1, 0, 0); ++i) {
        }
    }
    ~StuckPort()
    {
        if (fd >= 0)
            close(fd);
    }
    // The message numbers waiting in the port.
    std::vector<std::uint32_t> Drain()
    {
        std::vector<std::uint32_t> messages;
        unsigned char d[24];
        while (recv(fd, d, sizeof d, 0) == static_cast<ssize_t>(sizeof d)) {
            std::uint32_t m;
            std::memcpy(&m, d + 4, sizeof m);
            messages.push_back(m);
        }
        return messages;
    }

    std::uint32_t value;
    int fd = -1;
};

// Sends this process's stderr to a file for as long as the object lives.
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        char name[] = "/tmp/korvel-watcher-stderr-XXXXXX";
        file = mkstemp(name);
        if (file >= 0)
            unlink(name);
        saved = dup(2);
        if (file >= 0)
            dup2(file, 2);
    }
    ~StderrCapture()
    {
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        if (file >= 0)
            close(file);
    }
    std::string Text() const
    {
        std::string text;
        char buffer[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(file, buffer, sizeof buffer, at)) > 0; at += n)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

private:
    int file = -1;
    int saved = -1;
};

} // namespace

TEST_F(Watcher, StuckPortsHoldUpNoOtherReport)
{
    StartAgent(false);
    ASSERT_TRUE(NoWatchesLeft());
    // The lowest and the highest port value: stuck ports on either side of the agent's.
    ASSERT_NE(port.Value(), 1u);
    ASSERT_NE(port.Value(), 0xFFFFFFFFu);
    StuckPort low(1, word);
    StuckPort high(0xFFFFFFFFu, word);
    ASSERT_GE(low.fd, 0);
    ASSERT_GE(high.fd, 0);
    StderrCapture captured;
    Sleepers sleepers;
    const pid_t toLow = sleepers.Spawn();
    const pid_t toHigh = sleepers.Spawn();
    const pid_t toLowTerminated = sleepers.Spawn();
    const pid_t toAgent = sleepers.Spawn();
    ASSERT_NE(TWatcher::Start(10, toLow, low.value), 0u);
    ASSERT_NE(TWatcher::Start(83, toHigh, high.value), 0u);
    const TWatcher::Id terminated = TWatcher::Start(93, toLowTerminated, low.value);
    ASSERT_NE(terminated, 0u);
    ASSERT_NE(TWatcher::Start(97, toAgent, port.Value()), 0u);

    const auto stuckEnded = Clock::now();
    sleepers.End(toLow);
    sleepers.End(toHigh);
    sleepers.End(toLowTerminated);
    ASSERT_TRUE(QTest::qWaitFor([] { return TWatcher::Count() == 1; }, 5000))
        << "the waiter has taken the ends for the stuck ports";
    TWatcher::Terminate(terminated);

    // The stuck ports' reports are given up after a few seconds, each with a line that says so.
    const auto lines = [&] {
        const std::string text = captured.Text();
        std::size_t n = 0;
        for (auto at = text.find("not reported"); at != std::string::npos;
             at = text.find("not reported", at + 1))
            ++n;
        return n;
    };

    const auto agentEnded = Clock::now();
    sleepers.End(toAgent);
    ASSERT_TRUE(WaitFor(1));
    const auto lag = std::chrono::duration_cast<std::chrono::milliseconds>(got[0].at - agentEnded);
    std::printf("report to a free port took %lld ms while two other ports were stuck\n",
                static_cast<long long>(lag.count()));
    EXPECT_EQ(got[0].lParam, toAgent);
    // A waiter that waited for room in a stuck port would post this only once it gave up there.
    EXPECT_EQ(lines(), 0u) << "reported while the stuck ports' reports were still held";

    ASSERT_TRUE(QTest::qWaitFor([&] { return lines() >= 2; }, 20000)) << captured.Text();
    const auto gaveUpAfter = Clock::now() - stuckEnded;
    const std::string text = captured.Text();
    EXPECT_EQ(lines(), 2u) << text;
    EXPECT_NE(text.find("process " + std::to_string(toLow) + " (application 10)"), std::string::npos) << text;
    EXPECT_NE(text.find("process " + std::to_string(toHigh) + " (application 83)"), std::string::npos)
        << text;
    EXPECT_EQ(text.find(std::to_string(toLowTerminated)), std::string::npos) << "it was terminated";
    EXPECT_GE(gaveUpAfter, 4s) << "a busy agent gets a few seconds";
    for (StuckPort *stuck : {&low, &high}) {
        const auto messages = stuck->Drain();
        EXPECT_FALSE(messages.empty());
        EXPECT_EQ(std::count(messages.begin(), messages.end(), WM_INSTANCE_ENDED), 0);
    }
    // A report held for the low port would be tried again, with room there now, no later than
    // this one to the agent: ports are served in the order of their values.
    const pid_t last = sleepers.Spawn();
    ASSERT_NE(TWatcher::Start(83, last, port.Value()), 0u);
    sleepers.End(last);
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(got[1].lParam, last);
    EXPECT_TRUE(low.Drain().empty()) << "nothing was left waiting for room";
    EXPECT_EQ(got.size(), 2u);
}

namespace {

// Run in a child of the test (a fresh process with a low descriptor limit): watches stop at the
// budget, the agent keeps its reserve, and ending the watches frees the budget again.
int BudgetChild()
{
    const rlimit low{100, 200};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0)
        return 10;
    Sleepers sleepers;
    const pid_t pid = sleepers.Spawn();
    if (pid <= 0)
        return 11;
    std::vector<TWatcher::Id> ids;
    int refused = 0;
    for (int i = 0; i < 1000; ++i) {
        const TWatcher::Id id = TWatcher::Start(83, pid, 0x1234);
        if (id != 0)
            ids.push_back(id);
        else
            ++refused;
    }
    std::printf("limit %llu, watches %zu, refused %d\n", static_cast<unsigned long long>(DescriptorLimit()),
                ids.size(), refused);
    if (DescriptorLimit() != 200)
        return 12; // the soft limit is raised to the hard one
    if (ids.size() != BudgetFor(200) || TWatcher::Count() != ids.size())
        return 13;
    std::vector<int> own;
    for (int i = 0; i < 40; ++i)
        own.push_back(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const bool reserveKept = std::none_of(own.begin(), own.end(), [](int fd) { return fd < 0; });
    for (int fd : own)
        if (fd >= 0)
            close(fd);
    if (!reserveKept)
        return 14;
    TWatcher::Terminate(ids.back());
    if (TWatcher::Start(83, pid, 0x1234) == 0 || TWatcher::Start(83, pid, 0x1234) != 0)
        return 15; // one place freed, one taken
    sleepers.EndAll();
    for (int i = 0; i < 1000 && TWatcher::Count() != 0; ++i)
        std::this_thread::sleep_for(10ms);
    if (TWatcher::Count() != 0)
        return 16;
    std::printf("all watches ended\n");
    return 0;
}

// Before main: the child must start with no watcher of its own.
const bool budgetChildDone = [] {
    if (std::getenv("KORVEL_WATCHER_BUDGET_CHILD")) {
        const int code = BudgetChild();
        std::fflush(stdout);
        _exit(code);
    }
    return false;
}();

} // namespace

TEST(WatcherBudget, StartRefusesPastTheDescriptorBudget)
{
    App();
    testsupport::Child child;
    ASSERT_TRUE(child.Start(std::filesystem::read_symlink("/proc/self/exe").string(), {},
                            {"KORVEL_WATCHER_BUDGET_CHILD=1"}));
    ASSERT_TRUE(child.Wait(60000));
    const QString out = QString::fromStdString(child.Out());
    const QString err = QString::fromStdString(child.Err());
    EXPECT_EQ(child.ExitCode(), 0) << out.toStdString() << err.toStdString();
    EXPECT_TRUE(out.contains(
        QStringLiteral("limit 200, watches %1, refused %2").arg(BudgetFor(200)).arg(1000 - BudgetFor(200))))
        << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("all watches ended"))) << out.toStdString();
}
