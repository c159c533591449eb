// The inputs of one simulation run: the ten-row component table, the other
// settings of the window, and the two conversions between window texts and
// numbers.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "models/baseline.h"
#include "models/noise.h"

namespace elutrix {

// One row of the component table. Every field holds the text of one cell:
// what the user typed, or what the last run wrote there.
struct ComponentRow {
    bool enabled = false;
    std::string retention_time;     // minutes
    std::string relative_response;  // relative peak area
    std::string plates;             // plate count N
    std::string tau;                // decay constant of the EMG model
    std::string resolution;         // resolution relative to the previous row
};

inline constexpr int component_count = 10;
using ComponentTable = std::array<ComponentRow, component_count>;

enum class EfficiencyChoice { lc, gc, custom, custom_individual };
// The window offers the first two; scenarios also the field's tailing
// shapes, whose area is the relative response (models/peak_shapes.h).
enum class PeakModel { Gaussian, ExponentiallyModifiedGaussian, ExactExponentiallyModifiedGaussian, ExponentialGaussianHybrid };

// Every input of a run apart from the component table.
struct SimulationSettings {
    EfficiencyChoice efficiency = EfficiencyChoice::lc;
    std::string custom_plates;
    PeakModel peak_model = PeakModel::Gaussian;
    bool constant_bandwidth = false;
    std::string void_minutes;
    std::string sampling_rate = "20";
    BaselineShape baseline_shape = BaselineShape::flat;
    bool linear_down = false;
    bool quad_down = false;
    std::string baseline_percentage;
    NoiseKind noise_kind = NoiseKind::omit;
    bool level_by_s_to_n = false;
    bool level_by_value = false;
    std::string s_to_n_percent;
    std::string s_to_n_value;
    bool use_seed = false;
    std::string seed = "1";
};

// The simulated run lasts 1.5 times the latest retention time.
inline constexpr double run_length_factor = 1.5;
inline constexpr int lc_plates = 10000;
inline constexpr int gc_plates = 100000;

// Reads the leading number of a text: leading blanks skipped, an optional
// sign, digits with at most one period, an optional exponent (E or e, an
// optional sign, digits); blanks, tabs and line breaks inside the number are
// skipped and reading stops at the first character that cannot continue it.
// A text without a leading number reads 0. The period is the decimal point
// whatever the locale. A number too large for a double reads as an infinity
// of its sign, which the run reports rather than uses.
double text_value(std::string_view text);

// Writes a number as the window shows it: at most 15 significant digits,
// no trailing zeros, a period as the decimal point, no point for whole
// numbers, and an exponent ("1e+20", "1.5e-07") only where the plain form
// would need more than 15 digits. text_value reads every result back.
std::string value_text(double value);

// The room one number text of value_text's form can take: a sign, 15
// digits, a point and "e-308".
inline constexpr std::size_t number_text_room = 24;

// Writes value_text(value) at out, which has at least number_text_room bytes
// of room, and returns the end of the text. The data file writes its
// numbers with it.
char* put_number(char* out, double value);

// The baseline settings of a run, with the percentage read from its text.
BaselineSettings read_baseline(const SimulationSettings& settings);

// The factory component table: row 1 on with retention time 1, relative
// response "1.00", 10000 plates and tau 1; the other rows empty and off.
ComponentTable factory_table();

// The first step of every run: the efficiency preset is written into the
// plate count of every enabled row that has a relative response or a
// resolution.
void apply_efficiency(ComponentTable& rows, const SimulationSettings& settings);

}  // namespace elutrix
