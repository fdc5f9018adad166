#pragma once
// Keeps client connections from using up the master's file descriptors.
//
// A client agent connects, sends its request and closes once it has its reply; the master
// never closes a connection on its own, and a connection that has carried a message may carry
// a second one. Under pressure for room that courtesy ends: a connection that has been quiet
// for a while (never sent anything, or had its reply and sent nothing since) is dropped, the
// one quiet longest first, so a host that keeps answered connections open cannot hold the
// master deaf. One remote address holds at most a share of the connections. Connections that
// never sent anything are also dropped after a generous idle time, pressure or not.

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

/// How the master's one descriptor limit is shared out. The connections and the watched local
/// processes (one descriptor each) draw from one pool; the watchers may take at most half of
/// it, so that announcements never leave the network clients without room.
struct TDescriptorShares {
    /// Descriptors kept for everything else the master opens (store, port, epoll, the GUI).
    static constexpr std::size_t Reserve = 64;
    /// What one remote address may hold: an eighth of the pool, within these bounds.
    static constexpr std::size_t MinPerAddress = 4;
    static constexpr std::size_t MaxPerAddress = 1024;

    std::size_t pool = 1;       ///< connections and watched processes together
    std::size_t watchers = 1;   ///< watched processes at most
    std::size_t perAddress = 1; ///< connections one remote address may hold

    /// The shares of a process whose descriptor limit is `limit`.
    static TDescriptorShares ForLimit(std::size_t limit);
    /// The shares of a pool of `pool` descriptors (no reserve taken from it).
    static TDescriptorShares ForPool(std::size_t pool);
};

class TIdleGuard {
public:
    /// A connection's serial number, never reused while the master runs.
    using Key = std::uint64_t;

    /// budget: descriptors the connections may use, less whatever ToDropForRoom is told the
    /// watchers hold; perAddress: connections one remote address may hold (0: no bound).
    explicit TIdleGuard(std::size_t budget, std::size_t perAddress = 0)
        : FBudget(budget ? budget : 1), FPerAddress(perAddress)
    {
    }

    /// A connection from address (IPv4, any byte order, used only as a key) was accepted.
    void Accepted(Key key, double nowSeconds, std::uint32_t address = 0);
    /// The connection delivered a message, which was answered at once.
    void Sent(Key key, double nowSeconds);
    void Closed(Key key);

    /// Connections to drop so that one more fits when `others` descriptors of the budget are
    /// held by something else: those quiet longest, and only those quiet for minQuietSeconds
    /// (one just accepted or just answered may not have had its turn yet). Fewer than needed
    /// when the rest are younger.
    std::vector<Key> ToDropForRoom(double nowSeconds, double minQuietSeconds, std::size_t others = 0);
    /// The connection that makes way for a new one from address when the address holds its
    /// share: its own connection quiet longest, however briefly (the host only competes with
    /// itself, and a fresh request is worth more than one it keeps open). 0 when there is room.
    Key MakeWayFor(std::uint32_t address) const;
    /// Never-sent connections accepted more than idleSeconds ago.
    std::vector<Key> ToDropIdle(double nowSeconds, double idleSeconds) const;

    std::size_t Count() const { return FInfo.size(); }
    std::size_t Budget() const { return FBudget; }
    std::size_t PerAddress() const { return FPerAddress; }
    /// Connections held by address now.
    std::size_t CountOf(std::uint32_t address) const;
    bool HasSent(Key key) const;

private:
    struct Info {
        double quietSince = 0; // accepted, or last delivered a message
        bool sent = false;
        std::uint32_t address = 0;
        std::list<Key>::iterator inAll;
        std::list<Key>::iterator inAddress;
    };

    std::size_t FBudget;
    std::size_t FPerAddress;
    std::unordered_map<Key, Info> FInfo;
    // Quiet longest first: every change of quietSince moves a connection to the back.
    std::list<Key> FAll;
    std::unordered_map<std::uint32_t, std::list<Key>> FByAddress;
};

/// Raises the soft limit of open files to the hard limit; returns the soft limit now in force.
/// The master calls it once, where it shares the limit out (TDescriptorShares).
std::size_t RaiseFileLimit();
