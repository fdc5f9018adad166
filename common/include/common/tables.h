#pragma once
// The master's session table (running instances, in the order recorded) and client table
// (network clients still considered alive). Both keep insertion order; lookups are indexed
// so that a request costs the same with ten rows as with ten thousand.

#include <corekit/corekit.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

/// One running instance: who runs it, which application, when the master recorded it.
struct TSessionRow {
    std::int16_t clientId = 0;
    std::uint16_t appCode = 0;
    TDateTime start = 0;
};

/// One network client: where it first came from and when it was last heard of.
struct TClientRow {
    std::int16_t clientId = 0;
    UnicodeString host;
    UnicodeString address;
    TDateTime lastContact = 0;
};

/// Session rows in insertion order; row i is list row i (shown as number i + 1).
class TSessionTable {
public:
    /// Adds the row at the end.
    void append(const TSessionRow &row);
    /// Number of rows recorded with that application code.
    int countByApp(std::uint16_t appCode) const;
    /// Number of rows of that client.
    int countByClient(std::int16_t clientId) const;
    /// Removes every row of (clientId, appCode); the other rows keep their order.
    /// Returns the number of rows removed.
    int removeInstances(std::int16_t clientId, std::uint16_t appCode);
    /// Row at index (0 <= index < size()).
    const TSessionRow &rowAt(int index) const;
    int size() const { return static_cast<int>(alive_); }
    /// All rows in order (a copy), for tests and diagnostics.
    std::vector<TSessionRow> rows() const;

private:
    static std::uint32_t key(std::int16_t clientId, std::uint16_t appCode)
    {
        return (static_cast<std::uint32_t>(static_cast<std::uint16_t>(clientId)) << 16) | appCode;
    }
    std::size_t slotOf(int index) const;
    void fenwickAdd(std::size_t slot, int delta);
    void rebuild();

    std::vector<TSessionRow> slots_; // rows and holes, in insertion order
    std::vector<char> live_;         // 1 where slots_ holds a row
    std::vector<int> fenwick_;       // prefix counts of live_, for rowAt
    std::size_t alive_ = 0;
    std::unordered_map<std::uint32_t, std::vector<std::size_t>> byKey_;
    std::unordered_map<std::int16_t, int> byClient_;
    std::unordered_map<std::uint16_t, int> byApp_;
};

/// Client rows in insertion order, each ID at most once.
class TClientTable {
public:
    /// Appends (id, host, address, now) when no row has that ID; an existing row is kept as is.
    /// Returns true when a row was added.
    bool addIfAbsent(std::int16_t clientId, const UnicodeString &host, const UnicodeString &address,
                     TDateTime now);
    /// Copies host and address of the client; leaves both untouched when it is not there.
    void hostAndAddress(std::int16_t clientId, UnicodeString &host, UnicodeString &address) const;
    /// Sets the client's last contact to now; nothing when it is not there.
    void touch(std::int16_t clientId, TDateTime now);
    /// Replaces the client's host name (known only after its row was added); nothing when
    /// it is not there.
    void setHost(std::int16_t clientId, const UnicodeString &host);
    /// Removes the client; nothing when it is not there.
    void remove(std::int16_t clientId);
    /// Removes every row whose last contact lies more than timeoutSeconds whole seconds
    /// before now; the others keep their order. Returns the number removed; their IDs are
    /// added to removedIds when given.
    int purgeStale(long long timeoutSeconds, TDateTime now, std::vector<std::int16_t> *removedIds = nullptr);
    bool contains(std::int16_t clientId) const { return index_.count(clientId) != 0; }
    int size() const { return static_cast<int>(index_.size()); }
    /// All rows in order (a copy), for tests and diagnostics.
    std::vector<TClientRow> rows() const;

private:
    void compactIfSparse();
    void compact();

    std::vector<TClientRow> slots_; // rows and holes, in insertion order
    std::vector<char> live_;
    std::unordered_map<std::int16_t, std::size_t> index_;
};
