#pragma once
// The client agent's request engine: the instance table, the requests to the master (one per
// connection, one at a time, queued in the order they were made), composing each request and
// judging each reply, the client ID and keep-alive interval rules and the error texts. It
// owns no socket, timer or thread: the transport, the clock and the effects (watchers,
// timers, what the window shows) come from outside, so tests drive it without waiting.

#include <common/settings.h>

#include <corekit/corekit.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

/// The kinds of request; the numbers are those of the agent's pending-request state.
enum class TPending : int { None = 0, ConnectionTest = 1, Announcement = 2, KeepAlive = 3, Withdrawal = 4 };

/// Where a request goes. The master's requests take turns on one line; a connection test
/// (to an address the user is trying out) has its own, so it neither waits behind the
/// master's requests nor delays them.
enum class TClnLine : int { Master = 0, Test = 1 };

/// One TCP conversation per request: open (asynchronous connect), send one text, close.
/// The owner reports back through TClnEngine::OnConnected, OnReply and OnError.
class TClnTransport {
public:
    virtual ~TClnTransport() = default;
    virtual void Open(TClnLine line, const UnicodeString &address, std::uint16_t port) = 0;
    virtual void Send(TClnLine line, const std::string &text) = 0;
    /// Ends the conversation; nothing more is reported for it.
    virtual void Close(TClnLine line) = 0;
};

/// Wall time for the status line, a steady millisecond count for the keep-alive rule (so
/// that setting the machine's clock back never holds keep-alives back).
class TClnClock {
public:
    virtual ~TClnClock() = default;
    virtual TDateTime Now() = 0;
    virtual long long SteadyMs() = 0;
};

/// What the engine asks of its surroundings.
class TClnEffects {
public:
    using WatcherId = std::uint64_t;
    virtual ~TClnEffects() = default;
    /// Starts watching process pid of the application code; 0 when it cannot be watched.
    virtual WatcherId StartWatcher(unsigned short code, int pid) = 0;
    /// Asks a watcher to stop; nothing is reported for it afterwards.
    virtual void TerminateWatcher(WatcherId id) = 0;
    /// Keep-alive timer: enabled or not, and its interval. Enabling a running timer with the
    /// same interval does not restart it.
    virtual void SetPollTimer(bool enabled, int intervalMs) = 0;
    /// Auto-minimise timer enabled (a running one keeps running).
    virtual void ArmMinimiseTimer() = 0;
    /// A keep-alive failed: stop the keep-alive and auto-minimise timers, give up the handle
    /// block and end the program after the shutdown delay.
    virtual void SessionEnding() = 0;
    /// The last connection changed (status line and lamp).
    virtual void StatusChanged(TDateTime lastConnection) = 0;
    /// The running applications changed (display names in table order, joined by ", ").
    virtual void AppsChanged(const UnicodeString &names) = 0;
    /// An error to show: the whole message text.
    virtual void ErrorShown(const UnicodeString &text) = 0;
    /// Result of a connection test: 1 connected, 2 failed.
    virtual void TestResult(int result) = 0;
    /// A connection is being made (the hour-glass cursor) or none is.
    virtual void BusyChanged(bool busy) = 0;
};

/// One row of the instance table: one per known application code, in the order 10, 83, 93, 97.
struct TClnInstanceRow {
    unsigned short code = 0;
    std::uint16_t value = 0;            ///< per-application value sent with an announcement
    int pid = 0;                        ///< the latest announced process of this code that still runs
    TClnEffects::WatcherId watcher = 0; ///< its watcher; 0 when no instance runs
};

/// A request waiting for its turn or in flight.
struct TClnRequest {
    TPending kind = TPending::None;
    int code = 0;            ///< announcement: announced code (as posted); withdrawal: ended code
    int pid = 0;             ///< announcement: announced process
    bool reannounce = false; ///< announcement of a process that is watched already
};

class TClnEngine {
public:
    /// Keep-alive interval until the master dictates another, and the shutdown delay.
    static constexpr int DefaultPollMs = 180000;
    static constexpr int ShutdownMs = 6000;
    /// Detail codes of an error that carries no OS error code.
    static constexpr int ErrNoAddress = -1;
    static constexpr int ErrBadMessage = -2;
    /// Requests kept waiting at most; beyond that a new announcement or keep-alive is dropped
    /// and reported as an error (a master that does not answer must not make the agent grow
    /// without bound). Withdrawals and the announcements that follow them are never dropped:
    /// there is one waiting per code and one per watched process at most.
    static constexpr std::size_t MaxQueued = 1024;

    TClnEngine(TClnTransport &transport, TClnClock &clock, TClnEffects &effects);

    TClnSettings &Settings() { return FSettings; }
    const TClnSettings &Settings() const { return FSettings; }

    /// Deferred start-up: builds the instance table and sets the keep-alive interval.
    void StartUp();

    // --- what happens to the agent ---
    /// WM_ANNOUNCE: an application (code, sent to the master as posted) announced its process.
    void Announce(int code, int pid);
    /// WM_INSTANCE_ENDED: the watcher of process pid (code) saw it end. A report that matches
    /// no watched process is ignored.
    void InstanceEnded(unsigned short code, int pid);
    /// The keep-alive timer fired.
    void PollTick();
    /// The settings dialog asks for a connection test.
    void TestConnection(const UnicodeString &address, std::uint16_t port);
    /// The program closes: every watcher is asked to stop, conversations end, nothing more
    /// is sent.
    void Shutdown();

    // --- what the transport reports ---
    void OnConnected(TClnLine line);
    /// The text of one read event; empty when the master closed without replying.
    void OnReply(TClnLine line, const std::string &text);
    /// A socket error with its OS error code (errno).
    void OnError(TClnLine line, int osError);

    // --- state, for the window and for tests ---
    TPending Pending() const { return FInFlight ? FCurrent.kind : TPending::None; }
    bool TestPending() const { return FTestPending; }
    const std::deque<TClnRequest> &Queued() const { return FQueue; }
    std::uint16_t ClientId() const { return FClientId; }
    int PollIntervalMs() const { return FPollMs; }
    bool PollEnabled() const { return FPollOn; }
    bool SessionEnds() const { return FSessionEnds; }
    TDateTime LastConnection() const { return FLastConnection; }
    const std::vector<TClnInstanceRow> &Rows() const { return FRows; }
    /// Number of rows with a running instance.
    int RunningCount() const;
    /// Display names of the running applications in table order, joined by ", ".
    UnicodeString AppsText() const;
    /// Processes being watched, of every code (also codes without a row).
    std::size_t WatchedCount() const { return FWatched.size(); }
    /// The message text shown for an error of the given detail code.
    static UnicodeString ErrorText(int code, bool keepAlive);
    /// The message text shown when request r is dropped with `waiting` requests queued.
    static UnicodeString DroppedText(const TClnRequest &r, std::size_t waiting);

private:
    struct Watched {
        unsigned short code;
        int pid;
        TClnEffects::WatcherId id;
    };

    void Enqueue(const TClnRequest &r);
    void ReportDropped(const TClnRequest &r);
    void Reannounce();
    void StartNext();
    void Finish();
    void ShowError(int code);
    void SetBusy();
    void SetPoll(bool on);
    void Judge(const std::string &text);
    void RecordInstance(int code, int pid);
    void Withdraw(unsigned short code, int pid);
    void RefreshRow(unsigned short code);
    TClnInstanceRow *RowOf(int code);
    const TClnInstanceRow *RowOf(int code) const;

    TClnTransport &FTransport;
    TClnClock &FClock;
    TClnEffects &FFx;
    TClnSettings FSettings;
    std::vector<TClnInstanceRow> FRows;
    std::vector<Watched> FWatched; // in the order announced
    std::deque<TClnRequest> FQueue;
    TClnRequest FCurrent;
    bool FInFlight = false;
    bool FConnecting = false;
    bool FTestPending = false;
    bool FTestConnecting = false;
    bool FBusy = false;
    bool FShutDown = false;
    bool FSessionEnds = false;
    std::uint16_t FClientId = 0;
    int FPollMs = DefaultPollMs;
    bool FPollOn = false;
    TDateTime FLastConnection = 0;
    long long FLastConnectMs = 0;
    bool FEverConnected = false;
};
