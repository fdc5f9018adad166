#pragma once
// The master's event log: time-stamped lines of about the last hour, kept in memory only.
// Entry 0 is the start line and stays for the whole run.

#include <corekit/corekit.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>

/// Seconds on a clock that only moves forward, whatever happens to the wall clock.
double MonotonicSeconds();

/// The master's two clocks: the wall clock gives the times shown (local date-time), the
/// monotonic one every age that decides what goes (log pruning, the client audit), so that a
/// daylight-saving change or a stepped clock neither empties the log nor purges every client.
struct TClocks {
    std::function<TDateTime()> wall = Now;
    std::function<double()> monotonic = MonotonicSeconds;
};

struct TLogEntry {
    TDateTime time = 0;
    UnicodeString text;
    int id = 0; ///< the string-table id of the line
};

class TLogStore {
public:
    /// Lines kept at most, the start line included. A flood of requests cannot make the log
    /// outgrow this: past it the oldest line after the start line goes first.
    static constexpr std::size_t MaxEntries = 200000;

    explicit TLogStore(TClocks clocks = {});

    /// Begins the log: retention one hour, first line "Master begins listening at port %d.".
    void Start(int port);

    /// Appends the string-table text of id as it stands.
    void AddLine(int id);
    /// "Client is assigned ID = %d. "
    void AddAssignedId(int clientId);
    /// "Client %d requested for acknowledgment."
    void AddKeepAlive(int clientId);
    /// "Application %d has shut down, client %d."
    void AddShutDown(int appCode, int clientId);
    /// "Error occured during communication session with a client (%s)." with the word of
    /// the socket error kind (0 general .. 6 looking up); another kind gives an empty word.
    void AddSocketError(int errorKind);
    /// "Master cannot listen at port %d: %s. ..." with the system's text for errorNumber.
    void AddListenFailed(int port, int errorNumber);
    /// "Master listens at port %d now."
    void AddListenOpened(int port);

    /// A line as its string-table id and up to two values: 32 bytes however long its text.
    struct Line {
        TDateTime time;
        double mono;
        std::int32_t first;
        std::int32_t second;
        std::int16_t id;
    };

    int Count() const { return static_cast<int>(FEntries.size()); }
    /// The entry at index, its text formatted now (lines are kept as id and values).
    TLogEntry At(int index) const { return Format(FEntries[static_cast<std::size_t>(index)]); }
    /// The line at index as kept, for copies that format it later and elsewhere.
    const Line &LineAt(int index) const { return FEntries[static_cast<std::size_t>(index)]; }
    /// The time and text of a kept line.
    static TLogEntry Format(const Line &line);
    int RetentionHours() const { return FRetentionHours; }
    /// Lines added since the store was made, pruned ones included; it only grows.
    unsigned long long Added() const { return FAdded; }

    /// The word written for a socket error kind.
    static UnicodeString ErrorKindWord(int errorKind);

private:
    using Entry = Line;
    void Append(std::int16_t id, std::int32_t first = 0, std::int32_t second = 0);
    void Prune(double monoNow);

    TClocks FClocks;
    // A deque: pruning removes lines just behind the start line, and a deque moves only the
    // shorter side, so an append costs the same with 100,000 lines as with 100.
    std::deque<Entry> FEntries;
    int FRetentionHours = 1;
    unsigned long long FAdded = 0;
};

/// Writes the lines added to a log since its last call, one "hh:nn:ss  text" line each: how a
/// headless master shows its log. With priorities, each line starts with the journal's level
/// ("<4>" for bad messages and socket errors, "<6>" for the rest), as a service's output is read.
class TLogEcho {
public:
    explicit TLogEcho(std::FILE *out, bool priorities = false) : FOut(out), FPriorities(priorities) {}
    /// Writes the lines added since the last call at once.
    void Echo(const TLogStore &log)
    {
        Collect(log);
        Flush();
    }
    /// Takes the lines added since the last call, as they read now, to be written by Flush();
    /// past MaxHeld bytes they are written at once, so a long burst holds no more than that.
    void Collect(const TLogStore &log);
    /// Writes the lines collected so far in one piece, in the order they were added.
    void Flush();
    bool Pending() const { return !FHeld.empty(); }
    static constexpr std::size_t MaxHeld = 64 * 1024;
    /// "<4>" or "<6>": the journal level of a line with string-table id `id`.
    static const char *PriorityOf(int id);

private:
    std::FILE *FOut;
    bool FPriorities;
    unsigned long long FEchoed = 0; // lines of the store echoed so far
    std::string FHeld;              // collected lines not written yet
};
