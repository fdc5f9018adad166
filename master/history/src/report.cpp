// Reading the history: daily peaks, the chart's series and the sessions themselves.

#include "sqlite_util.h"

#include <history/history.h>

#include <QDateTime>
#include <QFileInfo>
#include <QTimeZone>

#include <algorithm>
#include <unordered_map>

namespace history {

using detail::Stmt;

std::int64_t DayStart(QDate day)
{
    // startOfDay also copes with a zone whose midnight is skipped by a change of offset.
    return day.startOfDay().toMSecsSinceEpoch();
}

namespace {

struct TEvent {
    std::int64_t time;
    int delta;
    bool operator<(const TEvent &o) const { return time != o.time ? time < o.time : delta < o.delta; }
};

// The most running at once in each slot [bounds[k], bounds[k+1]) over events clipped to
// [bounds.front(), bounds.back()]. Ends sort before starts at one moment, so an instance that
// starts as another ends does not overlap it.
void Sweep(std::vector<TEvent> &events, const std::vector<std::int64_t> &bounds, std::vector<int> &peak)
{
    std::sort(events.begin(), events.end());
    peak.assign(bounds.size() - 1, 0);
    std::size_t slot = 0;
    int running = 0;
    for (const TEvent &e : events) {
        while (slot + 1 < peak.size() && bounds[slot + 1] <= e.time) {
            ++slot;
            // Instances running through the slot's start count in it; at a start with events of
            // its own, those events decide.
            if (bounds[slot] < e.time)
                peak[slot] = std::max(peak[slot], running);
        }
        running += e.delta;
        peak[slot] = std::max(peak[slot], running);
    }
}

std::int64_t EndOf(const TSpan &s, std::int64_t openUntil)
{
    return s.end < 0 ? openUntil : s.end;
}

} // namespace

std::vector<TDayPeak> ComputePeaks(const std::vector<TSpan> &spans, QDate from, QDate to, bool byHost,
                                   std::int64_t openUntil)
{
    std::vector<TDayPeak> rows;
    if (!from.isValid() || !to.isValid() || to < from)
        return rows;
    const int days = static_cast<int>(from.daysTo(to)) + 1;
    std::vector<std::int64_t> bounds(days + 1);
    for (int i = 0; i <= days; ++i)
        bounds[i] = DayStart(from.addDays(i));

    struct Group {
        std::vector<TEvent> events;
        std::vector<double> hours;
        std::vector<std::vector<int>> hosts;
    };
    std::map<std::pair<int, int>, Group> groups;
    for (const TSpan &s : spans) {
        const std::int64_t start = std::max(s.start, bounds.front());
        const std::int64_t end = std::min(EndOf(s, openUntil), bounds.back());
        if (end <= start)
            continue;
        Group &g = groups[{s.code, byHost ? s.host : -1}];
        if (g.hours.empty()) {
            g.hours.assign(days, 0);
            g.hosts.resize(days);
        }
        g.events.push_back({start, 1});
        g.events.push_back({end, -1});
        auto day =
            static_cast<int>(std::upper_bound(bounds.begin(), bounds.end(), start) - bounds.begin()) - 1;
        for (; day < days && bounds[day] < end; ++day) {
            const std::int64_t a = std::max(start, bounds[day]);
            const std::int64_t b = std::min(end, bounds[day + 1]);
            g.hours[day] += double(b - a) / 3600000.0;
            if (g.hosts[day].empty() || g.hosts[day].back() != s.host)
                g.hosts[day].push_back(s.host);
        }
    }
    std::vector<std::pair<std::pair<int, int>, std::vector<int>>> peaks;
    for (auto &[key, g] : groups) {
        std::vector<int> p;
        Sweep(g.events, bounds, p);
        peaks.emplace_back(key, std::move(p));
        for (auto &h : g.hosts) {
            std::sort(h.begin(), h.end());
            h.erase(std::unique(h.begin(), h.end()), h.end());
        }
    }
    for (int day = 0; day < days; ++day) {
        std::size_t i = 0;
        for (auto &[key, g] : groups) {
            const std::vector<int> &p = peaks[i++].second;
            if (g.hours[day] <= 0)
                continue;
            TDayPeak row;
            row.day = from.addDays(day);
            row.code = key.first;
            row.host = key.second;
            row.peak = p[day];
            row.instanceHours = g.hours[day];
            row.clients = static_cast<int>(g.hosts[day].size());
            rows.push_back(row);
        }
    }
    return rows;
}

std::vector<TSeries> ComputeSeries(const std::vector<TSpan> &spans, std::int64_t fromMs, std::int64_t toMs,
                                   int buckets, std::int64_t openUntil)
{
    std::vector<TSeries> out;
    if (toMs <= fromMs || buckets <= 0)
        return out;
    std::vector<std::int64_t> bounds(buckets + 1);
    for (int i = 0; i <= buckets; ++i)
        bounds[i] = fromMs + (toMs - fromMs) * i / buckets;
    std::map<int, std::vector<TEvent>> byCode;
    for (const TSpan &s : spans) {
        const std::int64_t start = std::max(s.start, fromMs);
        const std::int64_t end = std::min(EndOf(s, openUntil), toMs);
        if (end <= start)
            continue;
        auto &events = byCode[s.code];
        events.push_back({start, 1});
        events.push_back({end, -1});
    }
    for (auto &[code, events] : byCode) {
        TSeries series;
        series.code = code;
        Sweep(events, bounds, series.peaks);
        out.push_back(std::move(series));
    }
    return out;
}

// ---------------------------------------------------------------------------------------

struct THistoryReader::Db {
    sqlite3 *db = nullptr;
    ~Db()
    {
        if (db)
            sqlite3_close(db);
    }
};

THistoryReader::THistoryReader() = default;
THistoryReader::~THistoryReader() = default;

bool THistoryReader::Open(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        *error = QStringLiteral("no history file at %1").arg(path);
        return false;
    }
    if (!info.isFile() || !info.isReadable()) {
        *error = QStringLiteral("%1 cannot be read").arg(path);
        return false;
    }
    FDb = std::make_unique<Db>();
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &FDb->db,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        *error = QStringLiteral("%1: %2").arg(path, detail::ErrorText(FDb->db));
        return false;
    }
    // A master commits about once a second; a reader waits for it rather than failing.
    sqlite3_busy_timeout(FDb->db, 5000);
    QString ignored;
    detail::Exec(FDb->db, "PRAGMA mmap_size=1073741824", nullptr, ignored);
    QString tables, err;
    if (!detail::Exec(FDb->db,
                      "SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name IN "
                      "('runs','machines','sessions')",
                      &tables, err)) {
        *error = QStringLiteral("%1: %2").arg(path, err);
        return false;
    }
    if (tables != QLatin1String("3")) {
        *error = QStringLiteral("%1 is not a history file").arg(path);
        return false;
    }
    if (!LoadMachines(&err)) {
        *error = QStringLiteral("%1: %2").arg(path, err);
        return false;
    }
    return true;
}

bool THistoryReader::LoadMachines(QString *error)
{
    Stmt st;
    if (!st.Prepare(FDb->db, "SELECT id, host, address FROM machines", *error))
        return false;
    std::unordered_map<QString, int> index;
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        const int id = sqlite3_column_int(st.s, 0);
        QString host = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st.s, 1)));
        if (host.isEmpty())
            host = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st.s, 2)));
        auto [it, added] = index.emplace(host, int(FHostNames.size()));
        if (added)
            FHostNames.push_back(host);
        if (id >= int(FMachineHost.size()))
            FMachineHost.resize(id + 1, -1);
        FMachineHost[id] = it->second;
    }
    if (rc != SQLITE_DONE) {
        *error = detail::ErrorText(FDb->db);
        return false;
    }
    return true;
}

bool THistoryReader::Spans(std::int64_t fromMs, std::int64_t toMs, int code, std::vector<TSpan> &out,
                           QString *error)
{
    // Over months, reading the table in order beats looking every row up through the index.
    const bool wide = toMs - fromMs > 62LL * 86400000;
    Stmt st;
    if (!st.Prepare(
            FDb->db,
            wide ? "SELECT code, machine, start, COALESCE(end, (SELECT alive_until FROM runs WHERE id=run))"
                   " FROM sessions NOT INDEXED WHERE start<?1 AND (end IS NULL OR end>?2) AND (?3<0 OR "
                   "code=?3)"
                 : "SELECT code, machine, start, COALESCE(end, (SELECT alive_until FROM runs WHERE id=run))"
                   " FROM sessions WHERE start<?1 AND (end IS NULL OR end>?2) AND (?3<0 OR code=?3)",
            *error))
        return false;
    st.Bind(1, toMs);
    st.Bind(2, fromMs);
    st.Bind(3, code);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        TSpan s;
        s.code = sqlite3_column_int(st.s, 0);
        const int machine = sqlite3_column_int(st.s, 1);
        if (machine < 0 || machine >= int(FMachineHost.size()) || FMachineHost[machine] < 0) {
            // A machine added after the reader opened.
            FHostNames.clear();
            FMachineHost.clear();
            if (!LoadMachines(error))
                return false;
        }
        s.host = machine < int(FMachineHost.size()) ? std::max(FMachineHost[machine], 0) : 0;
        s.start = sqlite3_column_int64(st.s, 2);
        s.end = sqlite3_column_int64(st.s, 3);
        out.push_back(s);
    }
    if (rc != SQLITE_DONE) {
        *error = detail::ErrorText(FDb->db);
        return false;
    }
    return true;
}

bool THistoryReader::Sessions(std::int64_t fromMs, std::int64_t toMs, int code, std::vector<TSession> &out,
                              QString *error)
{
    Stmt st;
    if (!st.Prepare(
            FDb->db,
            "SELECT s.id, s.client, m.host, m.address, s.code, s.start, s.end, s.reason, r.alive_until"
            " FROM sessions s JOIN machines m ON m.id=s.machine JOIN runs r ON r.id=s.run"
            " WHERE s.start<?1 AND (s.end IS NULL OR s.end>?2) AND (?3<0 OR s.code=?3)"
            " ORDER BY s.start, s.id",
            *error))
        return false;
    st.Bind(1, toMs);
    st.Bind(2, fromMs);
    st.Bind(3, code);
    int rc;
    auto text = [&](int col) {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st.s, col)));
    };
    while ((rc = st.Step()) == SQLITE_ROW) {
        TSession s;
        s.id = sqlite3_column_int64(st.s, 0);
        s.clientId = sqlite3_column_int(st.s, 1);
        s.host = text(2);
        s.address = text(3);
        s.code = sqlite3_column_int(st.s, 4);
        s.start = sqlite3_column_int64(st.s, 5);
        const bool open = sqlite3_column_type(st.s, 6) == SQLITE_NULL;
        s.end = open ? -1 : sqlite3_column_int64(st.s, 6);
        s.reason = open ? 0 : sqlite3_column_int(st.s, 7);
        s.aliveUntil = sqlite3_column_int64(st.s, 8);
        out.push_back(std::move(s));
    }
    if (rc != SQLITE_DONE) {
        *error = detail::ErrorText(FDb->db);
        return false;
    }
    return true;
}

std::int64_t THistoryReader::FirstStart()
{
    QString first, error;
    if (!detail::Exec(FDb->db, "SELECT IFNULL(MIN(start), -1) FROM sessions", &first, error))
        return -1;
    return first.toLongLong();
}

bool DailyPeaks(const QString &path, QDate from, QDate to, std::vector<TDayPeak> &rows,
                std::vector<QString> &hostNames, QString *error)
{
    THistoryReader reader;
    std::vector<TSpan> spans;
    if (!reader.Open(path, error) || !reader.Spans(DayStart(from), DayStart(to.addDays(1)), -1, spans, error))
        return false;
    rows = ComputePeaks(spans, from, to, false, QDateTime::currentMSecsSinceEpoch());
    hostNames = reader.HostNames();
    return true;
}

} // namespace history
