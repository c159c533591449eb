// A 1,000,000-point run (ten tailing peaks, 1 to 10 min) made as
// elutrix-generate makes it, with its ground truth, without a detector and
// with every stage of one (wander, time constant, pink noise, spikes,
// saturation, quantization), in the same binary:
//   generate_bench --benchmark_filter=detector --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// The goal: the stages add at most 20 %.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "generate/run.h"
#include "generate/scenario.h"

namespace {

using namespace elutrix;
using namespace elutrix::generate;

std::string scenario_text(bool detector) {
    std::string rows;
    for (int k = 1; k <= 10; ++k) {
        rows += std::string(k > 1 ? "," : "") + R"({"enabled": true, "retention_time": )" + std::to_string(k) +
                R"(, "relative_response": 1, "tau": )" + std::to_string(k) + "}";
    }
    std::string text = R"({"seed": 1, "rows": [)" + rows +
                       R"(], "settings": {"peak_model": "ExactExponentiallyModifiedGaussian", "sampling_rate": "1111.111"})";
    if (detector) {
        text += R"(, "detector": {"wander": {"sd": 0.001, "period_min": 2}, "time_constant_s": 0.5,
                  "noise": {"kind": "pink", "sd": 0.0005}, "spikes": {"rate_per_min": 1, "height": 0.01},
                  "saturation": {"high": 1}, "quantization": 1e-6})";
    }
    return text + "}";
}

void BM_detector_run(benchmark::State& state) {
    const Scenario scenario = scenario_from_json(nlohmann::json::parse(scenario_text(state.range(0) != 0)), "run");
    static const std::unique_ptr<Trace> trace = std::make_unique<Trace>();
    RandomGenerator generator;
    for (auto _ : state) {
        const RunOutput out = run_replicate(scenario, "1", *trace, generator);
        if (!out.ok || out.point_count != 1000000) state.SkipWithError("the run failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(state.range(0) ? "every detector stage" : "no detector");
}

}  // namespace

BENCHMARK(BM_detector_run)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
