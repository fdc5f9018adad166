#include "idleguard.h"

#include <sys/resource.h>

#include <algorithm>

TDescriptorShares TDescriptorShares::ForLimit(std::size_t limit)
{
    return ForPool(limit > 2 * Reserve ? limit - Reserve : limit / 2);
}

TDescriptorShares TDescriptorShares::ForPool(std::size_t pool)
{
    TDescriptorShares s;
    s.pool = std::max<std::size_t>(pool, 1);
    s.watchers = std::max<std::size_t>(s.pool / 2, 1);
    s.perAddress = std::clamp(s.pool / 8, MinPerAddress, MaxPerAddress);
    return s;
}

void TIdleGuard::Accepted(Key key, double nowSeconds, std::uint32_t address)
{
    Closed(key);
    Info &i = FInfo[key];
    i.quietSince = nowSeconds;
    i.address = address;
    i.inAll = FAll.insert(FAll.end(), key);
    std::list<Key> &mine = FByAddress[address];
    i.inAddress = mine.insert(mine.end(), key);
}

void TIdleGuard::Sent(Key key, double nowSeconds)
{
    auto it = FInfo.find(key);
    if (it == FInfo.end())
        return;
    Info &i = it->second;
    i.sent = true;
    i.quietSince = nowSeconds;
    FAll.splice(FAll.end(), FAll, i.inAll);
    std::list<Key> &mine = FByAddress[i.address];
    mine.splice(mine.end(), mine, i.inAddress);
}

void TIdleGuard::Closed(Key key)
{
    auto it = FInfo.find(key);
    if (it == FInfo.end())
        return;
    FAll.erase(it->second.inAll);
    auto mine = FByAddress.find(it->second.address);
    mine->second.erase(it->second.inAddress);
    if (mine->second.empty())
        FByAddress.erase(mine);
    FInfo.erase(it);
}

bool TIdleGuard::HasSent(Key key) const
{
    auto it = FInfo.find(key);
    return it != FInfo.end() && it->second.sent;
}

std::size_t TIdleGuard::CountOf(std::uint32_t address) const
{
    auto it = FByAddress.find(address);
    return it == FByAddress.end() ? 0 : it->second.size();
}

std::vector<TIdleGuard::Key> TIdleGuard::ToDropForRoom(double nowSeconds, double minQuietSeconds,
                                                       std::size_t others)
{
    std::vector<Key> drop;
    const std::size_t room = FBudget > others ? FBudget - others : 0;
    std::size_t open = FInfo.size();
    for (auto k = FAll.begin(); open >= room && open > 0 && k != FAll.end(); ++k) {
        if (nowSeconds - FInfo.at(*k).quietSince < minQuietSeconds)
            break; // the rest were active more recently still
        drop.push_back(*k);
        --open;
    }
    return drop;
}

TIdleGuard::Key TIdleGuard::MakeWayFor(std::uint32_t address) const
{
    if (FPerAddress == 0)
        return 0;
    auto it = FByAddress.find(address);
    return it == FByAddress.end() || it->second.size() < FPerAddress ? 0 : it->second.front();
}

std::vector<TIdleGuard::Key> TIdleGuard::ToDropIdle(double nowSeconds, double idleSeconds) const
{
    std::vector<Key> drop;
    for (Key k : FAll) {
        const Info &i = FInfo.at(k);
        if (nowSeconds - i.quietSince <= idleSeconds)
            break; // the rest were active more recently
        if (!i.sent)
            drop.push_back(k);
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
