// Loading a 64 MiB chromatogram file against reading the same bytes into memory, in one run.
// The ratio is printed at the end; the target is at most 1.5.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "results/CVelmarFile4.h"
#include "results/SyntheticChromatogram.h"

namespace {

class BigFile {
public:
    // `mebibytes` of samples over 8 channels, 2,000 peaks.
    explicit BigFile(int mebibytes) {
        std::string pattern = (std::filesystem::temp_directory_path() / "tesmor-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        dir_ = pattern;
        path_ = dir_ / "big.chr";
        SyntheticOptions o;
        o.channels = 8;
        o.samples =
            (std::size_t{1} << 20) * static_cast<std::size_t>(mebibytes) / 32;  // 8 channels x 4 bytes
        o.peaks = 250;                                                          // 2,000 peaks in all
        CVelmarFile4 f = makeSyntheticChromatogram(o);
        if (f.save(tesmor::toUtf16(path_.string())) != 0) std::abort();
        size_ = std::filesystem::file_size(path_);
    }
    ~BigFile() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::uintmax_t size() const { return size_; }

private:
    std::filesystem::path dir_;
    std::filesystem::path path_;
    std::uintmax_t size_ = 0;
};

const BigFile& bigFile(int mebibytes = 64) {
    static std::map<int, std::unique_ptr<BigFile>> files;
    auto& file = files[mebibytes];
    if (!file) file = std::make_unique<BigFile>(mebibytes);
    return *file;
}

// Baselines: one block read of the whole file, into a fresh buffer each time (what a reader
// that allocates pays) and into one buffer reused across iterations (the copy alone; the stricter
// baseline, since a single 64 MiB allocation is mapped fresh and faulted in every time).
void plainRead(benchmark::State& state, char* reused) {
    const BigFile& file = bigFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::FILE* f = std::fopen(file.path().c_str(), "rb");
        struct stat st {};
        fstat(fileno(f), &st);
        const auto size = static_cast<std::size_t>(st.st_size);
        std::unique_ptr<char[]> fresh;
        if (!reused) fresh = std::make_unique_for_overwrite<char[]>(size);
        char* buffer = reused ? reused : fresh.get();
        const std::size_t got = std::fread(buffer, 1, size, f);
        std::fclose(f);
        if (got != size) state.SkipWithError("short read");
        benchmark::DoNotOptimize(buffer);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}

void PlainReadFreshBuffer(benchmark::State& state) { plainRead(state, nullptr); }

void PlainReadReusedBuffer(benchmark::State& state) {
    std::vector<char> buffer(bigFile(static_cast<int>(state.range(0))).size());
    plainRead(state, buffer.data());
}

void Load(benchmark::State& state) {
    const BigFile& file = bigFile(static_cast<int>(state.range(0)));
    const std::u16string path = tesmor::toUtf16(file.path().string());
    for (auto _ : state) {
        CVelmarFile4 f;
        if (f.load(path) != 0) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(f.channels.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}

// File sizes in MiB of samples: the 64 MiB file is the one the target is set for. The heap's
// history changes what a large allocation costs, so compare sizes in separate runs
// (--benchmark_filter=/8/ and /64/).
BENCHMARK(PlainReadFreshBuffer)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(PlainReadReusedBuffer)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(Load)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                realTime[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> realTime;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto time = [&](const char* name, int mebibytes) {
        const auto i = reporter.realTime.find(std::string(name) + "/" + std::to_string(mebibytes) +
                                              "/min_time:2.000/real_time");
        return i == reporter.realTime.end() ? 0.0 : i->second;
    };
    for (int mebibytes : {8, 64}) {
        const double load = time("Load", mebibytes);
        std::cout << mebibytes << " MiB:";
        if (const double fresh = time("PlainReadFreshBuffer", mebibytes); load > 0 && fresh > 0)
            std::cout << " load / plain read into a fresh buffer = " << load / fresh << ";";
        if (const double reused = time("PlainReadReusedBuffer", mebibytes); load > 0 && reused > 0)
            std::cout << " load / plain read into a reused buffer = " << load / reused
                      << (mebibytes == 64 ? " (target <= 1.5)" : "");
        std::cout << "\n";
    }
    benchmark::Shutdown();
    return 0;
}
