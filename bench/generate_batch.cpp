// elutrix-generate's batch: 1,000 seeded replicates of the factory scenario
// with random noise at S/N 100, each written as .xy, peak table and record
// into a memory file system, the runs spread over the cores; and the
// replicates alone on one thread, each run in full against each made from
// the one full run's shared signal (what simulate_batch does):
//   generate_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "generate/batch.h"
#include "generate/replicates.h"

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

Scenario factory_noise() {
    return *read_scenarios(R"({"seed": 1, "settings": {"noise_kind": "random", "level_by_s_to_n": true,
                             "s_to_n_percent": 100}})",
                           "factory_noise")
                .entries.at(0)
                .scenario;
}

std::vector<std::string> seeds_of(const Scenario& scenario, int count) {
    std::set<std::uint64_t> drawn;
    return replicate_seeds(scenario.settings, count, drawn);
}

void BM_replicates_each_in_full(benchmark::State& state) {
    const Scenario scenario = factory_noise();
    const std::vector<std::string> seeds = seeds_of(scenario, static_cast<int>(state.range(0)));
    elutrix::Trace trace(0);
    elutrix::RandomGenerator generator;
    for (auto _ : state) {
        for (const std::string& seed : seeds) benchmark::DoNotOptimize(run_replicate(scenario, seed, trace, generator));
    }
    state.counters["runs_per_s"] = benchmark::Counter(static_cast<double>(seeds.size()),
                                                      benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_replicates_each_in_full)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_replicates_shared(benchmark::State& state) {
    const Scenario scenario = factory_noise();
    const std::vector<std::string> seeds = seeds_of(scenario, static_cast<int>(state.range(0)));
    elutrix::Trace trace(0);
    elutrix::RandomGenerator generator;
    const ScenarioReplicates shared(scenario, seeds[0], trace, generator);
    const auto n = static_cast<std::size_t>(shared.point_count());
    std::vector<double> responses(seeds.size() * n);
    std::vector<ReplicateNoise> made(seeds.size());
    constexpr int block = ScenarioReplicates::block_replicates;
    for (auto _ : state) {
        for (std::size_t r = 0; r < seeds.size(); r += block) {
            const int count = static_cast<int>(std::min<std::size_t>(block, seeds.size() - r));
            double* rows[block] = {};
            for (int j = 0; j < count; ++j) rows[j] = responses.data() + (r + j) * n;
            shared.make_block(&seeds[r], rows, &made[r], count, generator);
        }
        benchmark::DoNotOptimize(responses.data());
    }
    state.counters["runs_per_s"] = benchmark::Counter(static_cast<double>(seeds.size()),
                                                      benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_replicates_shared)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
