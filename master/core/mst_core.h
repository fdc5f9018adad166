#pragma once
// The master's request core: what the master does for a request, a local announcement, the
// end of a local instance and the audit, free of any window, socket or timer. TMstServer owns
// the listener with its connections and the audit timer, on a thread of its own, and applies
// what each call reports; the windows only show the tables and the log.

#include "mst_cls.h"

#include <common/catalogue.h>
#include <common/messages.h>
#include <common/settings.h>
#include <common/tables.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

/// The remote end of the connection a request came on.
struct TPeerInfo {
    UnicodeString host;    ///< remote host name; empty while its lookup has not finished
    UnicodeString address; ///< remote address, dotted IPv4 text
    /// The lookup of the address's name has not finished: a client recorded now takes the
    /// address as its host until fillHost() brings the name.
    bool hostPending = false;
};

/// What the server must do after a call.
struct TCoreActions {
    enum class Timer { Keep, Start, Stop };
    bool valid = true;              ///< the request passed parsing and validation
    bool refreshList = false;       ///< set the list's item count to rowCount() and repaint
    bool refreshLog = false;        ///< refresh the event log window
    Timer auditTimer = Timer::Keep; ///< enable or disable the audit timer
};

/// How many session rows the master keeps. In normal operation rows of clients the audit
/// removed stay, as the list has always shown them; only at a bound do they go, oldest purge
/// first. Past a bound with no such rows to give up, the announcement is refused.
struct TSessionBounds {
    int perClient = 256;    ///< rows of one network client ID
    int perAddress = 16384; ///< rows of all network clients first recorded from one address
    int total = 262144;     ///< rows in all, the master station's own included
};

/// Reply and actions of one request.
struct TReceiveResult {
    std::string reply; ///< the reply buffer after the request: send it (nothing when empty)
    TCoreActions actions;
};

/// Told of each session row's life as it happens, for the usage history. Called on the core's
/// thread while its tables are locked, so it only hands the record on and never waits.
class TSessionSink {
public:
    enum class EndReason { Withdrawn = 1, LocalEnded = 2, ClientRemoved = 3, MasterStopped = 4 };
    virtual ~TSessionSink() = default;
    /// A row (clientId, code) was appended; host and address as the client table holds them
    /// (both empty for the master's own machine).
    virtual void rowAdded(std::int16_t clientId, std::uint16_t code, const UnicodeString &host,
                          const UnicodeString &address) = 0;
    /// Every row (clientId, code) went.
    virtual void rowsRemoved(std::int16_t clientId, std::uint16_t code, EndReason reason) = 0;
    /// The audit dropped the client, last heard silentSeconds ago; its rows stay in the table.
    virtual void clientRemoved(std::int16_t clientId, double silentSeconds) = 0;
    /// The name of a client's address arrived after the client was recorded.
    virtual void hostFound(std::int16_t clientId, const UnicodeString &host) = 0;
    /// The master stops.
    virtual void masterStopped() = 0;
};

class TMstCore {
public:
    /// Asked to start a watcher on a local process of the given application code; returns the
    /// watch's id, 0 when the process is not watched.
    using WatcherStarter = std::function<std::uint64_t(unsigned short code, int pid)>;

    /// The highest client ID: IDs are 16-bit and shown unsigned.
    static constexpr int MaxClientId = 0xFFFF;
    /// IDs a workstation can be given (11 .. MaxClientId): while fewer clients are alive, a
    /// new one always gets an ID, if need be one whose client the audit removed.
    static constexpr int ClientIdCount = MaxClientId - FIRST_CLIENT_ID + 1;

    /// The log is the store the core writes to; the clocks give "now" (wall clock for the
    /// times recorded, monotonic clock for the clients' last contact).
    explicit TMstCore(TLogStore &log, TClocks clocks = {});

    /// Settings record (loaded by the server at start-up; defaults until then).
    TMstSettings &settings() { return settings_; }
    const TMstSettings &settings() const { return settings_; }

    void setWatcherStarter(WatcherStarter starter) { startWatcher_ = std::move(starter); }
    void setSessionBounds(const TSessionBounds &bounds) { bounds_ = bounds; }
    const TSessionBounds &sessionBounds() const { return bounds_; }
    /// Where session rows' lives are told; nullptr (the default) tells nobody.
    void setSessionSink(TSessionSink *sink) { sink_ = sink; }
    TSessionSink *sessionSink() const { return sink_; }

    /// Start-up after the settings are loaded: starts the log with the configured
    /// port and enables the audit timer.
    TCoreActions startUp();

    /// One request read from a client connection.
    TReceiveResult receive(std::string_view requestText, const TPeerInfo &peer);

    /// The lookup of address finished: clients recorded from it meanwhile get the name as
    /// their host; an empty name (the lookup failed or came too late) leaves the address.
    void fillHost(const UnicodeString &address, const UnicodeString &name);

    /// WM_ANNOUNCE: a local application (code = WParam, pid = LParam) announced itself.
    TCoreActions localAnnounce(int code, int pid);
    /// WM_INSTANCE_ENDED: the watcher of a local instance of code saw its process end.
    TCoreActions localEnded(int code);

    /// The audit timer fired.
    TCoreActions audit();
    /// Audit timeout: (audit period + grace period) * 1.15 seconds, truncated.
    long long auditTimeout() const;

    /// A socket error of a client connection (kind 0..6): log line with its word.
    TCoreActions socketError(int errorKind);

    // --- read access for the server and, under its lock, the windows ---
    int rowCount() const { return sessions_.size(); }
    const TSessionRow &rowAt(int index) const { return sessions_.rowAt(index); }
    /// Tooltip line of list row index; empty for an index outside the list.
    UnicodeString tipText(int index) const;
    const TSessionTable &sessions() const { return sessions_; }
    const TClientTable &clients() const { return clients_; }
    /// Session rows charged to the remote address (rows of the clients first recorded from it).
    int rowsOfAddress(const UnicodeString &address) const;
    /// Client IDs whose rows outlived their client (removed by the audit).
    int purgedHolders() const { return static_cast<int>(orphans_.size()); }
    int highestClientId() const { return highestId_; }
    const std::string &replyBuffer() const { return reply_; }
    bool auditTimerRunning() const { return auditTimerOn_; }
    int announcedCode() const { return announcedCode_; }
    int announcedProcess() const { return announcedProcess_; }
    /// Process id held by the watcher slot of a known code; 0 when the slot is empty or
    /// the code has no slot.
    int watchedProcess(int code) const;
    bool watcherSlotHeld(int code) const;
    /// Codes whose slot holds a watcher.
    std::vector<unsigned short> heldWatcherCodes() const;
    /// Ids of the watches the slots hold (for asking them to terminate at close).
    std::vector<std::uint64_t> heldWatchIds() const;
    TLogStore &log() { return log_; }

private:
    struct Slot {
        unsigned short code = 0;
        bool held = false;
        int pid = 0;
        std::uint64_t watch = 0;
    };
    bool validate(int code, int field2, int field3, int field4) const;
    void handleAnnounce(int clientId, int newId, int appCode, const TPeerInfo &peer, TCoreActions &act);
    TDateTime monoNow() const;
    int nextClientId();
    bool idInUse(int id) const;
    bool makeRoom(int clientId, const UnicodeString &address);
    bool dropPurged(const UnicodeString *address, int keep);
    void dropRowsOf(std::int16_t id);
    void charge(std::int16_t id, const UnicodeString &address);
    void uncharge(std::int16_t id, int removed);
    void markPurged(std::int16_t id);
    void revive(std::int16_t id);
    void handleKeepAlive(int clientId);
    void handleWithdraw(int clientId, int appCode, TCoreActions &act,
                        TSessionSink::EndReason reason = TSessionSink::EndReason::Withdrawn);
    Slot *slotOf(int code);
    const Slot *slotOf(int code) const;
    void setTimer(TCoreActions &act, bool on);

    TLogStore &log_;
    TClocks clocks_;
    TMstSettings settings_;
    TSessionTable sessions_;
    TClientTable clients_;
    std::string reply_;
    int highestId_ = 10; // the highest ID handed out; stays at MaxClientId once reached
    int lastId_ = 10;    // the ID handed out last; wraps to 11 after MaxClientId
    // Clients recorded while the name of their address was still being looked up, with that
    // address: at most one entry per client ID, however long a lookup takes.
    std::unordered_map<std::int16_t, UnicodeString> pendingHosts_;
    TSessionBounds bounds_;
    // Network client IDs that hold session rows, with the address those rows are charged to
    // and, once the audit removed the client, the serial of that purge (0 while alive).
    struct Holder {
        UnicodeString address;
        std::uint64_t purge = 0;
    };
    std::unordered_map<std::int16_t, Holder> holders_;
    // IDs held only by rows of purged clients, oldest purge first: overall and by address.
    std::map<std::uint64_t, std::int16_t> orphans_;
    struct AddressUse {
        int rows = 0;
        std::map<std::uint64_t, std::int16_t> orphans;
    };
    std::unordered_map<UnicodeString, AddressUse> addresses_;
    std::uint64_t purges_ = 0;
    bool auditTimerOn_ = false;
    int announcedCode_ = 0;
    int announcedProcess_ = 0;
    // One watcher slot per known application code, in the catalogue's order.
    std::array<Slot, std::size(KnownAppCodes)> slots_;
    WatcherStarter startWatcher_;
    TSessionSink *sink_ = nullptr;
};
