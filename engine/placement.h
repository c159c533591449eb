#pragma once

#include <array>

#include "engine/inputs.h"

namespace elutrix {

// Where one row's peak lies and how it is shaped.
struct PlacedPeak {
    double peak = 0.0;    // retention time in seconds; 0 when the row has none
    double sigma = 0.0;   // standard deviation in seconds; 0 means no peak
    double tau = 0.0;     // decay constant of the EMG model, as entered
    double height = 0.0;  // relative response times the model's value at the centre
};

struct PeakPlacement {
    std::array<PlacedPeak, component_count> peaks{};
    int first_row = 0;        // enabled row with the earliest retention time
    int latest_row = 0;       // enabled row with the latest retention time
    double latest_tr = 0.0;   // latest retention time of an enabled row, minutes
    double ymax = 0.0;        // tallest height of an enabled row with a bandwidth
    double ymin = 1e100;      // smallest such height
};

// Places every row's peak. Derives retention times from resolutions (row by
// row, so chains resolve), writes "1" as the response of a derived row that
// has none, rewrites the resolution of every enabled row from the retention
// times, and finds the earliest and latest components and the tallest and
// smallest peaks. Throws RunError, naming the row, for inputs that have no
// defined result; cells written before that point keep their values.
PeakPlacement place_peaks(ComponentTable& rows, const SimulationSettings& settings);

// "Row 3" as the user numbers the rows.
std::string row_name(int index);

}  // namespace elutrix
