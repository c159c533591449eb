// The columns of a run's peak table (NAME.peaks.csv), in its order: their
// names, what kind of value each holds and how it is read from a peak's
// truth. The peak table, the Python package's structured arrays and the
// dataset file all take their columns from here.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "generate/ground_truth.h"

namespace elutrix::generate {

enum class PeakColumnKind {
    row,      // the component's row, 1-based
    text,     // the peak model's name
    number,   // a figure every peak has
    figure,   // a figure a peak may lack (empty in the table, NaN in arrays)
    flag,     // true or false
};

struct PeakColumn {
    const char* name;
    PeakColumnKind kind;
    const char* units;      // in the dataset file ("1": a pure number)
    const char* long_name;  // in words
    // A number or a figure, or nothing where the peak lacks it.
    std::optional<double> (*number)(const PeakTruth&) = nullptr;
    // Only a run through a detector's time constant fills the column: the
    // table has it only when a peak of the run does.
    bool detector_only = false;
};

// Every column, in the table's order.
std::span<const PeakColumn> peak_columns();

// The value of a row, flag or number column as a number: the row number,
// 0 or 1, or the figure (NaN where the peak lacks it). Text columns give NaN.
double peak_value(const PeakColumn& column, const PeakTruth& peak);

// The text of a text column (the peak model's name).
std::string_view peak_text(const PeakColumn& column, const PeakTruth& peak);

}  // namespace elutrix::generate
