#include "hostnames.h"

#include "log_store.h"

#include <QMetaObject>
#include <QPointer>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

QString SystemLookup(const QString &address)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address.toLatin1().constData(), &sa.sin_addr) != 1)
        return {};
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr *>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                      NI_NAMEREQD) != 0)
        return {};
    return QString::fromLocal8Bit(host);
}

} // namespace

// What the lookup threads share with the owner. The threads are detached: one stuck in a
// resolver that never answers must not hold up the master's end, so they outlive the owner
// if need be and only post their results while it is alive.
struct THostNames::Shared {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<QString> queue;
    std::vector<std::pair<QString, QString>> results; // address and name, for the owner
    THostNames *owner = nullptr;
    Resolver resolver;
    int threads = 0;
    int idle = 0;

    static void Run(std::shared_ptr<Shared> self)
    {
        std::unique_lock<std::mutex> l(self->lock);
        for (;;) {
            ++self->idle;
            self->wake.wait(l, [&] { return !self->queue.empty() || !self->owner; });
            --self->idle;
            if (!self->owner) {
                --self->threads;
                return;
            }
            const QString address = self->queue.front();
            self->queue.pop_front();
            l.unlock();
            const QString name = self->resolver(address);
            l.lock();
            // Under the lock, so the owner cannot go between the test and the post; a post
            // to an object that is deleted later is dropped with it. The results themselves go
            // through the shared list under this lock, not inside the queued call, so that the
            // hand-over is one a threads check can follow.
            if (self->owner) {
                const bool first = self->results.empty();
                self->results.emplace_back(address, name);
                if (first)
                    QMetaObject::invokeMethod(
                        self->owner, [o = self->owner] { o->TakeResults(); }, Qt::QueuedConnection);
            }
        }
    }
};

THostNames::THostNames(Resolver resolver, QObject *parent)
    : QObject(parent), FShared(std::make_shared<Shared>())
{
    FShared->owner = this;
    FShared->resolver = resolver ? std::move(resolver) : Resolver(SystemLookup);
}

THostNames::~THostNames()
{
    std::lock_guard<std::mutex> l(FShared->lock);
    FShared->owner = nullptr;
    FShared->queue.clear();
    FShared->results.clear();
    FShared->wake.notify_all();
}

bool THostNames::Known(const QString &address, QString &name) const
{
    auto it = FNames.constFind(address);
    if (it == FNames.constEnd() || !it->known)
        return false;
    name = it->name;
    return true;
}

void THostNames::Lookup(const QString &address)
{
    const double now = MonotonicSeconds();
    auto it = FNames.find(address);
    if (it != FNames.end() && (it->running || (it->known && now - it->at < FMaxAge)))
        return;
    if (it == FNames.end()) {
        if (static_cast<std::size_t>(FNames.size()) >= MaxKnown) {
            // Forget what is not being looked up; names come back with the next lookup.
            for (auto i = FNames.begin(); i != FNames.end();)
                i = i->running ? std::next(i) : FNames.erase(i);
            if (static_cast<std::size_t>(FNames.size()) >= MaxKnown)
                return;
        }
        it = FNames.insert(address, Entry{});
    }
    std::lock_guard<std::mutex> l(FShared->lock);
    if (FShared->queue.size() >= MaxQueued)
        return;
    it->running = true;
    it->at = now;
    FShared->queue.push_back(address);
    if (FShared->idle == 0 && FShared->threads < Threads) {
        try {
            std::thread(Shared::Run, FShared).detach();
            ++FShared->threads;
        } catch (const std::system_error &) {
            // No thread now: the lookup waits for one that runs, or stays queued.
        }
    }
    FShared->wake.notify_one();
}

void THostNames::TakeResults()
{
    std::vector<std::pair<QString, QString>> results;
    {
        std::lock_guard<std::mutex> l(FShared->lock);
        results.swap(FShared->results);
    }
    for (const auto &[address, name] : results)
        Done(address, name);
}

void THostNames::Done(const QString &address, const QString &name)
{
    auto it = FNames.find(address);
    if (it == FNames.end())
        return;
    Entry &e = *it;
    const double now = MonotonicSeconds();
    const bool late = now - e.at > FDeadline;
    e.running = false;
    e.known = true;
    e.at = now;
    // A failed reverse lookup may echo the address itself: that is no name.
    in_addr probe{};
    e.name = ::inet_pton(AF_INET, name.toLatin1().constData(), &probe) == 1 ? QString() : name;
    emit finished(address, late ? QString() : e.name);
}
