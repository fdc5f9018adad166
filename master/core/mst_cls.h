#pragma once
// The master's event log: time-stamped lines of about the last hour, kept in memory only.
// Entry 0 is the start line and stays for the whole run.

#include <corekit/corekit.h>

#include <deque>
#include <functional>

struct TLogEntry {
    TDateTime time = 0;
    UnicodeString text;
};

class TLogStore {
public:
    using Clock = std::function<TDateTime()>;

    /// The clock gives the time of every line and the age used for pruning.
    explicit TLogStore(Clock clock = Now);

    /// Begins the log: retention one hour, first line "Master begins listening at port %d.".
    void start(int port);

    /// Appends the string-table text of id as it stands.
    void addLine(int id);
    /// "Client is assigned ID = %d. "
    void addAssignedId(int clientId);
    /// "Client %d requested for acknowledgment."
    void addKeepAlive(int clientId);
    /// "Application %d has shut down, client %d."
    void addShutDown(int appCode, int clientId);
    /// "Error occured during communication session with a client (%s)." with the word of
    /// the socket error kind (0 general .. 6 looking up); another kind gives an empty word.
    void addSocketError(int errorKind);

    int count() const { return static_cast<int>(entries_.size()); }
    const TLogEntry &at(int index) const { return entries_[static_cast<std::size_t>(index)]; }
    int retentionHours() const { return retentionHours_; }
    /// Lines added since the store was made, pruned ones included; it only grows.
    unsigned long long added() const { return added_; }

    /// The word written for a socket error kind.
    static UnicodeString errorKindWord(int errorKind);

private:
    void append(const UnicodeString &text);
    void prune(TDateTime now);

    Clock clock_;
    // A deque: pruning removes lines just behind the start line, and a deque moves only the
    // shorter side, so an append costs the same with 100,000 lines as with 100.
    std::deque<TLogEntry> entries_;
    int retentionHours_ = 1;
    unsigned long long added_ = 0;
};
