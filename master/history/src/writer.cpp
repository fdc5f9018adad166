// The writer thread and the file it writes.

#include "sqlite_util.h"

#include <history/history.h>

#include <common/settings.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <limits>
#include <set>

namespace history {

using detail::Stmt;

QString ReasonText(int reason)
{
    switch (reason) {
    case int(EndReason::Withdrawn):
        return QStringLiteral("withdrawn");
    case int(EndReason::LocalEnded):
        return QStringLiteral("local process ended");
    case int(EndReason::ClientRemoved):
        return QStringLiteral("client removed by audit");
    case int(EndReason::MasterStopped):
        return QStringLiteral("master stopped");
    default:
        return QString();
    }
}

QString DefaultPath(bool forWriting)
{
    const QByteArray env = qgetenv("KORVEL_HISTORY");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    const QString stored = QString::fromStdU16String(ReadSetting(u"HistoryFile"));
    if (!stored.isEmpty())
        return stored;
    const QString system = QStringLiteral("/var/lib/korvel/history.sqlite");
    const QFileInfo file(system);
    if (file.exists() ? file.isWritable() || !forWriting
                      : access("/var/lib/korvel", W_OK) == 0 || access("/var/lib", W_OK) == 0)
        return system;
    QString state = QString::fromLocal8Bit(qgetenv("XDG_STATE_HOME"));
    if (state.isEmpty())
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/korvel/history.sqlite");
}

int KeptDays()
{
    bool ok = false;
    const int days = QString::fromStdU16String(ReadSetting(u"HistoryDays")).toInt(&ok);
    return ok && days > 0 ? days : 400;
}

// ---------------------------------------------------------------------------------------

class THistoryWriter::Store {
public:
    ~Store() { Close(); }

    bool Open(const QString &path, QString &error)
    {
        const QFileInfo info(path);
        if (!QDir().mkpath(info.absolutePath())) {
            error = QStringLiteral("cannot create the folder %1").arg(info.absolutePath());
            return false;
        }
        // One writer per file: a second master on the same file would otherwise take the
        // first one's open sessions for those of a killed run.
        const QByteArray lockName = QFile::encodeName(path + QStringLiteral(".lock"));
        lockFd = ::open(lockName.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (lockFd < 0) {
            error = QStringLiteral("cannot open %1: %2")
                        .arg(QFile::decodeName(lockName), QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
        if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
            error = QStringLiteral("another master writes it");
            return false;
        }
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            error = detail::ErrorText(db);
            return false;
        }
        sqlite3_busy_timeout(db, 2000);
        QString mode;
        if (!detail::Exec(db, "PRAGMA quick_check", &mode, error))
            return false;
        if (mode != QLatin1String("ok")) {
            error = QStringLiteral("the file is damaged (%1)").arg(mode);
            return false;
        }
        if (!detail::Exec(db, "PRAGMA journal_mode=WAL", &mode, error))
            return false;
        if (mode != QLatin1String("wal")) {
            error = QStringLiteral("cannot use a write-ahead log (journal mode %1)").arg(mode);
            return false;
        }
        if (!detail::Exec(db, "PRAGMA synchronous=NORMAL", nullptr, error) ||
            !detail::CreateSchema(db, error))
            return false;
        return insertSession.Prepare(
                   db, "INSERT INTO sessions(run, client, machine, code, start) VALUES(?,?,?,?,?)", error) &&
               endSession.Prepare(db, "UPDATE sessions SET end=?, reason=? WHERE id=?", error) &&
               insertClosed.Prepare(db,
                                    "INSERT INTO sessions(run, client, machine, code, start, end, reason) "
                                    "VALUES(?,?,?,?,?,?,?)",
                                    error) &&
               setMachine.Prepare(db, "UPDATE sessions SET machine=? WHERE id=?", error) &&
               findMachine.Prepare(db, "SELECT id FROM machines WHERE host=? AND address=?", error) &&
               addMachine.Prepare(db, "INSERT INTO machines(host, address) VALUES(?,?)", error) &&
               heartbeat.Prepare(db, "UPDATE runs SET alive_until=? WHERE id=?", error) &&
               stopRun.Prepare(db, "UPDATE runs SET stopped=?, alive_until=? WHERE id=?", error);
    }

    void Close()
    {
        insertSession.Reset();
        endSession.Reset();
        insertClosed.Reset();
        setMachine.Reset();
        findMachine.Reset();
        addMachine.Reset();
        heartbeat.Reset();
        stopRun.Reset();
        if (db)
            sqlite3_close(db);
        db = nullptr;
        if (lockFd >= 0)
            ::close(lockFd);
        lockFd = -1;
        machines.clear();
    }

    // Sessions left open by a run that never stopped end when it was last known alive.
    bool Recover(std::int64_t ownRun, QString &error)
    {
        Stmt close, stop;
        if (!close.Prepare(db,
                           "UPDATE sessions SET end=MAX(start, (SELECT alive_until FROM runs WHERE "
                           "runs.id=sessions.run)),"
                           " reason=4 WHERE end IS NULL AND run IN (SELECT id FROM runs WHERE stopped IS "
                           "NULL AND id<>?)",
                           error) ||
            !stop.Prepare(db, "UPDATE runs SET stopped=alive_until, killed=1 WHERE stopped IS NULL AND id<>?",
                          error))
            return false;
        close.Bind(1, ownRun);
        stop.Bind(1, ownRun);
        return close.Run(error) && stop.Run(error);
    }

    bool Prune(std::int64_t before, QString &error)
    {
        Stmt sessions, runs, machinesGone;
        if (!sessions.Prepare(db, "DELETE FROM sessions WHERE end IS NOT NULL AND end<?", error) ||
            !runs.Prepare(db,
                          "DELETE FROM runs WHERE stopped IS NOT NULL AND stopped<?"
                          " AND id NOT IN (SELECT DISTINCT run FROM sessions)",
                          error))
            return false;
        sessions.Bind(1, before);
        runs.Bind(1, before);
        return sessions.Run(error) && runs.Run(error);
    }

    bool Machine(const QString &host, const QString &address, int &id, QString &error)
    {
        const auto key = std::make_pair(host, address);
        if (auto it = machines.find(key); it != machines.end()) {
            id = it->second;
            return true;
        }
        findMachine.Bind(1, host);
        findMachine.Bind(2, address);
        const int rc = findMachine.Step();
        if (rc == SQLITE_ROW) {
            id = sqlite3_column_int(findMachine.s, 0);
        } else if (rc == SQLITE_DONE) {
            findMachine.Clear();
            addMachine.Bind(1, host);
            addMachine.Bind(2, address);
            if (!addMachine.Run(error))
                return false;
            id = static_cast<int>(sqlite3_last_insert_rowid(db));
        } else {
            error = detail::ErrorText(db);
            findMachine.Clear();
            return false;
        }
        findMachine.Clear();
        machines[key] = id;
        return true;
    }

    sqlite3 *db = nullptr;
    int lockFd = -1;
    Stmt insertSession, endSession, insertClosed, setMachine, findMachine, addMachine, heartbeat, stopRun;
    std::map<std::pair<QString, QString>, int> machines;
    std::int64_t run = 0;
    bool runStopped = false;
};

// ---------------------------------------------------------------------------------------

THistoryWriter::THistoryWriter(Options options) : FOptions(std::move(options))
{
    if (!FOptions.now)
        FOptions.now = [] { return QDateTime::currentMSecsSinceEpoch(); };
    if (!FOptions.warn) {
        FOptions.warn = [](const QString &text) {
            std::fprintf(stderr, "%s\n", qPrintable(text));
            std::fflush(stderr);
        };
    }
    if (FOptions.keptDays <= 0)
        FOptions.keptDays = KeptDays();
    FStarted = FOptions.now();
    FThread = std::thread([this] { Run(); });
}

THistoryWriter::~THistoryWriter()
{
    {
        std::lock_guard<std::mutex> lock(FQueueLock);
        FQuit = true;
    }
    FWake.notify_all();
    FThread.join();
}

std::int64_t THistoryWriter::Now() const
{
    return FOptions.now();
}

bool THistoryWriter::Post(TRecord record)
{
    std::unique_lock<std::mutex> lock(FQueueLock);
    if (FQueue.size() >= FOptions.maxQueued) {
        ++FDropped;
        return false;
    }
    FQueue.push_back(std::move(record));
    const bool wake = FQueue.size() >= FOptions.maxQueued / 2;
    lock.unlock();
    if (wake)
        FWake.notify_one();
    return true;
}

bool THistoryWriter::Flush(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(FQueueLock);
    // The next cycle to take the queue takes everything posted so far.
    const std::uint64_t target = FCycles + 1;
    FFlushAsked = true;
    FWake.notify_one();
    return FDone.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FCyclesDone >= target; });
}

void THistoryWriter::Fail(const QString &what)
{
    if (FStore) {
        FStore->Close();
        FStore.reset();
    }
    FEnabled = false;
    // Rows written by a batch that was rolled back are not in the file.
    for (auto &[key, list] : FOpen) {
        for (Open &open : list) {
            if (open.row > FCommittedRow)
                open.row = 0;
            open.machine = 0;
        }
    }
    FNextRetry = FOptions.now() + FOptions.retryMs;
    if (!FWarned) {
        FWarned = true;
        FOptions.warn(QStringLiteral("korvel history: %1: %2; history is off for now, tried again every %3 s")
                          .arg(FOptions.path, what)
                          .arg(FOptions.retryMs / 1000.0));
    }
}

bool THistoryWriter::TryOpen()
{
    auto store = std::make_unique<Store>();
    QString error;
    bool ok = store->Open(FOptions.path, error) && detail::Exec(store->db, "BEGIN IMMEDIATE", nullptr, error);
    std::int64_t run = FRun;
    if (ok && run == 0) {
        Stmt insert;
        ok = insert.Prepare(store->db, "INSERT INTO runs(started, alive_until) VALUES(?,?)", error);
        if (ok) {
            insert.Bind(1, FStarted);
            insert.Bind(2, FOptions.now());
            ok = insert.Run(error);
            run = sqlite3_last_insert_rowid(store->db);
        }
    }
    ok = ok && store->Recover(run, error);
    // Sessions that started while the file could not be written go in with their real start.
    std::vector<Open *> added;
    if (ok) {
        store->run = run;
        FStore = std::move(store);
        ok = CloseStrays(error);
        for (auto &[key, list] : FOpen) {
            for (Open &open : list) {
                if (open.row == 0 && ok) {
                    ok = InsertOpen(key.first, open, error);
                    added.push_back(&open);
                }
            }
        }
        ok = ok && detail::Exec(FStore->db, "COMMIT", nullptr, error);
        if (!ok) {
            QString ignored;
            detail::Exec(FStore->db, "ROLLBACK", nullptr, ignored);
        }
    }
    if (!ok) {
        for (Open *open : added)
            open->row = 0;
        Fail(error);
        return false;
    }
    FRun = run;
    FCommittedRow = MaxRow();
    FEnabled = true;
    if (FWarned) {
        FWarned = false;
        FOptions.warn(QStringLiteral("korvel history: %1 works again; history is on").arg(FOptions.path));
    }
    return true;
}

// Sessions of this run that the file holds open but that ended while it could not be written
// end where the file last saw the master alive; those still running stay open.
bool THistoryWriter::CloseStrays(QString &error)
{
    std::set<std::int64_t> running;
    for (const auto &[key, list] : FOpen) {
        for (const Open &open : list) {
            if (open.row != 0)
                running.insert(open.row);
        }
    }
    Stmt find, close;
    if (!find.Prepare(FStore->db, "SELECT id FROM sessions WHERE run=? AND end IS NULL", error) ||
        !close.Prepare(
            FStore->db,
            "UPDATE sessions SET end=MAX(start, (SELECT alive_until FROM runs WHERE id=run)), reason=4"
            " WHERE id=?",
            error))
        return false;
    find.Bind(1, FStore->run);
    std::vector<std::int64_t> strays;
    int rc;
    while ((rc = find.Step()) == SQLITE_ROW) {
        const std::int64_t id = sqlite3_column_int64(find.s, 0);
        if (!running.count(id))
            strays.push_back(id);
    }
    if (rc != SQLITE_DONE) {
        error = detail::ErrorText(FStore->db);
        return false;
    }
    for (std::int64_t id : strays) {
        close.Bind(1, id);
        if (!close.Run(error))
            return false;
    }
    return true;
}

std::int64_t THistoryWriter::MaxRow()
{
    QString error, max;
    if (!FStore || !detail::Exec(FStore->db, "SELECT IFNULL(MAX(id), 0) FROM sessions", &max, error))
        return 0;
    return max.toLongLong();
}

bool THistoryWriter::InsertOpen(int clientId, Open &open, QString &error)
{
    if (open.machine == 0 && !FStore->Machine(open.host, open.address, open.machine, error))
        return false;
    Stmt &s = FStore->insertSession;
    s.Bind(1, FStore->run);
    s.Bind(2, clientId);
    s.Bind(3, open.machine);
    s.Bind(4, open.code);
    s.Bind(5, open.start);
    if (!s.Run(error))
        return false;
    open.row = sqlite3_last_insert_rowid(FStore->db);
    return true;
}

bool THistoryWriter::Close(int clientId, Open &open, EndReason reason, std::int64_t time, QString &error)
{
    const std::int64_t end = std::max(time, open.start);
    if (open.row != 0) {
        Stmt &s = FStore->endSession;
        s.Bind(1, end);
        s.Bind(2, int(reason));
        s.Bind(3, open.row);
        return s.Run(error);
    }
    if (open.machine == 0 && !FStore->Machine(open.host, open.address, open.machine, error))
        return false;
    Stmt &s = FStore->insertClosed;
    s.Bind(1, FStore->run);
    s.Bind(2, clientId);
    s.Bind(3, open.machine);
    s.Bind(4, open.code);
    s.Bind(5, open.start);
    s.Bind(6, end);
    s.Bind(7, int(reason));
    return s.Run(error);
}

// Follows the batch in memory and, while the file works, writes it in one transaction with the
// run's heartbeat. Returns false when the file failed.
bool THistoryWriter::Apply(const std::vector<TRecord> &batch)
{
    const bool writing = FEnabled && FStore;
    QString error;
    bool ok = !writing || detail::Exec(FStore->db, "BEGIN IMMEDIATE", nullptr, error);
    bool started = false;
    // Ends every session of the keys in [first, last).
    auto closeRange = [&](auto first, auto last, EndReason reason, std::int64_t time) {
        for (auto it = first; it != last; ++it) {
            for (Open &open : it->second) {
                if (writing && ok)
                    ok = Close(it->first.first, open, reason, time, error);
            }
        }
        FOpen.erase(first, last);
    };
    const int lowest = std::numeric_limits<int>::min();
    for (const TRecord &r : batch) {
        switch (r.kind) {
        case TRecord::Start: {
            Open open;
            open.host = r.host;
            open.address = r.address;
            open.code = r.code;
            open.start = r.time;
            // Written at the end of the batch: one that also ends in it is written once, whole.
            FOpen[{r.clientId, r.code}].push_back(std::move(open));
            started = true;
            break;
        }
        case TRecord::End: {
            const auto it = FOpen.find({r.clientId, r.code});
            if (it != FOpen.end())
                closeRange(it, std::next(it), r.reason, r.time);
            break;
        }
        case TRecord::ClientGone:
            closeRange(FOpen.lower_bound({r.clientId, lowest}), FOpen.lower_bound({r.clientId + 1, lowest}),
                       r.reason, r.time);
            break;
        case TRecord::Host:
            for (auto &[key, list] : FOpen) {
                if (key.first != r.clientId)
                    continue;
                for (Open &open : list) {
                    open.host = r.host;
                    open.machine = 0;
                    if (writing && ok && open.row != 0 &&
                        (ok = FStore->Machine(open.host, open.address, open.machine, error))) {
                        Stmt &s = FStore->setMachine;
                        s.Bind(1, open.machine);
                        s.Bind(2, open.row);
                        ok = s.Run(error);
                    }
                }
            }
            break;
        case TRecord::Stop:
            closeRange(FOpen.begin(), FOpen.end(), EndReason::MasterStopped, r.time);
            FRunStopped = true;
            FStopTime = r.time;
            break;
        }
    }
    if (!writing)
        return true;
    for (auto it = FOpen.begin(); started && ok && it != FOpen.end(); ++it) {
        for (Open &open : it->second) {
            if (open.row == 0 && ok)
                ok = InsertOpen(it->first.first, open, error);
        }
    }
    const std::int64_t now = FOptions.now();
    if (ok && FRunStopped && !FStore->runStopped) {
        Stmt &s = FStore->stopRun;
        s.Bind(1, FStopTime);
        s.Bind(2, std::max(now, FStopTime));
        s.Bind(3, FStore->run);
        ok = s.Run(error);
        FStore->runStopped = ok;
    } else if (ok && !FRunStopped) {
        Stmt &s = FStore->heartbeat;
        s.Bind(1, now);
        s.Bind(2, FStore->run);
        ok = s.Run(error);
    }
    if (ok && now >= FNextPrune) {
        ok = FStore->Prune(now - std::int64_t(FOptions.keptDays) * 86400000, error);
        FNextPrune = now + 86400000;
    }
    ok = ok && detail::Exec(FStore->db, "COMMIT", nullptr, error);
    if (!ok) {
        QString ignored;
        detail::Exec(FStore->db, "ROLLBACK", nullptr, ignored);
        Fail(error);
        return false;
    }
    FCommittedRow = sqlite3_last_insert_rowid(FStore->db) > FCommittedRow
                        ? sqlite3_last_insert_rowid(FStore->db)
                        : FCommittedRow;
    ++FCommits;
    return true;
}

void THistoryWriter::Run()
{
    TryOpen();
    for (;;) {
        std::vector<TRecord> batch;
        std::uint64_t cycle = 0;
        bool quit = false;
        {
            std::unique_lock<std::mutex> lock(FQueueLock);
            FWake.wait_for(lock, std::chrono::milliseconds(FOptions.flushMs),
                           [&] { return FQuit || FFlushAsked || FQueue.size() >= FOptions.maxQueued / 2; });
            FFlushAsked = false;
            cycle = ++FCycles;
            batch.assign(std::make_move_iterator(FQueue.begin()), std::make_move_iterator(FQueue.end()));
            FQueue.clear();
            quit = FQuit;
        }
        if (!FEnabled && FOptions.now() >= FNextRetry)
            TryOpen();
        if (quit && !FRunStopped) {
            // The writer goes with its master: whatever is still open ends now.
            TRecord stop;
            stop.kind = TRecord::Stop;
            stop.time = FOptions.now();
            batch.push_back(std::move(stop));
        }
        Apply(batch);
        if (FDropped != 0 && !FDropWarned) {
            FDropWarned = true;
            FOptions.warn(
                QStringLiteral("korvel history: the writer fell behind; records are being dropped"));
        }
        {
            std::lock_guard<std::mutex> lock(FQueueLock);
            FCyclesDone = cycle;
        }
        FDone.notify_all();
        if (quit)
            break;
    }
    if (FStore)
        FStore->Close();
}

} // namespace history
