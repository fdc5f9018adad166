// Load on the running master: one TCP connection per request, as client agents send them,
// with 32 connections in flight. Reports requests per second and the 99th-percentile latency
// of announce, keep-alive and withdraw, whether the master's list kept repainting meanwhile,
// the master's peak resident memory with 10,000 clients and 10,000 sessions, and the master
// against the reference server (bench/reference_server.cpp), run alternately; and the master and
// masterd (the same server without windows) against it in one run.

#include <benchmark/benchmark.h>
#include <testsupport/heldport.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int InFlight = 32;

std::vector<double> RunLoad(int port, const std::vector<std::string> &requests);

// The descriptor a server started here finds its listening socket on.
constexpr int HandedFd = 100;

int Connect(int port, bool block)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | (block ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The master (or masterd) as a child process with its own store, session word and port.
class Master {
public:
    /// program: master or masterd; history: the file it keeps its history in, or "off";
    /// httpPort: where its status page listens, 0 turns it off.
    explicit Master(const char *program = "master", const std::string &history = "off", int httpPort = 0)
    {
        char tmpl[] = "/tmp/korvel-bench-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        port_ = held_.port();
        std::ofstream(dir_ + "/korvel.reg", std::ios::binary)
            << "Windows Registry Editor Version "
               "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n"
            << "\"Master\"=\"b4h78m1e0sb4\"\r\n\"Port\"=\"" << port_ << "\"\r\n"
            << "\"HttpPort\"=\"" << httpPort << "\"\r\n";
        const std::string reg = "KORVEL_REGISTRY=" + dir_ + "/korvel.reg";
        const std::string session =
            "KORVEL_SESSION=bench" + std::to_string(::getpid()) + "_" + std::to_string(port_);
        std::vector<std::string> envs = {reg,
                                         session,
                                         "KORVEL_PAINT_PROBE=1",
                                         "QT_QPA_PLATFORM=offscreen",
                                         "KORVEL_LISTEN_FD=" + std::to_string(HandedFd),
                                         "KORVEL_HISTORY=" +
                                             (history == "here" ? dir_ + "/history.sqlite" : history)};
        std::vector<char *> env;
        for (auto &e : envs)
            env.push_back(e.data());
        for (char **e = environ; *e; ++e)
            if (std::strncmp(*e, "KORVEL_", 7) != 0 && std::strncmp(*e, "QT_QPA", 6) != 0)
                env.push_back(*e);
        env.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        errFile_ = dir_ + "/stderr.txt";
        posix_spawn_file_actions_addopen(&fa, 2, errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, held_.fd(), HandedFd);
        const std::string bin = std::string(KORVEL_BIN_DIR "/") + program;
        char *argv[] = {const_cast<char *>(bin.c_str()), const_cast<char *>("-platform"),
                        const_cast<char *>("offscreen"), nullptr};
        if (posix_spawn(&pid_, bin.c_str(), &fa, nullptr, argv, env.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        // The port is held from the start: a request waits there until the master is up.
        if (pid_ > 0)
            RunLoad(port_, {"259,10,0,0"});
    }
    ~Master()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int st = 0;
            ::waitpid(pid_, &st, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    bool Up() const { return pid_ > 0 && ::kill(pid_, 0) == 0; }
    int Port() const { return port_; }

    // "VmHWM" or "VmRSS" of the master, in kB.
    long Status(const char *field) const
    {
        std::ifstream f("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.rfind(field, 0) == 0)
                return std::strtol(line.c_str() + std::strlen(field) + 1, nullptr, 10);
        return -1;
    }

    // Milliseconds of the list's paints, as the master reports them.
    std::vector<long long> Paints() const
    {
        std::ifstream f(errFile_);
        std::vector<long long> t;
        std::string word;
        long long ms = 0;
        while (f >> word)
            if (word == "paint" && f >> ms)
                t.push_back(ms);
        return t;
    }

private:
    testsupport::HeldPort held_;
    std::string dir_;
    std::string errFile_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// The reference server as a child process on a port of its own.
class Reference {
public:
    Reference()
    {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, held_.fd(), HandedFd);
        const std::string bin = KORVEL_BENCH_DIR "/korvel-reference-server";
        const std::string fd = std::to_string(HandedFd);
        char *argv[] = {const_cast<char *>(bin.c_str()), const_cast<char *>(fd.c_str()), nullptr};
        if (posix_spawn(&pid_, bin.c_str(), &fa, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        // Up and answering before it is measured, as the master.
        if (pid_ > 0)
            RunLoad(held_.port(), {"259,10,0,0"});
    }
    ~Reference()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int st = 0;
            ::waitpid(pid_, &st, 0);
        }
    }
    bool Up() const { return pid_ > 0 && ::kill(pid_, 0) == 0; }
    int Port() const { return held_.port(); }

private:
    testsupport::HeldPort held_;
    pid_t pid_ = -1;
};

// Sends every request on a connection of its own, InFlight at a time; returns the latency
// of each in microseconds (-1 for a request that got no reply).
std::vector<double> RunLoad(int port, const std::vector<std::string> &requests)
{
    struct Conn {
        int fd = -1;
        size_t req = 0;
        bool sent = false;
        Clock::time_point start;
    };
    std::vector<double> lat(requests.size(), -1);
    std::vector<Conn> conns(InFlight);
    size_t next = 0, done = 0;
    auto open = [&](Conn &c) {
        if (next >= requests.size())
            return;
        c.req = next++;
        c.sent = false;
        c.start = Clock::now();
        c.fd = Connect(port, false);
        if (c.fd < 0)
            ++done;
    };
    for (auto &c : conns)
        open(c);
    std::vector<pollfd> pfds(InFlight);
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (done < requests.size() && Clock::now() < deadline) {
        for (int i = 0; i < InFlight; ++i) {
            pfds[i].fd = conns[i].fd;
            pfds[i].events = conns[i].sent ? POLLIN : POLLOUT;
            pfds[i].revents = 0;
        }
        if (::poll(pfds.data(), InFlight, 1000) <= 0)
            continue;
        for (int i = 0; i < InFlight; ++i) {
            Conn &c = conns[i];
            if (c.fd < 0 || !pfds[i].revents)
                continue;
            if (!c.sent) {
                const std::string &r = requests[c.req];
                if (::send(c.fd, r.data(), r.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(r.size())) {
                    c.sent = true;
                    continue;
                }
            } else {
                char buf[64];
                if (::recv(c.fd, buf, sizeof buf, 0) > 0)
                    lat[c.req] = std::chrono::duration<double, std::micro>(Clock::now() - c.start).count();
            }
            ::close(c.fd);
            c.fd = -1;
            ++done;
            open(c);
        }
    }
    for (auto &c : conns)
        if (c.fd >= 0)
            ::close(c.fd);
    return lat;
}

Master &Shared()
{
    static Master m;
    return m;
}

int NextClientId = 11; // the IDs the shared master has handed out so far

void Report(benchmark::State &state, const std::vector<double> &lat, double seconds, size_t paintsBefore)
{
    std::vector<double> ok;
    for (double l : lat)
        if (l >= 0)
            ok.push_back(l);
    std::sort(ok.begin(), ok.end());
    const double p99 = ok.empty() ? 0 : ok[std::min(ok.size() - 1, ok.size() * 99 / 100)];
    state.counters["req_per_s"] = static_cast<double>(ok.size()) / seconds;
    state.counters["p99_ms"] = p99 / 1000.0;
    state.counters["unanswered"] = static_cast<double>(lat.size() - ok.size());
    // Responsiveness: the list's paints during the run, and the longest pause between them.
    const auto paints = Shared().Paints();
    long long gap = 0;
    for (size_t i = paintsBefore + 1; i < paints.size(); ++i)
        gap = std::max(gap, paints[i] - paints[i - 1]);
    state.counters["paints"] = static_cast<double>(paints.size() - paintsBefore);
    state.counters["max_paint_gap_ms"] = static_cast<double>(gap);
    if (ok.size() != lat.size())
        state.SkipWithError("requests without a reply");
    else if (paints.size() <= paintsBefore)
        state.SkipWithError("the master's list did not repaint under load");
}

void Load(benchmark::State &state, const std::function<std::string(int)> &make, int count)
{
    Master &m = Shared();
    if (!m.Up()) {
        state.SkipWithError("master did not start");
        return;
    }
    for (auto _ : state) {
        std::vector<std::string> reqs;
        for (int i = 0; i < count; ++i)
            reqs.push_back(make(i));
        const size_t paintsBefore = m.Paints().size();
        const auto t0 = Clock::now();
        const auto lat = RunLoad(m.Port(), reqs);
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(s);
        Report(state, lat, s, paintsBefore);
    }
}

constexpr int Requests = 10000;

void BM_Announce(benchmark::State &state)
{
    const int first = NextClientId;
    Load(
        state, [](int) { return std::string("112,0,83,0"); }, Requests);
    NextClientId = first + Requests * static_cast<int>(state.iterations());
}

void BM_KeepAlive(benchmark::State &state)
{
    Load(
        state, [](int i) { return "259," + std::to_string(11 + i % 1000) + ",0,0"; }, Requests);
}

void BM_Withdraw(benchmark::State &state)
{
    // Each announced client withdraws its one instance.
    const int last = NextClientId;
    Load(
        state, [last](int i) { return "376," + std::to_string(std::min(11 + i, last - 1)) + ",83,0"; },
        Requests);
}

// A master of its own with 10,000 clients and 10,000 sessions in its tables.
void BM_PeakMemory10k(benchmark::State &state)
{
    for (auto _ : state) {
        Master m;
        if (!m.Up()) {
            state.SkipWithError("master did not start");
            return;
        }
        const long idle = m.Status("VmHWM:");
        const auto t0 = Clock::now();
        const auto lat = RunLoad(m.Port(), std::vector<std::string>(10000, "112,0,83,0"));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        const long unanswered = std::count(lat.begin(), lat.end(), -1.0);
        // One more request through the full tables: the last ID handed out is 10,010.
        const auto check = RunLoad(m.Port(), {"112,0,93,0"});
        state.counters["VmHWM_start_MiB"] = static_cast<double>(idle) / 1024.0;
        state.counters["VmHWM_10k_MiB"] = static_cast<double>(m.Status("VmHWM:")) / 1024.0;
        state.counters["VmRSS_10k_MiB"] = static_cast<double>(m.Status("VmRSS:")) / 1024.0;
        if (unanswered || check[0] < 0)
            state.SkipWithError("requests without a reply");
    }
}

struct RunFigures {
    double rate = 0; // requests per second
    double p99 = 0;  // ms
    size_t unanswered = 0;
};

RunFigures Measure(int port, const std::vector<std::string> &reqs)
{
    const auto t0 = Clock::now();
    const auto lat = RunLoad(port, reqs);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::vector<double> ok;
    for (double l : lat)
        if (l >= 0)
            ok.push_back(l);
    std::sort(ok.begin(), ok.end());
    RunFigures f;
    f.rate = static_cast<double>(ok.size()) / s;
    f.p99 = ok.empty() ? 0 : ok[std::min(ok.size() - 1, ok.size() * 99 / 100)] / 1000.0;
    f.unanswered = lat.size() - ok.size();
    return f;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The requests of the comparisons with the reference server: a third announce, the rest are
// keep-alives.
std::vector<std::string> MixedRequests()
{
    std::vector<std::string> reqs;
    for (int i = 0; i < Requests; ++i)
        reqs.push_back(i % 3 == 0 ? "112,0,83,0" : "259,10,0,0");
    return reqs;
}

// A free loopback port for the master's status page (a small race with other programs).
int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// One GET; true when a whole 200 answer came (its Content-Length read) within two seconds.
bool HttpGet(int port, const std::string &path)
{
    const int fd = Connect(port, true);
    if (fd < 0)
        return false;
    const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::string head;
    char buf[65536];
    const auto end = Clock::now() + std::chrono::seconds(2);
    bool ok = false;
    size_t want = 0, body = 0;
    bool inBody = false;
    // The headers are looked at once; the body is only counted, so that reading a large list
    // costs the scraper little of the machine the servers share.
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        if (inBody) {
            body += static_cast<size_t>(n);
        } else {
            head.append(buf, static_cast<size_t>(n));
            const size_t split = head.find("\r\n\r\n");
            if (split == std::string::npos)
                continue;
            const size_t cl = head.find("Content-Length: ");
            if (cl == std::string::npos || cl > split)
                break;
            want = std::strtoul(head.c_str() + cl + 16, nullptr, 10);
            body = head.size() - split - 4;
            inBody = true;
            ok = head.rfind("HTTP/1.1 200", 0) == 0;
        }
        if (inBody && body >= want)
            break;
    }
    ok = ok && inBody && body >= want;
    ::close(fd);
    return ok;
}

// The master against the reference server on the same requests, alternately (master,
// reference, master, ...), so that both meet the same load of the machine. A third of the
// requests announce, the rest are keep-alives.
void BM_MasterAgainstReference(benchmark::State &state)
{
    // Argument 1: the master keeps its history (in its temporary folder) while it serves.
    Master m("master", state.range(0) != 0 ? "here" : "off");
    Reference ref;
    if (!m.Up() || !ref.Up()) {
        state.SkipWithError("a server did not start");
        return;
    }
    const std::vector<std::string> reqs = MixedRequests();
    for (auto _ : state) {
        std::vector<double> mRate, rRate, mP99, rP99;
        size_t unanswered = 0;
        const size_t paintsBefore = m.Paints().size();
        const auto t0 = Clock::now();
        for (int round = 0; round < 3; ++round) {
            const RunFigures a = Measure(m.Port(), reqs);
            const RunFigures b = Measure(ref.Port(), reqs);
            mRate.push_back(a.rate);
            mP99.push_back(a.p99);
            rRate.push_back(b.rate);
            rP99.push_back(b.p99);
            unanswered += a.unanswered + b.unanswered;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        const size_t paints = m.Paints().size() - paintsBefore;
        state.counters["master_req_per_s"] = Median(mRate);
        state.counters["reference_req_per_s"] = Median(rRate);
        state.counters["ratio"] = Median(mRate) / Median(rRate);
        state.counters["master_p99_ms"] = Median(mP99);
        state.counters["reference_p99_ms"] = Median(rP99);
        state.counters["paints"] = static_cast<double>(paints);
        std::printf("master %.0f req/s (p99 %.2f ms), reference %.0f req/s (p99 %.2f ms): master = %.2f x "
                    "reference, %zu repaints of the list meanwhile\n",
                    Median(mRate), Median(mP99), Median(rRate), Median(rP99), Median(mRate) / Median(rRate),
                    paints);
        if (unanswered)
            state.SkipWithError("requests without a reply");
        else if (paints == 0)
            state.SkipWithError("the master's list did not repaint under load");
    }
}

// The same ratio with and without the status page being read meanwhile, as the page and a
// monitoring system read it: the list and the metrics, ten times a second. Scraped and quiet
// turns alternate within one run (each pair in the other order than the last), so a drift of
// the machine's load meets both alike; the figure is scraped ratio / quiet ratio.
void BM_MasterAgainstReferenceWhileScraped(benchmark::State &state)
{
    const int httpPort = FreePort();
    Master m("master", "off", httpPort);
    Reference ref;
    if (!m.Up() || !ref.Up()) {
        state.SkipWithError("a server did not start");
        return;
    }
    const std::vector<std::string> reqs = MixedRequests();
    std::atomic<bool> stop{false}, scraping{false};
    std::atomic<int> scrapes{0}, failed{0};
    std::thread scraper([&] {
        auto next = Clock::now();
        while (!stop) {
            next += std::chrono::milliseconds(100);
            if (scraping)
                for (const char *path : {"/api/v1/instances", "/metrics"})
                    (HttpGet(httpPort, path) ? scrapes : failed)++;
            std::this_thread::sleep_until(next);
        }
    });
    constexpr int Pairs = 4;
    for (auto _ : state) {
        std::vector<double> ratios[2]; // quiet, scraped
        size_t unanswered = 0;
        const auto t0 = Clock::now();
        for (int pair = 0; pair < Pairs; ++pair) {
            for (int k = 0; k < 2; ++k) {
                const bool scraped = (pair + k) % 2 == 1;
                scraping = scraped;
                const RunFigures a = Measure(m.Port(), reqs);
                const RunFigures b = Measure(ref.Port(), reqs);
                ratios[scraped].push_back(a.rate / b.rate);
                unanswered += a.unanswered + b.unanswered;
            }
        }
        scraping = false;
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        const double quiet = Median(ratios[0]), scraped = Median(ratios[1]);
        state.counters["quiet_ratio"] = quiet;
        state.counters["scraped_ratio"] = scraped;
        state.counters["scraped_to_quiet"] = scraped / quiet;
        state.counters["http_answers"] = scrapes.load();
        state.counters["http_failures"] = failed.load();
        std::printf("master = %.2f x reference while quiet, %.2f x while scraped: scraped / quiet = %.2f; "
                    "status page read %d times, %d failed\n",
                    quiet, scraped, scraped / quiet, scrapes.load(), failed.load());
        if (unanswered)
            state.SkipWithError("requests without a reply");
        else if (scrapes == 0 || failed > 0)
            state.SkipWithError("the status page did not answer every read");
    }
    stop = true;
    scraper.join();
}

// The master and masterd against the reference server on the same requests, in turns as
// above: both ratios come from the same load of the machine. Both are set up alike: a store of
// their own with the same values, no history (KORVEL_HISTORY=off), standard output to
// /dev/null.
void BM_MasterdAgainstReference(benchmark::State &state)
{
    Master m;
    Master d("masterd");
    Reference ref;
    if (!m.Up() || !d.Up() || !ref.Up()) {
        state.SkipWithError("a server did not start");
        return;
    }
    const std::vector<std::string> reqs = MixedRequests();
    for (auto _ : state) {
        std::vector<double> mRate, dRate, rRate;
        size_t unanswered = 0;
        const auto t0 = Clock::now();
        // Each server takes each place of the turn once: the one measured right after
        // another meets what that one left behind (sockets in TIME_WAIT, a busier scheduler).
        const int ports[3] = {m.Port(), d.Port(), ref.Port()};
        std::vector<double> *rates[3] = {&mRate, &dRate, &rRate};
        for (int round = 0; round < 3; ++round) {
            for (int k = 0; k < 3; ++k) {
                const int which = (round + k) % 3;
                const RunFigures f = Measure(ports[which], reqs);
                rates[which]->push_back(f.rate);
                unanswered += f.unanswered;
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        state.counters["master_ratio"] = Median(mRate) / Median(rRate);
        state.counters["masterd_ratio"] = Median(dRate) / Median(rRate);
        state.counters["masterd_req_per_s"] = Median(dRate);
        state.counters["masterd_to_master"] = Median(dRate) / Median(mRate);
        std::printf("master %.0f req/s, masterd %.0f req/s, reference %.0f req/s: master = %.2f x reference, "
                    "masterd = %.2f x reference, masterd = %.2f x master\n",
                    Median(mRate), Median(dRate), Median(rRate), Median(mRate) / Median(rRate),
                    Median(dRate) / Median(rRate), Median(dRate) / Median(mRate));
        if (unanswered)
            state.SkipWithError("requests without a reply");
    }
}

} // namespace

BENCHMARK(BM_MasterAgainstReference)
    ->ArgName("history")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MasterdAgainstReference)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MasterAgainstReferenceWhileScraped)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Announce)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KeepAlive)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Withdraw)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakMemory10k)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
