// Splitting, counting and CSV parsing on 1 MiB and 10 MiB of text. The costs must grow
// linearly: the 10 MiB run of each benchmark takes at most 12 times its 1 MiB run, which the
// equal bytes_per_second figures of the two sizes show directly.
#include <corekit/corekit.h>
#include <listkit/listkit.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>

namespace {

constexpr std::size_t MiB = 1024 * 1024;

// Text of exactly `mib` MiB (in UTF-16 code units): `unit` repeated, topped up with `filler`.
UnicodeString repeatTo(const UnicodeString &unit, std::size_t mib, char16_t filler)
{
    UnicodeString text;
    text.reserve(mib * MiB);
    while (text.size() + unit.size() <= mib * MiB)
        text += unit;
    text.append(mib * MiB - text.size(), filler);
    return text;
}

const UnicodeString &words(std::size_t mib)
{
    static std::map<std::size_t, UnicodeString> cache;
    auto it = cache.find(mib);
    if (it == cache.end())
        it = cache.emplace(mib, repeatTo(u"alpha,beta;;gamma delta,\u043C\u0438\u0440,", mib, u'x')).first;
    return it->second;
}

const UnicodeString &numbers(std::size_t mib)
{
    static std::map<std::size_t, UnicodeString> cache;
    auto it = cache.find(mib);
    if (it == cache.end())
        it = cache.emplace(mib, repeatTo(u"12345, -678,9,,2147483647,", mib, u',')).first;
    return it->second;
}

void finish(benchmark::State &state, std::size_t mib)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(mib * MiB * 2));
    state.SetLabel(std::to_string(mib) + " MiB");
}

void BM_StrToList(benchmark::State &state)
{
    const std::size_t mib = static_cast<std::size_t>(state.range(0));
    const UnicodeString &text = words(mib);
    // The list is filled once before timing and reused: a fresh 60 MB list (10 MiB of short
    // pieces) comes straight from the kernel as new pages every time, which would measure page
    // faults rather than splitting; the 1 MiB list stays inside the allocator's heap.
    std::vector<UnicodeString> list;
    Sv_StrToList(text, u",; ", list);
    for (auto _ : state) {
        Sv_StrToList(text, u",; ", list);
        benchmark::DoNotOptimize(list.data());
    }
    state.counters["pieces"] = static_cast<double>(list.size());
    finish(state, mib);
}

void BM_CountSubstring(benchmark::State &state)
{
    const std::size_t mib = static_cast<std::size_t>(state.range(0));
    const UnicodeString &text = words(mib);
    int count = 0;
    for (auto _ : state) {
        count = S_Count(text, u"ta");
        benchmark::DoNotOptimize(count);
    }
    state.counters["found"] = count;
    finish(state, mib);
}

void BM_CountCharacter(benchmark::State &state)
{
    const std::size_t mib = static_cast<std::size_t>(state.range(0));
    const UnicodeString &text = words(mib);
    int count = 0;
    for (auto _ : state) {
        count = S_Count(text, u',');
        benchmark::DoNotOptimize(count);
    }
    state.counters["found"] = count;
    finish(state, mib);
}

void BM_CsvToIntVect(benchmark::State &state)
{
    const std::size_t mib = static_cast<std::size_t>(state.range(0));
    const UnicodeString &text = numbers(mib);
    bool ok = false;
    std::size_t count = 0;
    for (auto _ : state) {
        std::vector<int> values;
        ok = Sv_CsvToIntVect(text, values);
        count = values.size();
        benchmark::DoNotOptimize(values.data());
    }
    if (!ok)
        state.SkipWithError("CSV text did not parse");
    state.counters["values"] = static_cast<double>(count);
    finish(state, mib);
}

// Each size runs three times and the fastest run counts as well as the mean, so that a busy
// build machine disturbs the comparison less.
double fastest(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}

#define KORVEL_SIZES(bm)                                                                                     \
    BENCHMARK(bm)                                                                                            \
        ->Arg(1)                                                                                             \
        ->Arg(10)                                                                                            \
        ->Unit(benchmark::kMillisecond)                                                                      \
        ->MinTime(0.1)                                                                                       \
        ->Repetitions(3)                                                                                     \
        ->ReportAggregatesOnly(true)                                                                         \
        ->ComputeStatistics("min", fastest)

} // namespace

KORVEL_SIZES(BM_StrToList);
KORVEL_SIZES(BM_CountSubstring);
KORVEL_SIZES(BM_CountCharacter);
KORVEL_SIZES(BM_CsvToIntVect);
