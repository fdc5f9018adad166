#include <common/watcher.h>

#include <common/handleblock.h>
#include <common/messages.h>
#include <common/msgport.h>

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Descriptors that watches may never take, kept for the agent's own sockets, files and posts:
// a quarter of the limit, and never fewer than this.
constexpr rlim_t MinReserve = 64;
// A report that finds its port full is tried again soon while the port still takes messages
// (its agent is reading a burst) and less often while it takes none.
constexpr auto RetrySoon = 1ms;
constexpr auto RetryLater = 20ms;
// A port that has taken nothing for this long has a stuck agent; its reports are dropped
// rather than kept for good.
constexpr auto GiveUpAfter = 5s;

struct Watch {
    int fd; // pidfd while the process runs; -1 once its end waits to be posted
    unsigned short code;
    int pid;
    std::uint32_t port;
    std::string session;
};

// Ends waiting for room in one port, oldest first, so each agent sees them in order.
struct Outbox {
    std::deque<TWatcher::Id> ids;
    Clock::time_point lastProgress;
};

bool PortOnlyFull(int err)
{
    // A post that lacked a descriptor or buffer of its own is retried like one to a full port:
    // both pass. Anything else means no one reads the port any more.
    return err == EAGAIN || err == EWOULDBLOCK || err == EMFILE || err == ENFILE || err == ENOBUFS ||
           err == ENOMEM;
}

// Never destroyed: the waiter thread may still run while the program exits.
class Waiter {
public:
    static Waiter &Get()
    {
        static Waiter *const waiter = new Waiter;
        return *waiter;
    }

    TWatcher::Id Start(unsigned short code, int pid, std::uint32_t port, std::string session)
    {
        std::lock_guard guard(lock);
        if (!Ready() || watching >= budget)
            return 0;
        // Opened here, not on the waiter thread, so the process the agent was told about is
        // the one watched even if its id were reused soon after.
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u));
        if (fd < 0)
            return 0;
        const TWatcher::Id id = next++;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = id;
        if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            return 0;
        }
        watches.emplace(id, Watch{fd, code, pid, port, std::move(session)});
        ++watching;
        return id;
    }

    void Terminate(TWatcher::Id id)
    {
        std::lock_guard guard(lock);
        auto it = watches.find(id);
        if (it == watches.end())
            return;
        StopWaiting(it->second);
        watches.erase(it);
    }

    std::size_t Count()
    {
        std::lock_guard guard(lock);
        return watching;
    }

    void SetBudget(std::size_t n)
    {
        std::lock_guard guard(lock);
        budget = n;
    }

private:
    Waiter()
    {
        // Watched processes cost one descriptor each, so take all the system allows.
        rlimit r{};
        rlim_t limit = 1024;
        if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
            if (r.rlim_cur < r.rlim_max) {
                const rlimit raised{r.rlim_max, r.rlim_max};
                if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
                    r.rlim_cur = r.rlim_max;
            }
            limit = r.rlim_cur == RLIM_INFINITY ? rlim_t{1} << 20 : r.rlim_cur;
        }
        const rlim_t reserve = std::max(MinReserve, limit / 4);
        budget = limit > reserve ? static_cast<std::size_t>(limit - reserve) : 0;
    }

    // The epoll set and the thread come on first use and are tried again if they failed.
    bool Ready()
    {
        if (epoll < 0)
            epoll = epoll_create1(EPOLL_CLOEXEC);
        if (epoll < 0)
            return false;
        if (!running) {
            try {
                std::thread([this] { Run(); }).detach();
            } catch (const std::system_error &) {
                return false;
            }
            running = true;
        }
        return true;
    }

    void StopWaiting(Watch &w)
    {
        if (w.fd < 0)
            return;
        epoll_ctl(epoll, EPOLL_CTL_DEL, w.fd, nullptr);
        close(w.fd);
        w.fd = -1;
        --watching;
    }

    void Run()
    {
        epoll_event events[64];
        int timeoutMs = -1;
        for (;;) {
            const int n = epoll_wait(epoll, events, 64, timeoutMs);
            if (n < 0 && errno != EINTR)
                std::this_thread::sleep_for(100ms); // not expected; never spin on it
            std::vector<std::string> dropped;
            {
                std::lock_guard guard(lock);
                const auto now = Clock::now();
                for (int i = 0; i < n; ++i)
                    Ended(events[i].data.u64, now);
                const bool progressed = Flush(now, dropped);
                timeoutMs =
                    outboxes.empty() ? -1 : static_cast<int>((progressed ? RetrySoon : RetryLater).count());
            }
            // Written unlocked: a slow stderr must not hold up Start and Terminate.
            for (const std::string &line : dropped)
                std::fputs(line.c_str(), stderr);
        }
    }

    void Ended(TWatcher::Id id, Clock::time_point now)
    {
        auto it = watches.find(id);
        if (it == watches.end() || it->second.fd < 0)
            return; // terminated after the wait returned
        Watch &w = it->second;
        StopWaiting(w);
        Outbox &box = outboxes[{w.session, w.port}];
        if (box.ids.empty())
            box.lastProgress = now;
        box.ids.push_back(id);
    }

    // Posts what each port has room for; true when any port took a message.
    bool Flush(Clock::time_point now, std::vector<std::string> &dropped)
    {
        bool progressed = false;
        for (auto b = outboxes.begin(); b != outboxes.end();) {
            Outbox &box = b->second;
            while (!box.ids.empty()) {
                auto it = watches.find(box.ids.front());
                if (it != watches.end()) {
                    const Watch &w = it->second;
                    errno = 0;
                    if (TryPostMessage(w.session, w.port, WM_INSTANCE_ENDED, w.code, w.pid)) {
                        progressed = true;
                        box.lastProgress = now;
                    } else if (PortOnlyFull(errno)) {
                        break;
                    }
                    watches.erase(it);
                }
                box.ids.pop_front();
            }
            if (!box.ids.empty() && now - box.lastProgress >= GiveUpAfter)
                Drop(box, dropped);
            b = box.ids.empty() ? outboxes.erase(b) : std::next(b);
        }
        return progressed;
    }

    void Drop(Outbox &box, std::vector<std::string> &dropped)
    {
        const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(GiveUpAfter).count();
        for (TWatcher::Id id : box.ids) {
            auto it = watches.find(id);
            if (it == watches.end())
                continue;
            char line[160];
            std::snprintf(line, sizeof line,
                          "korvel: port %08x took no message for %lld s; the end of process %d "
                          "(application %u) is not reported\n",
                          static_cast<unsigned>(it->second.port), seconds, it->second.pid,
                          static_cast<unsigned>(it->second.code));
            dropped.emplace_back(line);
            watches.erase(it);
        }
        box.ids.clear();
    }

    std::mutex lock;
    int epoll = -1;
    bool running = false;
    std::size_t budget = 0;
    std::size_t watching = 0; // watches whose process still runs
    TWatcher::Id next = 1;
    std::unordered_map<TWatcher::Id, Watch> watches;
    std::map<std::pair<std::string, std::uint32_t>, Outbox> outboxes;
};

} // namespace

TWatcher::Id TWatcher::Start(unsigned short code, int pid, std::uint32_t portValue)
{
    if (pid <= 0)
        return 0;
    // The session word is read now: the environment must not be read from another thread.
    return Waiter::Get().Start(code, pid, portValue, KorvelSessionWord());
}

void TWatcher::Terminate(Id id)
{
    if (id != 0)
        Waiter::Get().Terminate(id);
}

std::size_t TWatcher::Count()
{
    return Waiter::Get().Count();
}

void TWatcher::SetBudget(std::size_t budget)
{
    Waiter::Get().SetBudget(budget);
}
