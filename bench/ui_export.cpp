// Writing a full 1,000,000-point trace to a data file.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QString>
#include <cmath>
#include <memory>
#include <random>

#include "engine/synthesis.h"
#include "ui/datafile.h"

namespace {

// A Gaussian peak at 25 min sampled at 1000 points per second over 16.7 min
// of a run, with uniform noise: ordinary doubles with long digit strings.
std::unique_ptr<elutrix::Trace> noisy_peak_trace() {
    auto trace = std::make_unique<elutrix::Trace>();
    std::mt19937 engine(12345);
    std::uniform_real_distribution<double> noise(-0.0005, 0.0005);
    const double centre = 500.0;
    const double sigma = 4.0;
    const double height = 1.0 / (sigma * 2.506628275);
    for (std::int32_t i = 1; i <= elutrix::Trace::capacity; ++i) {
        const double t = i / 1000.0;
        const double z = (t - centre) / sigma;
        trace->export_points[i] = {t, height * std::exp(-0.5 * z * z) + noise(engine)};
    }
    trace->point_count = elutrix::Trace::capacity;
    return trace;
}

void write_million_points(benchmark::State& state, const QString& folder) {
    static const std::unique_ptr<elutrix::Trace> trace = noisy_peak_trace();
    if (!QDir(folder).exists()) {
        state.SkipWithError("no such folder");
        return;
    }
    const QString path = folder + QStringLiteral("/elutrix_bench_export.xy");
    for (auto _ : state) {
        if (!elutrix::ui::write_datafile(path, *trace)) {
            state.SkipWithError("the data file could not be written");
            break;
        }
    }
    state.counters["bytes"] = static_cast<double>(QFile(path).size());
    state.SetItemsProcessed(state.iterations() * trace->point_count);
    QFile::remove(path);
}

// To a file on disk: the time includes waiting for the data to reach the
// disk before the new file replaces the old one.
void BM_WriteDatafileMillionPoints(benchmark::State& state) { write_million_points(state, QDir::tempPath()); }
BENCHMARK(BM_WriteDatafileMillionPoints)->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);

// To a file in memory: formatting and writing alone.
void BM_WriteDatafileMillionPointsInMemory(benchmark::State& state) { write_million_points(state, QStringLiteral("/dev/shm")); }
BENCHMARK(BM_WriteDatafileMillionPointsInMemory)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

}  // namespace
