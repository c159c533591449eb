// The synthesis of the program against the plain point-by-point loop, on the
// same inputs and in the same binary, so that their ratio comes from one run:
//   core_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// The plain loop is the one the tests hold every run to
// (reference/literal_synthesis.h), here evaluating the program's own models
// (ProgramModels): every model at every point, on one thread, with nothing
// skipped. Its time is what a run would take without the fast path; the
// tests run the same loop over the plain copy of the models, which gives
// the same doubles.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "engine/chromatogram.h"
#include "engine/inputs.h"
#include "engine/placement.h"
#include "engine/synthesis.h"
#include "models/noise.h"
#include "reference/literal_synthesis.h"
#include "reference/scenarios.h"

namespace {

using namespace elutrix;

using scenarios::Scenario;
using scenarios::make;

Trace& shared_trace() {
    static const std::unique_ptr<Trace> trace = std::make_unique<Trace>();
    return *trace;
}

void BM_synthesis_fast(benchmark::State& state) {
    Scenario s = make(static_cast<int>(state.range(0)));
    apply_efficiency(s.rows, s.settings);
    const PeakPlacement placement = place_peaks(s.rows, s.settings);
    Trace& trace = shared_trace();
    RandomGenerator generator;
    for (auto _ : state) {
        const SynthesisResult result = synthesize(s.rows, s.settings, placement, trace, generator);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(trace.responses.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(make(static_cast<int>(state.range(0))).name);
}

void BM_synthesis_literal(benchmark::State& state) {
    Scenario s = make(static_cast<int>(state.range(0)));
    apply_efficiency(s.rows, s.settings);
    const PeakPlacement placement = place_peaks(s.rows, s.settings);
    std::vector<double> times(Trace::capacity + 1);
    std::vector<double> responses(Trace::capacity + 1);
    RandomGenerator generator;
    for (auto _ : state) {
        const literal::SynthesisOutcome result =
            literal::synthesize<literal::ProgramModels>(s.rows, s.settings, placement, generator, times, responses);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(responses.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(make(static_cast<int>(state.range(0))).name);
}

// A whole run as "Update" starts it, without a window to draw on.
void BM_chromatogram_fast(benchmark::State& state) {
    const Scenario start = make(static_cast<int>(state.range(0)));
    Trace& trace = shared_trace();
    RandomGenerator generator;
    for (auto _ : state) {
        Scenario s = start;
        const RunResult result = chromatogram(s.rows, s.settings, trace, nullptr, generator);
        if (!result.ok) state.SkipWithError(result.message.c_str());
        benchmark::DoNotOptimize(trace.export_points.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(make(static_cast<int>(state.range(0))).name);
}

// The same run with the plain synthesis loop in place of the program's.
void BM_chromatogram_literal(benchmark::State& state) {
    const Scenario start = make(static_cast<int>(state.range(0)));
    Trace& trace = shared_trace();
    RandomGenerator generator;
    for (auto _ : state) {
        Scenario s = start;
        apply_efficiency(s.rows, s.settings);
        const PeakPlacement placement = place_peaks(s.rows, s.settings);
        const literal::SynthesisOutcome outcome = literal::synthesize<literal::ProgramModels>(
            s.rows, s.settings, placement, generator, trace.times, trace.responses);
        trace.point_count = static_cast<std::int32_t>(outcome.n);
        plot(trace, SynthesisResult{static_cast<std::int32_t>(outcome.n), outcome.r_max, outcome.r_min}, nullptr);
        benchmark::DoNotOptimize(trace.export_points.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(make(static_cast<int>(state.range(0))).name);
}

}  // namespace

BENCHMARK(BM_synthesis_fast)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_synthesis_literal)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_chromatogram_fast)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_chromatogram_literal)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
