#pragma once
// The usage history: every session row's life and the master's own runs, kept in an SQLite
// file across restarts. The master hands records to a writer thread (THistoryWriter) that
// commits them in batches; readers (korvel-report, the status page) open the file read-only
// and compute daily peaks and the chart's series from it.
//
// Times are milliseconds since the epoch, UTC; reports cut them into local days.

#include <QDate>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class TMstServer;

namespace history {

/// How a session ended, as stored.
enum class EndReason : int { Withdrawn = 1, LocalEnded = 2, ClientRemoved = 3, MasterStopped = 4 };

/// The word a report shows for a reason ("" for a session still open).
QString ReasonText(int reason);

/// Where the history lives: KORVEL_HISTORY, else the store value HistoryFile, else
/// /var/lib/korvel/history.sqlite where this program may write it, else
/// $XDG_STATE_HOME/korvel/history.sqlite. A reader (forWriting false) takes the system file
/// whenever it exists, since a master running as a service writes it for everybody.
QString DefaultPath(bool forWriting = true);

/// Days of history kept: the store value HistoryDays, 400 when absent or not a positive number.
int KeptDays();

/// One record handed to the writer.
struct TRecord {
    enum Kind { Start, End, ClientGone, Host, Stop } kind = Start;
    int clientId = 0;
    int code = 0;
    EndReason reason = EndReason::Withdrawn;
    std::int64_t time = 0;
    QString host;
    QString address;
};

/// The writer thread. Records are queued without waiting (a full queue drops them and counts
/// them) and committed at most flushMs later in one transaction, with the run's heartbeat.
/// A file that cannot be written is reported once through warn and leaves history off, tried
/// again every retryMs; the records keep being followed in memory meanwhile, so sessions still
/// open when the file works again are written with their real start.
class THistoryWriter {
public:
    struct Options {
        QString path;
        int keptDays = 0; ///< 0: KeptDays()
        int flushMs = 1000;
        int retryMs = 60000;
        std::size_t maxQueued = 200000;
        /// Where failures are said; stderr when empty.
        std::function<void(const QString &)> warn;
        /// The clock; the system's UTC clock when empty.
        std::function<std::int64_t()> now;
    };

    explicit THistoryWriter(Options options);
    /// Stops the thread after writing what is queued.
    ~THistoryWriter();
    THistoryWriter(const THistoryWriter &) = delete;
    THistoryWriter &operator=(const THistoryWriter &) = delete;

    /// Hands a record over; never waits for the file. False when the queue was full.
    bool Post(TRecord record);
    std::int64_t Now() const;

    // --- from any thread, for tests and status ---
    bool Enabled() const { return FEnabled; }
    /// The file written, for readers of the same history (the status page).
    const QString &Path() const { return FOptions.path; }
    std::uint64_t Dropped() const { return FDropped; }
    /// Batches committed so far.
    std::uint64_t Commits() const { return FCommits; }
    /// Waits up to timeoutMs until everything posted before the call is committed (or dropped
    /// because history is off). Tests only.
    bool Flush(int timeoutMs);

private:
    struct Open {
        std::int64_t row = 0; // 0: not in the file yet
        int machine = 0;      // 0: not in the file yet
        QString host;
        QString address;
        int code = 0;
        std::int64_t start = 0;
    };
    class Store;

    void Run();
    bool Apply(const std::vector<TRecord> &batch);
    bool InsertOpen(int clientId, Open &open, QString &error);
    bool Close(int clientId, Open &open, EndReason reason, std::int64_t time, QString &error);
    bool TryOpen();
    std::int64_t MaxRow();
    bool CloseStrays(QString &error);
    void Fail(const QString &what);

    Options FOptions;
    std::unique_ptr<Store> FStore;
    std::mutex FQueueLock;
    std::condition_variable FWake;
    std::condition_variable FDone;
    std::deque<TRecord> FQueue;
    bool FQuit = false;
    bool FFlushAsked = false;
    std::uint64_t FCycles = 0;     // cycles that took the queue; under FQueueLock
    std::uint64_t FCyclesDone = 0; // cycles finished; under FQueueLock
    std::atomic<bool> FEnabled{false};
    std::atomic<std::uint64_t> FDropped{0};
    std::atomic<std::uint64_t> FCommits{0};
    bool FWarned = false;
    bool FDropWarned = false;
    std::int64_t FStarted = 0;
    std::int64_t FRun = 0; // this run's row, once written
    bool FRunStopped = false;
    std::int64_t FStopTime = 0;
    std::int64_t FCommittedRow = 0; // the highest session row known to be committed
    std::int64_t FNextRetry = 0;
    std::int64_t FNextPrune = 0;
    // Sessions open now, by (client, code), in the order they started; writer thread only.
    std::map<std::pair<int, int>, std::vector<Open>> FOpen;
    std::thread FThread;
};

/// Puts history on a server: its core tells an object owned by the server of every session
/// row, and the server's shutdown closes the run. Call in the server's thread before
/// StartUp(), or anywhere before the server's thread starts. Returns the writer (owned by the
/// server), for tests.
THistoryWriter *AttachHistory(TMstServer &server, THistoryWriter::Options options = {});

// ---------------------------------------------------------------------------------------
// Reading

/// One session as a report sees it.
struct TSession {
    std::int64_t id = 0;
    int clientId = 0;
    QString host;
    QString address;
    int code = 0;
    std::int64_t start = 0;
    std::int64_t end = -1; ///< -1 while open
    int reason = 0;        ///< 0 while open
    /// For an open session: the last moment its master was known alive.
    std::int64_t aliveUntil = 0;
};

/// The span a peak computation works on; host is an index into the reader's host names.
struct TSpan {
    int code = 0;
    int host = 0;
    std::int64_t start = 0;
    std::int64_t end = -1; ///< -1 while open: runs until the computation's openUntil
};

/// Peaks of one local day and application (and host, when asked by host).
struct TDayPeak {
    QDate day;
    int code = 0;
    int host = -1; ///< index into the host names; -1 when not by host
    int peak = 0;  ///< most instances running at once
    double instanceHours = 0;
    int clients = 0; ///< distinct machines that ran the application that day
};

/// For each local day of [from, to] (both included) and application: the most instances
/// running at once, the instance-hours and the distinct machines. Spans count on [start, end);
/// one ending when another starts do not overlap. Open spans run until openUntil. Rows come by
/// day, then code, then host; days without any instance are left out.
std::vector<TDayPeak> ComputePeaks(const std::vector<TSpan> &spans, QDate from, QDate to, bool byHost,
                                   std::int64_t openUntil);

/// The most instances of each application running at once in each of `buckets` equal slices
/// of [fromMs, toMs).
struct TSeries {
    int code = 0;
    std::vector<int> peaks;
};
std::vector<TSeries> ComputeSeries(const std::vector<TSpan> &spans, std::int64_t fromMs, std::int64_t toMs,
                                   int buckets, std::int64_t openUntil);

/// Local midnight starting day, in UTC milliseconds (days of 23 and 25 hours included).
std::int64_t DayStart(QDate day);

/// The history file opened read-only; works while a master writes it.
class THistoryReader {
public:
    THistoryReader();
    ~THistoryReader();
    /// False with a sentence in *error for a missing, unreadable or corrupt file.
    bool Open(const QString &path, QString *error);

    /// Spans of the sessions overlapping [fromMs, toMs), optionally of one code; open sessions
    /// end at their master's last confirmed moment (still running: about now).
    bool Spans(std::int64_t fromMs, std::int64_t toMs, int code, std::vector<TSpan> &out, QString *error);
    /// The sessions overlapping [fromMs, toMs), by start.
    bool Sessions(std::int64_t fromMs, std::int64_t toMs, int code, std::vector<TSession> &out,
                  QString *error);
    /// First session start, or -1 when there is none.
    std::int64_t FirstStart();
    /// The names TSpan::host and TDayPeak::host index.
    const std::vector<QString> &HostNames() const { return FHostNames; }

private:
    bool LoadMachines(QString *error);
    struct Db;
    std::unique_ptr<Db> FDb;
    std::vector<QString> FHostNames;
    std::vector<int> FMachineHost; // machine id -> host name index
};

/// Daily peaks of [from, to] read from the file at path, for the status page and its API.
/// False with *error when the file cannot be read.
bool DailyPeaks(const QString &path, QDate from, QDate to, std::vector<TDayPeak> &rows,
                std::vector<QString> &hostNames, QString *error);

} // namespace history
