#pragma once

namespace elutrix {

// The shape of the baseline: none, a straight ramp or a parabola.
enum class BaselineShape { flat, linear, quad };

// The baseline settings of a run, with the percentage already read as a
// number (the engine reads it from its text).
struct BaselineSettings {
    BaselineShape shape = BaselineShape::flat;
    bool linear_down = false;
    bool quad_down = false;
    double percentage = 0.0;  // baseline at the end of the run, in % of ymax
};

// Baseline contribution at position x of a run of length maxtime (same unit):
// nothing, a straight ramp or a parabola, rising or falling, reaching
// percentage % of ymax at the end of the run.
double baseline(double x, double ymax, double maxtime, const BaselineSettings& settings);

}  // namespace elutrix
