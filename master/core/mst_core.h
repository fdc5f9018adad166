#pragma once
// The master's request core: what the master does for a request, a local announcement, the
// end of a local instance and the audit, free of any window, socket or timer. TMstServer owns
// the listener with its connections and the audit timer, on a thread of its own, and applies
// what each call reports; the windows only show the tables and the log.

#include "log_store.h"

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
    /// address as its host until FillHost() brings the name.
    bool hostPending = false;
};

/// What the server must do after a call.
struct TCoreActions {
    enum class Timer { Keep, Start, Stop };
    bool valid = true;              ///< the request passed parsing and validation
    bool refreshList = false;       ///< set the list's item count to RowCount() and repaint
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
    virtual void RowAdded(std::int16_t clientId, std::uint16_t code, const UnicodeString &host,
                          const UnicodeString &address) = 0;
    /// Every row (clientId, code) went.
    virtual void RowsRemoved(std::int16_t clientId, std::uint16_t code, EndReason reason) = 0;
    /// The audit dropped the client, last heard silentSeconds ago; its rows stay in the table.
    virtual void ClientRemoved(std::int16_t clientId, double silentSeconds) = 0;
    /// The name of a client's address arrived after the client was recorded.
    virtual void HostFound(std::int16_t clientId, const UnicodeString &host) = 0;
    /// The master stops.
    virtual void MasterStopped() = 0;
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
    TMstSettings &Settings() { return FSettings; }
    const TMstSettings &Settings() const { return FSettings; }

    void SetWatcherStarter(WatcherStarter starter) { FStartWatcher = std::move(starter); }
    void SetSessionBounds(const TSessionBounds &bounds) { FBounds = bounds; }
    const TSessionBounds &SessionBounds() const { return FBounds; }
    /// Where session rows' lives are told; nullptr (the default) tells nobody.
    void SetSessionSink(TSessionSink *sink) { FSink = sink; }
    TSessionSink *SessionSink() const { return FSink; }

    /// Start-up after the settings are loaded: starts the log with the configured
    /// port and enables the audit timer.
    TCoreActions StartUp();

    /// One request read from a client connection.
    TReceiveResult Receive(std::string_view requestText, const TPeerInfo &peer);

    /// The lookup of address finished: clients recorded from it meanwhile get the name as
    /// their host; an empty name (the lookup failed or came too late) leaves the address.
    void FillHost(const UnicodeString &address, const UnicodeString &name);

    /// WM_ANNOUNCE: a local application (code = WParam, pid = LParam) announced itself.
    TCoreActions LocalAnnounce(int code, int pid);
    /// WM_INSTANCE_ENDED: the watcher of a local instance of code saw its process end.
    TCoreActions LocalEnded(int code);

    /// The audit timer fired.
    TCoreActions Audit();
    /// Audit timeout: (audit period + grace period) * 1.15 seconds, truncated.
    long long AuditTimeout() const;

    /// A socket error of a client connection (kind 0..6): log line with its word.
    TCoreActions SocketError(int errorKind);

    // --- read access for the server and, under its lock, the windows ---
    int RowCount() const { return FSessions.size(); }
    const TSessionRow &RowAt(int index) const { return FSessions.rowAt(index); }
    /// Tooltip line of list row index; empty for an index outside the list.
    UnicodeString TipText(int index) const;
    const TSessionTable &Sessions() const { return FSessions; }
    const TClientTable &Clients() const { return FClients; }
    /// Session rows charged to the remote address (rows of the clients first recorded from it).
    int RowsOfAddress(const UnicodeString &address) const;
    /// Client IDs whose rows outlived their client (removed by the audit).
    int PurgedHolders() const { return static_cast<int>(FOrphans.size()); }
    int HighestClientId() const { return FHighestId; }
    const std::string &ReplyBuffer() const { return FReply; }
    bool AuditTimerRunning() const { return FAuditTimerOn; }
    int AnnouncedCode() const { return FAnnouncedCode; }
    int AnnouncedProcess() const { return FAnnouncedProcess; }
    /// Process id held by the watcher slot of a known code; 0 when the slot is empty or
    /// the code has no slot.
    int WatchedProcess(int code) const;
    bool WatcherSlotHeld(int code) const;
    /// Codes whose slot holds a watcher.
    std::vector<unsigned short> HeldWatcherCodes() const;
    /// Ids of the watches the slots hold (for asking them to terminate at close).
    std::vector<std::uint64_t> HeldWatchIds() const;
    TLogStore &Log() { return FLog; }

private:
    struct Slot {
        unsigned short code = 0;
        bool held = false;
        int pid = 0;
        std::uint64_t watch = 0;
    };
    bool Validate(int code, int field2, int field3, int field4) const;
    void HandleAnnounce(int clientId, int newId, int appCode, const TPeerInfo &peer, TCoreActions &act);
    TDateTime MonoNow() const;
    int NextClientId();
    bool IdInUse(int id) const;
    bool MakeRoom(int clientId, const UnicodeString &address);
    bool DropPurged(const UnicodeString *address, int keep);
    void DropRowsOf(std::int16_t id);
    void Charge(std::int16_t id, const UnicodeString &address);
    void Uncharge(std::int16_t id, int removed);
    void MarkPurged(std::int16_t id);
    void Revive(std::int16_t id);
    void HandleKeepAlive(int clientId);
    void HandleWithdraw(int clientId, int appCode, TCoreActions &act,
                        TSessionSink::EndReason reason = TSessionSink::EndReason::Withdrawn);
    Slot *SlotOf(int code);
    const Slot *SlotOf(int code) const;
    void SetTimer(TCoreActions &act, bool on);

    TLogStore &FLog;
    TClocks FClocks;
    TMstSettings FSettings;
    TSessionTable FSessions;
    TClientTable FClients;
    std::string FReply;
    int FHighestId = 10; // the highest ID handed out; stays at MaxClientId once reached
    int FLastId = 10;    // the ID handed out last; wraps to 11 after MaxClientId
    // Clients recorded while the name of their address was still being looked up, with that
    // address: at most one entry per client ID, however long a lookup takes.
    std::unordered_map<std::int16_t, UnicodeString> FPendingHosts;
    TSessionBounds FBounds;
    // Network client IDs that hold session rows, with the address those rows are charged to
    // and, once the audit removed the client, the serial of that purge (0 while alive).
    struct Holder {
        UnicodeString address;
        std::uint64_t purge = 0;
    };
    std::unordered_map<std::int16_t, Holder> FHolders;
    // IDs held only by rows of purged clients, oldest purge first: overall and by address.
    std::map<std::uint64_t, std::int16_t> FOrphans;
    struct AddressUse {
        int rows = 0;
        std::map<std::uint64_t, std::int16_t> orphans;
    };
    std::unordered_map<UnicodeString, AddressUse> FAddresses;
    std::uint64_t FPurges = 0;
    bool FAuditTimerOn = false;
    int FAnnouncedCode = 0;
    int FAnnouncedProcess = 0;
    // One watcher slot per known application code, in the catalogue's order.
    std::array<Slot, std::size(KnownAppCodes)> FSlots;
    WatcherStarter FStartWatcher;
    TSessionSink *FSink = nullptr;
};
