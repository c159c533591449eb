// Writing a full 1,000,000-point trace to a data file.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QString>
#include <memory>

#include "engine/synthesis.h"
#include "export_trace.h"
#include "ui/datafile.h"

namespace {

void write_million_points(benchmark::State& state, const QString& folder) {
    static const std::unique_ptr<elutrix::Trace> trace = elutrix::bench::noisy_peak_trace();
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
//   ui_bench --benchmark_filter=WriteDatafile
void BM_WriteDatafileMillionPoints(benchmark::State& state) { write_million_points(state, QDir::tempPath()); }
BENCHMARK(BM_WriteDatafileMillionPoints)->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);

// To a file in memory: formatting and writing alone.
void BM_WriteDatafileMillionPointsInMemory(benchmark::State& state) { write_million_points(state, QStringLiteral("/dev/shm")); }
BENCHMARK(BM_WriteDatafileMillionPointsInMemory)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

}  // namespace
