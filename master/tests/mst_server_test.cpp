// The master's server in a thread of its own, as the program runs it, talked to over loopback
// by plain sockets: requests never wait for host names, resets are logged, half-closing peers
// get their replies, and running out of descriptors pauses accepting instead of spinning.

#include <mst_listener.h>
#include <mst_server.h>

#include <common/timeaddr.h>
#include <testsupport/handover.h>
#include <testsupport/heldport.h>
#include <testsupport/masterstore.h>
#include <testsupport/rawtcp.h>
#include <testsupport/tempdir.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

void EnsureApp()
{
    static int argc = 1;
    static char name[] = "mst_server_test";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
}

bool WaitFor(const std::function<bool()> &cond, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

// A resolver the test holds: lookups of `stuck` wait until released, others answer at once.
struct HeldResolver {
    std::mutex lock;
    std::condition_variable cv;
    bool released = false;
    QString stuck;
    QString lateName;

    QString Lookup(const QString &address)
    {
        if (address != stuck)
            return QStringLiteral("quick-") + address;
        std::unique_lock<std::mutex> l(lock);
        cv.wait(l, [this] { return released; });
        return lateName;
    }
    void Release()
    {
        std::lock_guard<std::mutex> l(lock);
        released = true;
        cv.notify_all();
    }
};

// A started server in its own thread, with its own store, session word and held port.
class Served : public ::testing::Test {
protected:
    void Start(TMstServer::Options options = {})
    {
        EnsureApp();
        testsupport::UseMasterStore((dir.path() / "korvel.reg").string(), held.port(), "srvTest");
        options.inheritedListener = held.handOver();
        server = new TMstServer(options);
        server->moveToThread(&thread);
        thread.start();
        TMstServer::StartResult r;
        testsupport::runBlocking(server, [&] { r = server->StartUp(); });
        ASSERT_TRUE(r.blockCreated);
        ASSERT_TRUE(r.listening) << r.listenError.toStdString();
    }

    void TearDown() override
    {
        resolver.Release();
        if (server) {
            testsupport::runBlocking(server, [this] { delete server; });
            thread.quit();
            thread.wait();
        }
        unsetenv("KORVEL_REGISTRY");
        unsetenv("KORVEL_SESSION");
    }

    // The snapshot once what the server did so far is published.
    TMstSnapshotPtr Settled()
    {
        EXPECT_TRUE(WaitFor([this] { return !server->PublishPending(); }, 5000));
        return server->Snapshot();
    }
    std::vector<std::string> LogLines()
    {
        const TMstSnapshotPtr snap = Settled();
        std::vector<std::string> lines;
        for (int i = 0; i < snap->log.Count(); ++i)
            lines.push_back(UnicodeToUtf8(snap->log.At(i).text));
        return lines;
    }
    int Count(const std::string &line)
    {
        int n = 0;
        for (const std::string &l : LogLines())
            n += l == line;
        return n;
    }
    std::string Tip(int row) { return Settled()->tipText(row).toStdString(); }

    testsupport::TempDir dir;
    testsupport::HeldPort held;
    // Shared with the lookup threads, which may finish their last call after the test.
    std::shared_ptr<HeldResolver> heldResolver = std::make_shared<HeldResolver>();
    HeldResolver &resolver = *heldResolver;
    QThread thread;
    TMstServer *server = nullptr;
};

TEST_F(Served, RequestsNeverWaitForHostNames)
{
    resolver.stuck = QStringLiteral("127.0.0.2");
    resolver.lateName = QStringLiteral("ws-late");
    TMstServer::Options options;
    options.resolver = [r = heldResolver](const QString &a) { return r->Lookup(a); };
    Start(options);
    const quint16 port = held.port();

    // The first client's name never comes while these run; the second's comes at once.
    QElapsedTimer t;
    t.start();
    const int a = testsupport::TcpConnect(port, "127.0.0.2");
    EXPECT_EQ(testsupport::TcpAsk(a, "112,0,83,0"), "22,1,11,180");
    const int b = testsupport::TcpConnect(port, "127.0.0.3");
    EXPECT_EQ(testsupport::TcpAsk(b, "112,0,93,0"), "22,1,12,180") << "in the order of arrival";
    EXPECT_LT(t.elapsed(), 2000) << "no request waits for a name";

    // Sent and closed at once: handled all the same.
    const int c = testsupport::TcpConnect(port, "127.0.0.2");
    ASSERT_EQ(::send(c, "112,0,97,0", 10, MSG_NOSIGNAL), 10);
    ::close(c);
    EXPECT_TRUE(WaitFor([&] { return Count("Client is assigned ID = 13. ") == 1; }, 3000));

    // Two messages on one connection, each after the other's reply: two requests.
    EXPECT_EQ(testsupport::TcpAsk(a, "259,11,0,0"), "35,1,0,0");
    EXPECT_EQ(testsupport::TcpAsk(a, "259,12,0,0"), "35,1,0,0");
    EXPECT_EQ(Count("Client 11 requested for acknowledgment."), 1);
    EXPECT_EQ(Count("Client 12 requested for acknowledgment."), 1);

    // The address stands in for the name that has not come; the quick one is there.
    EXPECT_EQ(Tip(0), "Client 11.  Host: 127.0.0.2.  Address: 127.0.0.2");
    EXPECT_TRUE(
        WaitFor([&] { return Tip(1) == "Client 12.  Host: quick-127.0.0.3.  Address: 127.0.0.3"; }, 3000))
        << Tip(1);
    // The late name fills in the clients that waited for it.
    resolver.Release();
    EXPECT_TRUE(WaitFor([&] { return Tip(0) == "Client 11.  Host: ws-late.  Address: 127.0.0.2"; }, 3000))
        << Tip(0);
    EXPECT_EQ(Tip(2), "Client 13.  Host: ws-late.  Address: 127.0.0.2");
    ::close(a);
    ::close(b);
}

TEST_F(Served, AResetIsLoggedAndAHalfCloseStillGetsItsReply)
{
    Start();
    const quint16 port = held.port();
    const std::string resetLine = "Error occured during communication session with a client (disconnecting).";

    // A peer that closes normally after its reply: no error line.
    int fd = testsupport::TcpConnect(port);
    EXPECT_EQ(testsupport::TcpAsk(fd, "112,0,83,0"), "22,1,11,180");
    ::close(fd);
    // A peer that half-closes right after its request still gets the reply.
    fd = testsupport::TcpConnect(port);
    ASSERT_EQ(::send(fd, "259,11,0,0", 10, MSG_NOSIGNAL), 10);
    ::shutdown(fd, SHUT_WR);
    EXPECT_EQ(testsupport::TcpReply(fd), "35,1,0,0");
    ::close(fd);
    EXPECT_TRUE(WaitFor([&] { return server->ConnectionCount() == 0; }, 3000));
    EXPECT_EQ(Count(resetLine), 0);

    // A peer that resets its connection after its request: the line, once.
    fd = testsupport::TcpConnect(port);
    EXPECT_EQ(testsupport::TcpAsk(fd, "259,11,0,0"), "35,1,0,0");
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
    EXPECT_TRUE(WaitFor([&] { return Count(resetLine) == 1; }, 3000));
    EXPECT_TRUE(WaitFor([&] { return server->ConnectionCount() == 0; }, 3000));
    EXPECT_EQ(Count(resetLine), 1);
}

// Standard output sent to a packet socket for the life of the object, so that each write
// made to it arrives as a packet of its own.
class CapturedStdout {
public:
    CapturedStdout()
    {
        std::fflush(stdout);
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0)
            return;
        const int size = 1 << 20;
        ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        saved_ = ::dup(1);
        ::dup2(fds[1], 1);
        ::close(fds[1]);
        in_ = fds[0];
    }
    ~CapturedStdout()
    {
        std::fflush(stdout);
        if (saved_ >= 0) {
            ::dup2(saved_, 1);
            ::close(saved_);
        }
        if (in_ >= 0)
            ::close(in_);
    }
    bool Ok() const { return in_ >= 0; }
    /// Writes received until `text` holds `lines` copies of `what`, or `ms` passed.
    std::vector<std::string> Until(const std::string &what, int lines, int ms)
    {
        QElapsedTimer t;
        t.start();
        std::vector<std::string> writes;
        std::string text;
        auto seen = [&] {
            int n = 0;
            for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
                ++n;
            return n;
        };
        static char buf[1 << 17];
        while (seen() < lines && t.elapsed() < ms) {
            pollfd p{in_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::recv(in_, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            writes.emplace_back(buf, static_cast<std::size_t>(n));
            text += writes.back();
        }
        return writes;
    }

private:
    int saved_ = -1;
    int in_ = -1;
};

TEST_F(Served, TheEchoedLinesOfABurstLeaveTogether)
{
    // gtest writes its findings to standard output too: they are checked once it is back.
    auto out = std::make_unique<CapturedStdout>();
    ASSERT_TRUE(out->Ok());
    TMstServer::Options options;
    options.echoLog = true;
    options.echoPriorities = true;
    Start(options);

    // The server's loop is held while a burst of requests comes in, as when it is busy.
    std::mutex m;
    std::condition_variable cv;
    bool holding = false, released = false;
    QMetaObject::invokeMethod(
        server,
        [&] {
            std::unique_lock<std::mutex> l(m);
            holding = true;
            cv.notify_all();
            cv.wait(l, [&] { return released; });
        },
        Qt::QueuedConnection);
    bool wasHeld = false;
    {
        std::unique_lock<std::mutex> l(m);
        wasHeld = cv.wait_for(l, std::chrono::seconds(10), [&] { return holding; });
    }
    constexpr int Burst = 30;
    std::vector<int> fds;
    int sent = 0;
    for (int i = 0; i < Burst; ++i) {
        fds.push_back(testsupport::TcpConnect(held.port()));
        sent += ::send(fds.back(), "259,10,0,0", 10, MSG_NOSIGNAL) == 10;
    }
    {
        std::lock_guard<std::mutex> l(m);
        released = true;
        cv.notify_all();
    }
    int replies = 0;
    for (int fd : fds) {
        replies += testsupport::TcpReply(fd) == "35,1,0,0";
        ::close(fd);
    }
    const std::string line = "  Client 10 requested for acknowledgment.\n";
    const std::vector<std::string> writes = out->Until(line, Burst, 10000);
    out.reset();
    EXPECT_TRUE(wasHeld);
    EXPECT_EQ(sent, Burst);
    EXPECT_EQ(replies, Burst);
    std::string text;
    for (const std::string &w : writes)
        text += w;
    // Every line once, whole, with its level; far fewer writes than lines (one each before).
    int lines = 0;
    for (std::size_t p = text.find(line); p != std::string::npos; p = text.find(line, p + 1)) {
        ++lines;
        const std::size_t start = text.rfind('\n', p);
        EXPECT_EQ(text.compare(start == std::string::npos ? 0 : start + 1, 3, "<6>"), 0);
    }
    EXPECT_EQ(lines, Burst);
    EXPECT_LE(writes.size(), static_cast<std::size_t>(Burst / 3)) << text;
}

// Descriptors open in this process, by number.
std::vector<int> OpenDescriptors()
{
    std::vector<int> fds;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (dirent *e = ::readdir(d))
            if (e->d_name[0] != '.')
                fds.push_back(std::atoi(e->d_name));
        ::closedir(d);
    }
    return fds;
}

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(Listener, OutOfDescriptorsPausesAcceptingInsteadOfSpinning)
{
    EnsureApp();
    testsupport::HeldPort held;
    TMstListener listener(1000); // the budget allows far more than the descriptors do
    listener.SetHandler([](const TMstListener::TPeer &, std::string_view) { return std::string("ok"); });
    QString error;
    ASSERT_TRUE(listener.Listen(held.port(), held.handOver(), &error)) << error.toStdString();

    // Connections the kernel completes, waiting to be accepted.
    std::vector<int> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(testsupport::TcpConnect(held.port()));
    // Fill every free descriptor number below the limit about to be set, then set it.
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    std::vector<int> fillers;
    const std::vector<int> open = OpenDescriptors();
    const int top = *std::max_element(open.begin(), open.end()) + 1;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0 && fd < top;)
        fillers.push_back(fd);
    if (!fillers.empty() && fillers.back() >= top) {
        ::close(fillers.back());
        fillers.pop_back();
    }
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(top + 1); // one for the filler closed above
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const int last = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    fillers.push_back(last);

    const double cpu0 = CpuSeconds();
    // Idle in the event loop for a second; a tick wakes it now and then to look at the time.
    QTimer tick;
    tick.start(50);
    QElapsedTimer idle;
    idle.start();
    while (idle.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double busy = CpuSeconds() - cpu0;
    // A retry resumes accepting until the accept that follows it fails again, so the pause is
    // looked for over a short while rather than at one instant.
    const bool paused = WaitFor([&] { return listener.AcceptPaused(); }, 1000);
    const std::size_t accepted = listener.Count();

    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
    for (int fd : fillers)
        ::close(fd);
    EXPECT_TRUE(paused);
    EXPECT_EQ(accepted, 0u);
    EXPECT_LT(busy, 0.3) << "a second with no descriptor left must not keep a core busy";

    // Descriptors again: accepting resumes within its bound and the waiting clients are served.
    for (int fd : clients)
        ASSERT_EQ(::send(fd, "x", 1, MSG_NOSIGNAL), 1);
    for (int fd : clients) {
        std::string r;
        EXPECT_TRUE(WaitFor(
            [&] {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 0) > 0)
                    r = testsupport::TcpReply(fd, 0);
                return !r.empty();
            },
            3000));
        EXPECT_EQ(r, "ok");
        ::close(fd);
    }
}

} // namespace
