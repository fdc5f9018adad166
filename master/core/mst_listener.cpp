#include "mst_listener.h"

#include "log_store.h"

#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::uint64_t ListenKey = 0;
// Work done per wake-up of the event loop, so that timers and the message port get their turn.
constexpr int EventsPerWait = 64;
constexpr int WaitsPerWake = 16;
constexpr int AcceptsPerWake = 64;

constexpr int KindSending = 1;
constexpr int KindReceiving = 2;
constexpr int KindDisconnecting = 4;

TDescriptorShares SharesFor(std::size_t budget)
{
    return budget ? TDescriptorShares::ForPool(budget) : TDescriptorShares::ForLimit(RaiseFileLimit());
}

} // namespace

TMstListener::TMstListener(std::size_t budget, QObject *parent)
    : QObject(parent), FShares(SharesFor(budget)), FGuard(FShares.pool, FShares.perAddress),
      FBuffer(ReadLimit)
{
    FRetry = new QTimer(this);
    FRetry->setSingleShot(true);
    connect(FRetry, &QTimer::timeout, this, &TMstListener::Resume);
}

TMstListener::~TMstListener()
{
    Close();
}

bool TMstListener::Listen(quint16 port, int inherited, QString *error, int *errorNumber)
{
    Close();
    int fd = -1;
    if (inherited >= 0) {
        int listening = 0;
        socklen_t len = sizeof listening;
        sockaddr_in sa{};
        socklen_t salen = sizeof sa;
        if (::getsockopt(inherited, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening &&
            ::getsockname(inherited, reinterpret_cast<sockaddr *>(&sa), &salen) == 0 &&
            sa.sin_family == AF_INET && ntohs(sa.sin_port) == port) {
            fd = inherited;
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        } else {
            ::close(inherited);
        }
    }
    if (fd < 0) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            const int err = errno;
            if (fd >= 0)
                ::close(fd);
            if (error)
                *error = QString::fromLocal8Bit(std::strerror(err));
            if (errorNumber)
                *errorNumber = err;
            return false;
        }
    }
    FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (FEpoll < 0) {
        const int err = errno;
        ::close(fd);
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(err));
        if (errorNumber)
            *errorNumber = err;
        return false;
    }
    FListen = fd;
    FPort = port;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = ListenKey;
    ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FListen, &ev);
    FNotifier = new QSocketNotifier(FEpoll, QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TMstListener::OnEvents);
    return true;
}

void TMstListener::Close()
{
    FRetry->stop();
    if (FNotifier) {
        FNotifier->setEnabled(false);
        FNotifier->deleteLater();
        FNotifier = nullptr;
    }
    for (auto &[id, c] : FConns) {
        ::close(c.fd);
        FGuard.Closed(id);
    }
    FConns.clear();
    if (FListen >= 0)
        ::close(FListen);
    if (FEpoll >= 0)
        ::close(FEpoll);
    FListen = FEpoll = -1;
    FPort = 0;
    FPaused = false;
    FRetryMs = 0;
}

void TMstListener::OnEvents()
{
    epoll_event events[EventsPerWait];
    for (int round = 0; round < WaitsPerWake && FEpoll >= 0; ++round) {
        const int n = ::epoll_wait(FEpoll, events, EventsPerWait, 0);
        for (int i = 0; i < n && FEpoll >= 0; ++i) {
            if (events[i].data.u64 == ListenKey)
                AcceptAll();
            else
                ConnEvent(events[i].data.u64, events[i].events);
        }
        if (n < EventsPerWait)
            break;
    }
}

void TMstListener::AcceptAll()
{
    for (int i = 0; i < AcceptsPerWake && FListen >= 0 && !FPaused; ++i) {
        const std::size_t others = FOthers ? FOthers() : 0;
        const std::size_t room = FGuard.Budget() > others ? FGuard.Budget() - others : 0;
        if (FConns.size() >= room) {
            for (TIdleGuard::Key k : FGuard.ToDropForRoom(MonotonicSeconds(), MinQuietSeconds, others))
                Drop(k);
            if (FConns.size() >= room) {
                Pause(); // every connection spoke or was accepted a moment ago: wait for room
                return;
            }
        }
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        const int fd =
            ::accept4(FListen, reinterpret_cast<sockaddr *>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            // Out of descriptors or memory, or anything else the platform reports: the
            // waiting connection stays queued and would wake us at once, so stop looking.
            Pause();
            return;
        }
        FRetryMs = 0;
        // A host that holds its share gives up its connection quiet longest.
        if (const TIdleGuard::Key quiet = FGuard.MakeWayFor(sa.sin_addr.s_addr))
            Drop(quiet);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
        const std::uint64_t id = FNextId++;
        TConn &c = FConns[id];
        c.fd = fd;
        c.address = QString::fromLatin1(text);
        Watch(id, c, EPOLL_CTL_ADD);
        FGuard.Accepted(id, MonotonicSeconds(), sa.sin_addr.s_addr);
        emit accepted(c.address);
    }
}

void TMstListener::Pause()
{
    if (FListen < 0)
        return;
    if (!FPaused)
        ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, FListen, nullptr);
    FPaused = true;
    FRetryMs = std::clamp(FRetryMs * 2, 10, MaxRetryMs);
    FRetry->start(FRetryMs);
}

void TMstListener::Resume()
{
    if (!FPaused || FListen < 0)
        return;
    FPaused = false;
    FRetry->stop();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = ListenKey;
    ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FListen, &ev);
}

void TMstListener::Watch(std::uint64_t id, const TConn &c, int op)
{
    epoll_event ev{};
    ev.events = (c.reading ? EPOLLIN : 0u) | (c.out.empty() ? 0u : EPOLLOUT);
    ev.data.u64 = id;
    ::epoll_ctl(FEpoll, op, c.fd, &ev);
}

void TMstListener::ConnEvent(std::uint64_t id, std::uint32_t events)
{
    auto it = FConns.find(id);
    if (it == FConns.end())
        return; // dropped earlier in this round
    TConn &c = it->second;
    if (events & EPOLLOUT) {
        Flush(id, c);
        if (!FConns.count(id))
            return;
    }
    if (!c.reading) {
        if (events & (EPOLLERR | EPOLLHUP)) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0)
                emit connectionError(err == ECONNRESET ? KindDisconnecting : KindSending);
            Drop(id);
        }
        return;
    }
    if (!(events & (EPOLLIN | EPOLLERR | EPOLLHUP)))
        return;
    const ssize_t n = ::recv(c.fd, FBuffer.data(), FBuffer.size(), MSG_DONTWAIT);
    if (n > 0) {
        FGuard.Sent(id, MonotonicSeconds());
        const TPeer peer{id, c.address};
        const std::string reply =
            FHandler ? FHandler(peer, std::string_view(FBuffer.data(), static_cast<std::size_t>(n)))
                     : std::string();
        auto again = FConns.find(id);
        if (!reply.empty() && again != FConns.end())
            Send(id, again->second, reply);
    } else if (n == 0) {
        Drop(id); // the peer closed its end: the normal end of a conversation
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        emit connectionError(errno == ECONNRESET ? KindDisconnecting : KindReceiving);
        Drop(id);
    }
}

void TMstListener::Send(std::uint64_t id, TConn &c, const std::string &data)
{
    if (!c.out.empty()) {
        c.out += data;
    } else {
        const ssize_t n = ::send(c.fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            emit connectionError(errno == ECONNRESET ? KindDisconnecting : KindSending);
            Drop(id);
            return;
        }
        const std::size_t sent = n > 0 ? static_cast<std::size_t>(n) : 0;
        if (sent == data.size())
            return;
        c.out.assign(data, sent);
    }
    c.reading = c.out.size() <= OutputLimit;
    Watch(id, c, EPOLL_CTL_MOD);
}

void TMstListener::Flush(std::uint64_t id, TConn &c)
{
    if (c.out.empty())
        return;
    const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        emit connectionError(errno == ECONNRESET ? KindDisconnecting : KindSending);
        Drop(id);
        return;
    }
    c.out.erase(0, static_cast<std::size_t>(n));
    c.reading = c.out.size() <= OutputLimit;
    Watch(id, c, EPOLL_CTL_MOD);
}

void TMstListener::Drop(std::uint64_t id)
{
    auto it = FConns.find(id);
    if (it == FConns.end())
        return;
    ::close(it->second.fd); // leaves the epoll set with it
    FConns.erase(it);
    FGuard.Closed(id);
    // A descriptor came free: a paused accept can go on.
    Resume();
    emit closed();
}

void TMstListener::DropIdle(double idleSeconds)
{
    for (TIdleGuard::Key k : FGuard.ToDropIdle(MonotonicSeconds(), idleSeconds))
        Drop(k);
}
