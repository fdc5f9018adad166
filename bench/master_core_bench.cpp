// Request handling and event log appends of the master with small and large tables: a
// request must cost about the same with 10,000 clients as with 10, and an append the same
// with 100,000 log lines as with 1,000.

#include <mst_core.h>

#include <common/codec.h>

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

constexpr double kSecond = 1.0 / 86400.0;
constexpr int kBatch = 1000;

// A started master core holding n clients (IDs 11..n+10), each running application 83.
// Every request moves the clock on by 36 ms, so the log keeps about 100,000 lines of the
// last hour instead of growing without end.
struct LoadedMaster {
    explicit LoadedMaster(int n)
    {
        core.StartUp();
        for (int i = 0; i < n; ++i)
            request("112,0,83,0");
    }
    const std::string &request(const std::string &text)
    {
        now += 0.036 * kSecond;
        reply = core.Receive(text, peer).reply;
        return reply;
    }

    TDateTime now = 45000.5;
    TClocks clocks{[this] { return now; }, [this] { return now * 86400.0; }};
    TLogStore log{clocks};
    TMstCore core{log, clocks};
    TPeerInfo peer{u"workstation-17", u"192.168.10.17"};
    std::string reply;
};

std::vector<std::string> messages(int code, int firstId, int count, int app)
{
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i)
        out.push_back(MsgCompose(code, firstId + i, app, 0));
    return out;
}

void BM_ReceiveAnnounceNewClient(benchmark::State &state)
{
    const int n = static_cast<int>(state.range(0));
    LoadedMaster m(n);
    int batch = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.request("112,0,83,0"));
        if (++batch == kBatch) {
            // Take the new clients out again so the tables keep their size.
            state.PauseTiming();
            const int last = m.core.HighestClientId();
            for (const std::string &w : messages(376, last - kBatch + 1, kBatch, 83))
                m.request(w);
            batch = 0;
            state.ResumeTiming();
        }
    }
    state.counters["clients"] = m.core.Clients().size();
}

void BM_ReceiveKeepAlive(benchmark::State &state)
{
    const int n = static_cast<int>(state.range(0));
    LoadedMaster m(n);
    const std::vector<std::string> keepAlives = messages(259, 11, n, 0);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.request(keepAlives[i]));
        if (++i == keepAlives.size())
            i = 0;
    }
}

void BM_ReceiveWithdraw(benchmark::State &state)
{
    const int n = static_cast<int>(state.range(0));
    LoadedMaster m(n);
    const int batchSize = std::min(n, kBatch);
    int first = 11;
    std::vector<std::string> withdrawals;
    std::size_t i = 0;
    for (auto _ : state) {
        if (i == withdrawals.size()) {
            // Each client of the batch gets a second instance (93), whose withdrawal is timed;
            // its instance of 83 keeps it in the client table.
            state.PauseTiming();
            for (const std::string &a : messages(112, first, batchSize, 93))
                m.request(a);
            withdrawals = messages(376, first, batchSize, 93);
            first = first + batchSize >= n + 11 ? 11 : first + batchSize;
            i = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(m.request(withdrawals[i++]));
    }
    state.counters["sessions"] = m.core.RowCount();
}

// The log holds `lines` lines spread over the last hour; every append is one step later,
// so each one expires about one old line.
void BM_LogAppend(benchmark::State &state)
{
    const int lines = static_cast<int>(state.range(0));
    const double step = 3600.0 / lines * kSecond;
    TDateTime now = 45000.5;
    TLogStore log(TClocks{[&] { return now; }, [&] { return now * 86400.0; }});
    log.Start(52100);
    for (int i = 1; i < lines; ++i) {
        now += step;
        log.AddKeepAlive(i);
    }
    for (auto _ : state) {
        now += step;
        log.AddKeepAlive(42);
    }
    state.counters["lines"] = log.Count();
}

} // namespace

BENCHMARK(BM_ReceiveAnnounceNewClient)->Arg(10)->Arg(10000)->Iterations(20000);
BENCHMARK(BM_ReceiveKeepAlive)->Arg(10)->Arg(10000)->Iterations(200000);
BENCHMARK(BM_ReceiveWithdraw)->Arg(10)->Arg(10000)->Iterations(20000);
BENCHMARK(BM_LogAppend)->Arg(1000)->Arg(100000)->Iterations(200000);
