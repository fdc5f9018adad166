// The master's session table at its bound: the memory it takes there, and what an
// announcement costs once rows of purged clients have to make way for it.

#include <mst_core.h>

#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

namespace {

double ResidentMiB()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// A core whose table is filled to its total bound with rows of live clients: each address
// holds its bound of rows, each client its bound.
struct FullMaster {
    FullMaster()
    {
        const TSessionBounds b = core.SessionBounds();
        core.StartUp();
        int address = 0;
        while (core.RowCount() < b.total) {
            const std::u16string a = u"10.0.0." + std::u16string(1, static_cast<char16_t>(u'A' + address++));
            const TPeerInfo peer{a, a, false};
            for (int rows = 0; rows < b.perAddress && core.RowCount() < b.total;) {
                const std::string first = core.Receive("112,0,83,0", peer).reply;
                const std::string id = first.substr(5, first.find(',', 5) - 5);
                ++rows;
                for (int more = 1; more < b.perClient && rows < b.perAddress; ++more, ++rows)
                    core.Receive("112," + id + ",83,0", peer);
            }
        }
    }
    void PurgeAll()
    {
        mono += static_cast<double>(core.AuditTimeout() + 1);
        core.Audit();
    }

    double mono = 1000;
    TClocks clocks{[] { return 45000.5; }, [this] { return mono; }};
    TLogStore log{clocks};
    TMstCore core{log, clocks};
};

void BM_SessionTableAtItsBound(benchmark::State &state)
{
    double grown = 0;
    int rows = 0, clients = 0;
    for (auto _ : state) {
        const double before = ResidentMiB();
        auto m = std::make_unique<FullMaster>();
        grown = ResidentMiB() - before;
        rows = m->core.RowCount();
        clients = m->core.Clients().size();
    }
    state.counters["rows"] = rows;
    state.counters["clients"] = clients;
    state.counters["RSS_growth_MiB"] = grown;
}
BENCHMARK(BM_SessionTableAtItsBound)->Iterations(1)->Unit(benchmark::kMillisecond);

// Every client purged: each new workstation's announcement gives up a purged client's rows.
void BM_AnnounceAtTheBoundOverPurgedRows(benchmark::State &state)
{
    FullMaster m;
    m.PurgeAll();
    const TPeerInfo peer{u"newcomer", u"10.9.9.9", false};
    for (auto _ : state)
        benchmark::DoNotOptimize(m.core.Receive("112,0,83,0", peer));
    state.counters["rows"] = m.core.RowCount();
}
BENCHMARK(BM_AnnounceAtTheBoundOverPurgedRows)->Iterations(500);

} // namespace
