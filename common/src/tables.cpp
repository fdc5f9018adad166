#include <common/tables.h>

#include <common/timeaddr.h>

#include <cassert>

// ---- Session table ----------------------------------------------------------------------------
//
// Rows live in slots in insertion order. Removing rows leaves holes, so that a withdrawal
// does not move the rows behind it; a Fenwick tree over the live slots finds row i in
// O(log n), and the slots are compacted once holes outnumber rows.

void TSessionTable::fenwickAdd(std::size_t slot, int delta)
{
    for (std::size_t i = slot + 1; i < fenwick_.size(); i += i & (~i + 1))
        fenwick_[i] += delta;
}

void TSessionTable::append(const TSessionRow &row)
{
    const std::size_t slot = slots_.size();
    slots_.push_back(row);
    live_.push_back(1);
    // Fenwick node n covers (n - lowbit(n), n]: sum the nodes below it that it covers.
    const std::size_t n = slot + 1;
    if (fenwick_.empty())
        fenwick_.push_back(0);
    int value = 1;
    const std::size_t low = n - (n & (~n + 1));
    for (std::size_t i = n - 1; i > low; i -= i & (~i + 1))
        value += fenwick_[i];
    fenwick_.push_back(value);
    ++alive_;
    byKey_[key(row.clientId, row.appCode)].push_back(slot);
    ++byClient_[row.clientId];
    ++byApp_[row.appCode];
}

int TSessionTable::countByApp(std::uint16_t appCode) const
{
    const auto it = byApp_.find(appCode);
    return it == byApp_.end() ? 0 : it->second;
}

int TSessionTable::countByClient(std::int16_t clientId) const
{
    const auto it = byClient_.find(clientId);
    return it == byClient_.end() ? 0 : it->second;
}

int TSessionTable::removeInstances(std::int16_t clientId, std::uint16_t appCode)
{
    const auto it = byKey_.find(key(clientId, appCode));
    if (it == byKey_.end())
        return 0;
    const int removed = static_cast<int>(it->second.size());
    for (std::size_t slot : it->second) {
        live_[slot] = 0;
        fenwickAdd(slot, -1);
    }
    byKey_.erase(it);
    alive_ -= static_cast<std::size_t>(removed);
    if ((byClient_[clientId] -= removed) == 0)
        byClient_.erase(clientId);
    if ((byApp_[appCode] -= removed) == 0)
        byApp_.erase(appCode);
    if (alive_ == 0 || (slots_.size() > 64 && alive_ * 2 < slots_.size()))
        rebuild();
    return removed;
}

void TSessionTable::rebuild()
{
    std::vector<TSessionRow> rows;
    rows.reserve(alive_);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (live_[i])
            rows.push_back(slots_[i]);
    }
    slots_ = std::move(rows);
    live_.assign(slots_.size(), 1);
    fenwick_.assign(slots_.size() + 1, 0);
    for (std::size_t n = 1; n < fenwick_.size(); ++n) {
        fenwick_[n] += 1;
        const std::size_t parent = n + (n & (~n + 1));
        if (parent < fenwick_.size())
            fenwick_[parent] += fenwick_[n];
    }
    byKey_.clear();
    for (std::size_t i = 0; i < slots_.size(); ++i)
        byKey_[key(slots_[i].clientId, slots_[i].appCode)].push_back(i);
}

std::size_t TSessionTable::slotOf(int index) const
{
    assert(index >= 0 && static_cast<std::size_t>(index) < alive_);
    if (alive_ == slots_.size())
        return static_cast<std::size_t>(index);
    // Descend the tree for the smallest slot whose prefix count is index + 1.
    std::size_t pos = 0;
    int remaining = index + 1;
    std::size_t step = 1;
    while (step * 2 < fenwick_.size())
        step *= 2;
    for (; step > 0; step /= 2) {
        const std::size_t next = pos + step;
        if (next < fenwick_.size() && fenwick_[next] < remaining) {
            pos = next;
            remaining -= fenwick_[next];
        }
    }
    return pos; // 1-based node pos + 1 is the slot, i.e. 0-based slot pos
}

const TSessionRow &TSessionTable::rowAt(int index) const
{
    return slots_[slotOf(index)];
}

std::vector<TSessionRow> TSessionTable::rows() const
{
    std::vector<TSessionRow> out;
    out.reserve(alive_);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (live_[i])
            out.push_back(slots_[i]);
    }
    return out;
}

// ---- Client table -----------------------------------------------------------------------------

bool TClientTable::addIfAbsent(std::int16_t clientId, const UnicodeString &host, const UnicodeString &address,
                               TDateTime now)
{
    if (index_.count(clientId))
        return false;
    index_.emplace(clientId, slots_.size());
    slots_.push_back(TClientRow{clientId, host, address, now});
    live_.push_back(1);
    return true;
}

void TClientTable::hostAndAddress(std::int16_t clientId, UnicodeString &host, UnicodeString &address) const
{
    const auto it = index_.find(clientId);
    if (it == index_.end())
        return;
    host = slots_[it->second].host;
    address = slots_[it->second].address;
}

void TClientTable::touch(std::int16_t clientId, TDateTime now)
{
    const auto it = index_.find(clientId);
    if (it != index_.end())
        slots_[it->second].lastContact = now;
}

void TClientTable::setHost(std::int16_t clientId, const UnicodeString &host)
{
    const auto it = index_.find(clientId);
    if (it != index_.end())
        slots_[it->second].host = host;
}

void TClientTable::remove(std::int16_t clientId)
{
    const auto it = index_.find(clientId);
    if (it == index_.end())
        return;
    live_[it->second] = 0;
    slots_[it->second] = TClientRow{};
    index_.erase(it);
    compactIfSparse();
}

int TClientTable::purgeStale(long long timeoutSeconds, TDateTime now, std::vector<std::int16_t> *removedIds)
{
    int removed = 0;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (live_[i] && SecondsBetween(slots_[i].lastContact, now) > timeoutSeconds) {
            live_[i] = 0;
            index_.erase(slots_[i].clientId);
            if (removedIds)
                removedIds->push_back(slots_[i].clientId);
            ++removed;
        }
    }
    if (removed)
        compact();
    return removed;
}

void TClientTable::compactIfSparse()
{
    if (index_.empty() || (slots_.size() > 64 && index_.size() * 2 < slots_.size()))
        compact();
}

// One pass over the remaining rows, keeping their order.
void TClientTable::compact()
{
    std::vector<TClientRow> rows;
    rows.reserve(index_.size());
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (live_[i])
            rows.push_back(std::move(slots_[i]));
    }
    slots_ = std::move(rows);
    live_.assign(slots_.size(), 1);
    for (std::size_t i = 0; i < slots_.size(); ++i)
        index_[slots_[i].clientId] = i;
}

std::vector<TClientRow> TClientTable::rows() const
{
    std::vector<TClientRow> out;
    out.reserve(index_.size());
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (live_[i])
            out.push_back(slots_[i]);
    }
    return out;
}
