// The usage history at the size of a year of a 2,000-seat site: 10 applications, about three
// sessions per seat and working day (about 1.5 million sessions), written through the writer
// in batches; then korvel-report's peaks and chart over the whole year, and the file's size.
//
// The year is generated once (deterministically) into a temporary folder, removed at the end.

#include <history/history.h>

#include <QDateTime>

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <random>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

using namespace history;

namespace {

constexpr int Seats = 2000;
constexpr int SessionsPerSeatAndDay = 3;
constexpr int AppCodes[] = {10, 83, 93, 97, 101, 102, 103, 104, 105, 106};

struct Year {
    std::filesystem::path dir;
    QString path;
    QDate first, last;
    std::int64_t sessions = 0;
    double writeSeconds = 0;

    Year()
    {
        char tmpl[] = "/tmp/korvel-history-bench-XXXXXX";
        dir = ::mkdtemp(tmpl);
        path = QString::fromStdString((dir / "history.sqlite").string());
        last = QDate::currentDate().addDays(-1);
        first = last.addDays(-364);
    }
    ~Year()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Year &TheYear()
{
    static Year year;
    return year;
}

// One working day of the site, as the master would hand it over: every seat works from about
// 8:00 and runs three applications one after another, each for half an hour to three hours.
void GenerateDay(QDate day, std::mt19937 &rng, std::vector<TRecord> &out)
{
    std::uniform_int_distribution<int> arrive(7 * 60, 10 * 60), length(30, 180), gap(0, 45), app(0, 9);
    std::vector<TRecord> day_;
    const std::int64_t midnight = DayStart(day);
    for (int seat = 0; seat < Seats; ++seat) {
        int minute = arrive(rng);
        for (int k = 0; k < SessionsPerSeatAndDay; ++k) {
            TRecord start;
            start.kind = TRecord::Start;
            start.clientId = 11 + seat;
            start.code = AppCodes[app(rng)];
            start.time = midnight + std::int64_t(minute) * 60000;
            start.host = QStringLiteral("ws%1").arg(seat, 4, 10, QLatin1Char('0'));
            start.address = QStringLiteral("10.20.%1.%2").arg(seat / 250).arg(seat % 250 + 1);
            minute += length(rng);
            TRecord end;
            end.kind = TRecord::End;
            end.clientId = start.clientId;
            end.code = start.code;
            end.time = midnight + std::int64_t(minute) * 60000;
            end.reason = EndReason::Withdrawn;
            minute += gap(rng);
            day_.push_back(std::move(start));
            day_.push_back(std::move(end));
        }
    }
    std::stable_sort(day_.begin(), day_.end(),
                     [](const TRecord &a, const TRecord &b) { return a.time < b.time; });
    out.insert(out.end(), std::make_move_iterator(day_.begin()), std::make_move_iterator(day_.end()));
}

void BM_WriteYearThroughTheWriter(benchmark::State &state)
{
    Year &year = TheYear();
    for (auto _ : state) {
        std::mt19937 rng(20260101);
        THistoryWriter::Options o;
        o.path = year.path;
        o.keptDays = 400;
        o.maxQueued = 1 << 20;
        o.flushMs = 1000;
        double seconds = 0;
        {
            THistoryWriter w(o);
            std::vector<TRecord> batch;
            for (QDate d = year.first; d <= year.last; d = d.addDays(1)) {
                if (d.dayOfWeek() > 5)
                    continue;
                GenerateDay(d, rng, batch);
                year.sessions += std::int64_t(batch.size() / 2);
                // Generating is not what is measured: only handing over and committing.
                const auto t0 = std::chrono::steady_clock::now();
                for (TRecord &r : batch)
                    w.Post(std::move(r));
                batch.clear();
                if (!w.Flush(600000) || !w.Enabled()) {
                    state.SkipWithError("the writer failed");
                    return;
                }
                seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            }
            if (w.Dropped() != 0)
                state.SkipWithError("records were dropped");
        }
        year.writeSeconds = seconds;
        state.SetIterationTime(seconds);
    }
    state.counters["sessions"] = double(year.sessions);
    state.counters["sessions_per_s"] = double(year.sessions) / year.writeSeconds;
    state.counters["file_MiB"] = double(std::filesystem::file_size(year.path.toStdString())) / (1 << 20);
}

// Wall time of one korvel-report run, its output thrown away.
double RunReport(const QStringList &args, benchmark::State &state, double &cpu)
{
    std::vector<std::string> words{KORVEL_BIN_DIR "/korvel-report"};
    for (const QString &a : args)
        words.push_back(a.toStdString());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int status = -1;
    rusage usage{};
    if (posix_spawn(&pid, words[0].c_str(), &fa, nullptr, argv.data(), environ) == 0)
        ::wait4(pid, &status, 0, &usage);
    // CPU time of the report (and the chart painter it runs as), apart from the machine's load.
    cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    posix_spawn_file_actions_destroy(&fa);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        state.SkipWithError("korvel-report failed");
        return 0;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_ReportPeaksOverTheYear(benchmark::State &state)
{
    Year &year = TheYear();
    double cpu = 0;
    for (auto _ : state)
        state.SetIterationTime(RunReport({QStringLiteral("peaks"), QStringLiteral("--file"), year.path,
                                          QStringLiteral("--from"), year.first.toString(Qt::ISODate),
                                          QStringLiteral("--to"), year.last.toString(Qt::ISODate)},
                                         state, cpu));
    state.counters["cpu_s"] = cpu;
}

void BM_PeaksInProcess(benchmark::State &state)
{
    Year &year = TheYear();
    std::size_t rows = 0, spans = 0;
    double readSeconds = 0, computeSeconds = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        THistoryReader reader;
        QString error;
        std::vector<TSpan> s;
        if (!reader.Open(year.path, &error) ||
            !reader.Spans(DayStart(year.first), DayStart(year.last.addDays(1)), -1, s, &error)) {
            state.SkipWithError(error.toStdString().c_str());
            return;
        }
        const auto t1 = std::chrono::steady_clock::now();
        spans = s.size();
        rows = ComputePeaks(s, year.first, year.last, false, QDateTime::currentMSecsSinceEpoch()).size();
        computeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
        readSeconds = std::chrono::duration<double>(t1 - t0).count();
    }
    state.counters["read_s"] = readSeconds;
    state.counters["compute_s"] = computeSeconds;
    state.counters["spans"] = double(spans);
    state.counters["rows"] = double(rows);
}

void BM_ReportChartOverTheYear(benchmark::State &state)
{
    Year &year = TheYear();
    for (auto _ : state) {
        for (const char *name : {"svg", "png"}) {
            double cpu = 0;
            const double s = RunReport(
                {QStringLiteral("chart"), QStringLiteral("--file"), year.path, QStringLiteral("--out"),
                 QString::fromStdString((year.dir / (std::string("year.") + name)).string()),
                 QStringLiteral("--from"), year.first.toString(Qt::ISODate), QStringLiteral("--to"),
                 year.last.toString(Qt::ISODate)},
                state, cpu);
            state.counters[std::string(name) + "_s"] = s;
            state.counters[std::string(name) + "_cpu_s"] = cpu;
            if (std::string(name) == "svg")
                state.SetIterationTime(s);
        }
    }
}

} // namespace

BENCHMARK(BM_WriteYearThroughTheWriter)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReportPeaksOverTheYear)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeaksInProcess)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReportChartOverTheYear)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
