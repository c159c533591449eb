// The data file of a run, in one of three forms: the window's .xy, a CSV for
// spreadsheets, and the chromatography interchange file (ANDI/AIA) whose
// peak table holds the run's ground truth.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "engine/xy_file.h"
#include "formats/andi_file.h"
#include "generate/run.h"

namespace elutrix::generate {

// dataset: one netCDF-4 file for all replicates of a scenario (dataset_file.h).
enum class DataFormat { xy, csv, andi, dataset };

// "xy", "csv", "andi", "dataset"; nothing for any other name.
std::optional<DataFormat> data_format_named(std::string_view name);
const char* name_of(DataFormat format);
// ".xy", ".csv", ".cdf", ".nc".
const char* extension_of(DataFormat format);

// The CSV: a header line "time_min,response", then the lines of the .xy
// with LF line ends.
bool write_csv_lines(const Trace& trace, const ByteSink& sink, const XyTimeColumn* times = nullptr);

// What an interchange file says about the run besides its data.
struct RunLabel {
    std::string name;    // the scenario's
    std::string stem;    // the run's file names begin with it
    int replicate = 1;
    std::string source;  // the scenario file, when there is one
    std::chrono::system_clock::time_point made;  // when the file was made
};

// The moment files are stamped with: SOURCE_DATE_EPOCH when it holds a
// whole number of seconds, so that files can be made again byte for byte;
// otherwise now.
std::chrono::system_clock::time_point stamp_moment();

// The interchange record of a finished run: its trace, in seconds, and one
// peak per row of the ground truth. A peak's retention time is its apex
// time (the model's retention time when it has no apex), its area the
// trapezoid area over the run's grid, its width the half-height width, its
// start and end the crossings at 5 % of the apex height, with the run's
// baseline there; amounts are relative responses.
AndiChromatogram andi_record(const RunOutput& run, const Trace& trace, const RunLabel& label);

// Writes the run's data file at path, whole or not at all; an interchange
// file stores its numbers in the given precision. Returns false when it
// cannot be written, with the reason in error when one is known (the
// system's, or an interchange record the file cannot hold).
// times, when given, is the time column of the trace's grid (the .xy and
// the CSV then format only the responses).
bool write_data_file(const std::string& path, DataFormat format, const RunOutput& run, const Trace& trace,
                     const RunLabel& label, AndiPrecision precision, std::string* error = nullptr,
                     const XyTimeColumn* times = nullptr);

// "float", "double"; nothing for any other name.
std::optional<AndiPrecision> andi_precision_named(std::string_view name);

}  // namespace elutrix::generate
