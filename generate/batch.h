// A batch: every replicate of every scenario of some scenario files, spread
// over the cores, each run's files written into one output folder, and a
// manifest.csv that lists every run, its files and its status.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/synthesis.h"
#include "generate/data_file.h"
#include "generate/scenario.h"
#include "models/noise.h"

namespace elutrix::generate {

struct BatchOptions {
    std::string out_dir = ".";
    std::optional<int> replicates;  // for every scenario, in place of its own
    DataFormat format = DataFormat::xy;  // of the data file, NAME.xy, NAME.csv or NAME.cdf, or NAME.nc for all runs
    int compress = 0;  // a dataset file's zlib level, 0 for none
    AndiPrecision andi_precision = AndiPrecision::float32;  // of NAME.cdf's numbers
    bool components = false;        // also write NAME.components.csv
    unsigned threads = 0;           // 0: one per core
    // Called on the calling thread about ten times a second while the batch
    // runs, and once when it is done.
    std::function<void(std::size_t done, std::size_t total)> progress;
};

struct BatchReport {
    std::size_t runs_written = 0;
    // One line per scenario that wrote no file, and per file that could not
    // be read: the scenario's name, its file and the message.
    std::vector<std::string> failures;
    // One line per clipped peak (see clipping_warning) of every scenario
    // that was written, whichever replicates it was clipped in.
    std::vector<std::string> warnings;
    bool ok() const { return failures.empty(); }
};

// A scenario file as read, with the path its messages name.
struct ScenarioSource {
    std::string path;
    ScenarioFile file;
};

// Runs every scenario. A scenario that cannot be read, whose run stops with
// a message or whose files cannot be written leaves no file of it (files of
// its other replicates written before are removed again); the others go on.
BatchReport run_batch(const std::vector<ScenarioSource>& sources, const BatchOptions& options);

// The same for DataFormat::dataset: every scenario's replicates into one
// NAME.nc (see dataset_file.h) written as they are made, and a manifest
// line per scenario. run_batch hands such a batch to it.
BatchReport run_dataset_batch(const std::vector<ScenarioSource>& sources, const BatchOptions& options);

// Reads the files and runs them.
BatchReport run_batch(const std::vector<std::string>& files, const BatchOptions& options);

// Calls run(i, trace, generator) for every i from 0 to count - 1, in order
// of i over threads workers (0: one per core), each with a trace and a
// random generator of its own; a single worker is the calling thread. The
// traces are kept for later calls. When run, or making a worker's trace,
// throws, failed(i, what) is called instead, and the others go on.
// Meanwhile the calling thread calls progress (when given) as BatchOptions
// says.
using RunBody = std::function<void(std::size_t i, Trace& trace, RandomGenerator& generator)>;
using RunFailure = std::function<void(std::size_t i, const std::string& what)>;
void for_each_run(std::size_t count, unsigned threads, const RunBody& run, const RunFailure& failed,
                  const std::function<void(std::size_t done, std::size_t total)>& progress = {});

}  // namespace elutrix::generate
