// The data file of a 1,000,000-point trace without the window: the lines
// alone (formatted on every core, handed to a sink that keeps nothing), and
// the whole replacement of a file in memory and on disk:
//   core_bench --benchmark_filter='XyLines|ReplaceFile'
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/file_output.h"
#include "engine/xy_file.h"
#include "export_trace.h"

namespace {

const elutrix::Trace& trace() {
    static const std::unique_ptr<elutrix::Trace> made = elutrix::bench::noisy_peak_trace();
    return *made;
}

void BM_XyLinesMillionPoints(benchmark::State& state) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        const bool written = elutrix::write_xy_lines(trace(), [&bytes](const char* data, std::size_t size) {
            benchmark::DoNotOptimize(data);
            bytes += size;
            return true;
        });
        benchmark::DoNotOptimize(written);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
    state.SetItemsProcessed(state.iterations() * trace().point_count);
}
BENCHMARK(BM_XyLinesMillionPoints)->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);

void replace_million_points(benchmark::State& state, const std::filesystem::path& folder) {
    if (!std::filesystem::is_directory(folder)) {
        state.SkipWithError("no such folder");
        return;
    }
    const std::string path = (folder / "elutrix_bench_replace.xy").string();
    const elutrix::ContentProducer lines = [](const elutrix::ByteSink& sink) {
        return elutrix::write_xy_lines(trace(), sink);
    };
    for (auto _ : state) {
        if (!elutrix::replace_file(path, lines)) {
            state.SkipWithError("the file could not be written");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * trace().point_count);
    std::remove(path.c_str());
}

void BM_ReplaceFileMillionPoints(benchmark::State& state) {
    replace_million_points(state, std::filesystem::temp_directory_path());
}
BENCHMARK(BM_ReplaceFileMillionPoints)->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);

void BM_ReplaceFileMillionPointsInMemory(benchmark::State& state) { replace_million_points(state, "/dev/shm"); }
BENCHMARK(BM_ReplaceFileMillionPointsInMemory)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

}  // namespace
