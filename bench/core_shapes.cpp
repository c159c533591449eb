// The field's tailing shapes against the window's exponentially modified
// Gaussian, on the same ten components (1 to 10 min, tau 1 to 10 s, 10000
// plates, 1,000,000 points), in the same binary:
//   core_bench --benchmark_filter=shape --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// The goal: each shape within twice the window model's time.
#include <benchmark/benchmark.h>

#include <memory>

#include "engine/inputs.h"
#include "engine/placement.h"
#include "engine/synthesis.h"
#include "models/noise.h"
#include "reference/scenarios.h"

namespace {

using namespace elutrix;

constexpr PeakModel models[] = {PeakModel::ExponentiallyModifiedGaussian, PeakModel::ExactExponentiallyModifiedGaussian,
                                PeakModel::ExponentialGaussianHybrid};
constexpr const char* labels[] = {"window EMG", "exact EMG", "hybrid"};

void BM_shape_synthesis(benchmark::State& state) {
    scenarios::Scenario s = scenarios::ten_components(models[state.range(0)]);
    apply_efficiency(s.rows, s.settings);
    const PeakPlacement placement = place_peaks(s.rows, s.settings);
    static const std::unique_ptr<Trace> trace = std::make_unique<Trace>();
    RandomGenerator generator;
    for (auto _ : state) {
        const SynthesisResult result = synthesize(s.rows, s.settings, placement, *trace, generator);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(trace->responses.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(labels[state.range(0)]);
}

}  // namespace

BENCHMARK(BM_shape_synthesis)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
