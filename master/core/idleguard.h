#pragma once
// Keeps idle client connections from using up the master's file descriptors.
//
// A client agent connects and sends its request at once; the master never closes a
// connection itself, and a connection that has carried a message stays open for a second
// one. Connections that have never sent anything are the only ones ever dropped: when the
// descriptor budget is reached (oldest first), or after a generous idle time.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

class TIdleGuard {
public:
    /// A connection's serial number, never reused while the master runs.
    using Key = std::uint64_t;

    /// budget: how many client connections may be open at once.
    explicit TIdleGuard(std::size_t budget) : FBudget(budget ? budget : 1) {}

    void Accepted(Key key, double nowSeconds);
    /// The connection delivered data: it is never dropped from now on.
    void Sent(Key key);
    void Closed(Key key);

    /// Connections to drop so that one more fits within the budget: the oldest that never
    /// sent anything in the minSilentSeconds since they were accepted (a connection just
    /// accepted may not have been read yet). Fewer than needed when the rest have all sent
    /// something or are younger.
    std::vector<Key> ToDropForRoom(double nowSeconds, double minSilentSeconds);
    /// Never-sent connections accepted more than idleSeconds ago.
    std::vector<Key> ToDropIdle(double nowSeconds, double idleSeconds);

    std::size_t Count() const { return FInfo.size(); }
    std::size_t Budget() const { return FBudget; }
    bool HasSent(Key key) const;

private:
    struct Info {
        double acceptedAt = 0;
        bool sent = false;
    };
    void Compact();

    std::size_t FBudget;
    std::unordered_map<Key, Info> FInfo;
    std::deque<Key> FSilent; // never-sent connections in accept order (may hold stale keys)
};

/// Raises the soft limit of open files to the hard limit; returns the soft limit now in force.
std::size_t RaiseFileLimit();
