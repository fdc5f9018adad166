#include "idleguard.h"

#include <sys/resource.h>

void TIdleGuard::Accepted(Key key, double nowSeconds)
{
    FInfo[key] = Info{nowSeconds, false};
    FSilent.push_back(key);
}

void TIdleGuard::Sent(Key key)
{
    auto it = FInfo.find(key);
    if (it != FInfo.end())
        it->second.sent = true;
}

void TIdleGuard::Closed(Key key)
{
    FInfo.erase(key);
    if (FSilent.size() > 64 && FSilent.size() > 2 * FInfo.size())
        Compact();
}

bool TIdleGuard::HasSent(Key key) const
{
    auto it = FInfo.find(key);
    return it != FInfo.end() && it->second.sent;
}

void TIdleGuard::Compact()
{
    std::deque<Key> keep;
    for (Key k : FSilent) {
        auto it = FInfo.find(k);
        if (it != FInfo.end() && !it->second.sent)
            keep.push_back(k);
    }
    FSilent.swap(keep);
}

std::vector<TIdleGuard::Key> TIdleGuard::ToDropForRoom(double nowSeconds, double minSilentSeconds)
{
    std::vector<Key> drop;
    std::size_t open = FInfo.size();
    while (open >= FBudget && !FSilent.empty()) {
        const Key k = FSilent.front();
        auto it = FInfo.find(k);
        if (it == FInfo.end() || it->second.sent) {
            FSilent.pop_front();
            continue; // closed or talked since: not a candidate any more
        }
        if (nowSeconds - it->second.acceptedAt < minSilentSeconds)
            break; // accept order: the rest are younger still
        FSilent.pop_front();
        drop.push_back(k);
        --open;
    }
    return drop;
}

std::vector<TIdleGuard::Key> TIdleGuard::ToDropIdle(double nowSeconds, double idleSeconds)
{
    Compact();
    std::vector<Key> drop;
    for (Key k : FSilent) {
        const Info &i = FInfo.at(k);
        if (nowSeconds - i.acceptedAt > idleSeconds)
            drop.push_back(k);
        else
            break; // accept order: the rest are younger
    }
    return drop;
}

std::size_t RaiseFileLimit()
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return 1024;
    if (rl.rlim_cur < rl.rlim_max) {
        rlimit want = rl;
        // Stay with a sane number even where the hard limit is "unlimited".
        want.rlim_cur = rl.rlim_max == RLIM_INFINITY ? 1048576 : rl.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &want) == 0)
            rl = want;
    }
    return rl.rlim_cur == RLIM_INFINITY ? 1048576 : static_cast<std::size_t>(rl.rlim_cur);
}
