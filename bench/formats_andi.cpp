// Writing a 1,000,000-point run with ten peaks as an interchange file, and
// as the data file of the same run for comparison, into the system's
// temporary folder:
//   formats_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/file_output.h"
#include "engine/xy_file.h"
#include "formats/andi_file.h"

namespace {

using namespace elutrix;

// A trace of Trace::capacity points on the run's grid with a smooth response.
const Trace& million_points() {
    static const std::unique_ptr<Trace> trace = [] {
        auto t = std::make_unique<Trace>();
        t->point_count = Trace::capacity;
        const double run_length = 900.0;
        for (std::int32_t i = 1; i <= t->point_count; ++i) {
            const double time = run_length * i / t->point_count;
            t->export_points[i] = {time, std::sin(time / 30.0) + 1e-3 * i};
        }
        return t;
    }();
    return *trace;
}

AndiChromatogram record() {
    AndiChromatogram c;
    c.dataset_date_time_stamp = c.injection_date_time_stamp = "20240101000000+0000";
    set_raw_data(c, million_points());
    for (int k = 0; k < 10; ++k) {
        AndiPeak p;
        p.name = "Component " + std::to_string(k + 1);
        p.retention_time = 60.0 * (k + 1);
        p.area = p.height = p.width = 1.0;
        c.peaks.push_back(p);
    }
    return c;
}

std::string target(const char* name) { return (std::filesystem::temp_directory_path() / name).string(); }

void BM_andi_file(benchmark::State& state) {
    const AndiChromatogram c = record();
    const std::string path = target("formats_bench.cdf");
    for (auto _ : state) {
        if (!write_andi_file(path, c)) state.SkipWithError("cannot write the file");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(std::filesystem::file_size(path)));
    std::filesystem::remove(path);
}

void BM_andi_file_with_record(benchmark::State& state) {
    const std::string path = target("formats_bench.cdf");
    for (auto _ : state) {
        if (!write_andi_file(path, record())) state.SkipWithError("cannot write the file");
    }
    std::filesystem::remove(path);
}

void BM_xy_file(benchmark::State& state) {
    const Trace& trace = million_points();
    const std::string path = target("formats_bench.xy");
    for (auto _ : state) {
        if (!replace_file(path, [&trace](const ByteSink& sink) { return write_xy_lines(trace, sink); }))
            state.SkipWithError("cannot write the file");
    }
    std::filesystem::remove(path);
}

}  // namespace

BENCHMARK(BM_andi_file)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_andi_file_with_record)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_xy_file)->Unit(benchmark::kMillisecond);
