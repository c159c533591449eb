// One file for many replicates of a scenario: a netCDF-4 (HDF5) file with
// the shared time grid, every replicate's response as a row of a
// replicates x points array, their seeds, and the ground truth of every
// peak of every replicate, each peak table column a replicates x peaks
// variable (a text column, the same in every replicate, a peak variable).
// It is written in blocks of replicates, so that a batch need not
// hold them all at once, under a temporary name beside its path that takes
// the path only once the file is complete.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "generate/run.h"
#include "generate/scenario.h"

namespace elutrix::generate {

// What the file holds and how large it is.
struct DatasetLayout {
    std::size_t replicates = 0;
    std::size_t points = 0;
    std::size_t peaks = 0;       // every replicate's peak table has as many
    // Replicate 1's peak table: its text columns (the peak models), which
    // every replicate shares, are variables over the peaks alone.
    std::vector<PeakTruth> first_peaks;
    int first_replicate = 1;     // the number of the file's first replicate
    bool components = false;     // noise_free, baseline and every component's term
    bool wander = false;         // and the detector's wander
    std::vector<int> component_rows;  // the components' rows, 1-based
    int compress = 0;            // zlib level 1 .. 9 (with byte shuffling), 0 for none
};

// The longest run of replicates one chunk of the file holds, and therefore
// the block size that writes whole chunks: about a megabyte of rows.
std::size_t dataset_chunk_replicates(const DatasetLayout& layout);

// Replicates first .. first + count - 1 of the file (0-based), their rows
// one after another, points values each.
struct DatasetBlock {
    std::size_t first = 0;
    std::size_t count = 0;
    std::vector<double> seeds;            // count seeds
    const std::vector<PeakTruth>* peaks = nullptr;  // the truth, the same in every replicate
    const double* response = nullptr;
    // With components: the same rows of each part (wander only with one).
    const double* noise_free = nullptr;
    const double* baseline = nullptr;
    const double* wander = nullptr;
    std::vector<const double*> components;  // one per component row
};

// A dataset file being written. Every call returns false once something
// failed, with the reason in error(); the temporary file is then gone, and
// so it is when the object goes before finish() succeeded.
class DatasetFile {
public:
    DatasetFile() = default;
    DatasetFile(const DatasetFile&) = delete;
    DatasetFile& operator=(const DatasetFile&) = delete;
    ~DatasetFile();

    // Starts the file for path: its layout, the grid (layout.points times,
    // in minutes) and the scenario, recorded with the program's version.
    bool create(const std::string& path, const DatasetLayout& layout, const double* time_min,
                const Scenario& scenario, const std::string& source);
    // Writes a block; blocks may come in any order, each replicate once.
    bool write(const DatasetBlock& block);
    // Completes the file, brings it to the storage device and gives it its
    // path, replacing a file of that name.
    bool finish();

    // For a program: a signal that ends it by default (SIGINT, SIGTERM,
    // SIGHUP, SIGQUIT) and that no other part of it handles, arriving while
    // the temporary file exists, removes that file first and then ends the
    // program as it would have. Called before create; one file at a time.
    void remove_on_signal();

    const std::string& error() const { return error_; }

private:
    bool fail(const std::string& why);
    void abandon();

    std::string path_;
    std::string temporary_;
    DatasetLayout layout_;
    int id_ = -1;
    int response_ = -1, seed_ = -1, noise_free_ = -1, baseline_ = -1, wander_ = -1, components_ = -1;
    std::vector<int> peak_vars_;  // per peak column
    std::string error_;
    std::vector<int> signals_;  // whose handler remove_on_signal set
};

// The scenario as the file's "scenario" attribute holds it: the scenario
// form of its rows, settings, detector and suite label, as JSON.
std::string scenario_text(const Scenario& scenario);

}  // namespace elutrix::generate
