// elutrix-generate's batch: 1,000 seeded replicates of the factory scenario
// with random noise at S/N 100, each written as .xy, peak table and record
// into a memory file system, the runs spread over the cores:
//   generate_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "generate/batch.h"

namespace {

using namespace elutrix::generate;

constexpr int replicates = 1000;

void BM_batch_factory_noise(benchmark::State& state) {
    char pattern[] = "/dev/shm/elutrix-generate-bench-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir) {
        state.SkipWithError("no memory file system at /dev/shm");
        return;
    }
    const std::string text = R"({"name": "factory_noise", "replicates": )" + std::to_string(replicates) +
                             R"(, "seed": 1, "settings": {"noise_kind": "random", "level_by_s_to_n": true,
                             "s_to_n_percent": 100}})";
    const std::vector<ScenarioSource> sources = {{"factory_noise.json", read_scenarios(text, "factory_noise")}};
    BatchOptions options;
    options.out_dir = dir;
    for (auto _ : state) {
        const BatchReport report = run_batch(sources, options);
        if (!report.ok() || report.runs_written != replicates) {
            state.SkipWithError("the batch failed");
            break;
        }
    }
    std::filesystem::remove_all(dir);
    state.counters["runs_per_s"] = benchmark::Counter(replicates, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_batch_factory_noise)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace
