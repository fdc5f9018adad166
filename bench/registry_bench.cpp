// Reading the registry store: one RG_GetRegString (a whole read of the store and one lookup) in
// stores of 1,000 and 10,000 keys, which should cost in proportion to the store's size; and a
// store holding a 100,000-deep key path, which must be refused or read within bounded memory.
//
// Figures: time per read for each size, "ratio_10x" (time at 10,000 keys / time at 1,000 keys;
// linear is about 10, the bound is 12), and for the deep path the time and the peak memory of
// a process that reads it ("peak_MiB").

#include <corekit/corekit.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A store of `keys` keys below Ardentis\Korvel, each with two values, in a folder of its own
// that goes with the object.
class StoreFile {
public:
    explicit StoreFile(const std::string &text)
    {
        const fs::path parent =
            fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (parent / "korvel-regbench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        dir_ = pattern;
        path_ = dir_ / "registry.reg";
        std::ofstream(path_, std::ios::binary) << text;
    }
    ~StoreFile()
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void use() const { setenv("KORVEL_REGISTRY", path_.c_str(), 1); }

private:
    fs::path dir_, path_;
};

std::string storeText(int keys)
{
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    for (int i = 0; i < keys; ++i) {
        const std::string n = std::to_string(i);
        text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel\\Station" + n + "]\n\"Host\"=\"host-" + n +
                "\"\n\"Port\"=dword:0000cb84\n\n";
    }
    return text;
}

const StoreFile &storeOf(int keys)
{
    static std::map<int, StoreFile> stores;
    auto it = stores.find(keys);
    if (it == stores.end())
        it = stores.try_emplace(keys, storeText(keys)).first;
    return it->second;
}

UnicodeString lastKey(int keys)
{
    return U("Ardentis\\Korvel\\Station" + std::to_string(keys - 1));
}

void BM_ReadStore(benchmark::State &state)
{
    const int keys = int(state.range(0));
    storeOf(keys).use();
    const UnicodeString key = lastKey(keys);
    for (auto _ : state) {
        UnicodeString v = RG_GetRegString(key, u"Host", false);
        if (v.empty())
            state.SkipWithError("the value was not found");
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations() * keys);
}
BENCHMARK(BM_ReadStore)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The least processor time of one read over a few rounds: other work on the machine only ever
// adds to it.
double secondsPerRead(int keys, int reads)
{
    storeOf(keys).use();
    const UnicodeString key = lastKey(keys);
    RG_GetRegString(key, u"Host", false);
    double best = 1e9;
    for (int round = 0; round < 7; ++round) {
        const double start = cpuSeconds();
        for (int i = 0; i < reads; ++i)
            benchmark::DoNotOptimize(RG_GetRegString(key, u"Host", false));
        best = std::min(best, (cpuSeconds() - start) / reads);
    }
    return best;
}

// Ten times the keys should take about ten times as long; the bound is twelve.
void BM_ReadLinearity(benchmark::State &state)
{
    double ratio = 0;
    for (auto _ : state)
        ratio = secondsPerRead(10000, 4) / secondsPerRead(1000, 40);
    state.counters["ratio_10x"] = ratio;
}
BENCHMARK(BM_ReadLinearity)->Iterations(1)->Unit(benchmark::kMillisecond);

// A key path 100,000 levels deep, read by a child process whose peak memory is measured; the
// child may use at most 2 GiB, and is reported as having failed beyond that.
void BM_DeepKeyPath(benchmark::State &state)
{
    std::string path = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis";
    for (int i = 0; i < 100000; ++i)
        path += "\\K";
    const StoreFile store("Windows Registry Editor Version 5.00\n\n[" + path + "]\n\"Host\"=\"deep\"\n");
    store.use();
    double peakMiB = 0;
    for (auto _ : state) {
        const pid_t pid = fork();
        if (pid == 0) {
            rlimit lim{2ull << 30, 2ull << 30};
            setrlimit(RLIMIT_AS, &lim);
            // A read of a value in it, and the listing "korvel-reg query HKLM\\SOFTWARE /s" makes.
            RG_GetRegString(u"Ardentis\\Korvel", u"Host", false);
            std::vector<korvel::reg::KeyListing> tree;
            korvel::reg::listTree(u"HKEY_LOCAL_MACHINE\\SOFTWARE", tree);
            _exit(0);
        }
        int status = 0;
        rusage use{};
        wait4(pid, &status, 0, &use);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError("the reader failed (out of its 2 GiB?)");
        peakMiB = double(use.ru_maxrss) / 1024.0;
    }
    state.counters["peak_MiB"] = peakMiB;
}
BENCHMARK(BM_DeepKeyPath)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
