// What the fast evaluators of a run share: the grid and the index ranges
// outside which a term is exactly 0, the bounds on a term's magnitude, and
// the named thresholds and margins on which the proofs of their shortcuts
// rest, each with its derivation.
//
// The proofs take every constant of a term as a normal double with a
// relative rounding error. A term whose bandwidth or decay constant lies
// outside [2^-300, 2^300] in magnitude, or whose response, centre or other
// constants are not finite, is evaluated the plain way: at every point, with
// no bound, so nothing of it is ever left out.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

namespace elutrix::fast {

// The index window [first, last] of grid points outside which a term is
// exactly zero; empty when first > last.
struct PointRange {
    long long first = 1;
    long long last = 0;
    bool contains(long long i) const { return i >= first && i <= last; }
};

// Grid points are widened by this many on each side of a range, so that
// the rounding of the grid's times (a few units of 2^-53) never loses one.
inline constexpr double grid_widening_points = 2.0;

// Maps a time in seconds to grid indices of a run whose point i lies at
// step x i seconds (step = 90 x latest retention time / n).
struct Grid {
    long long n = 0;
    double step = 0.0;
    // The points whose time may lie in [lo, hi], widened on each side.
    PointRange covering(double lo, double hi) const {
        PointRange r;
        if (n < 1 || !(lo <= hi)) return r;
        const double first = std::floor(lo / step) - grid_widening_points;
        const double last = std::ceil(hi / step) + grid_widening_points;
        r.first = first < 1.0 ? 1 : (first > double(n) ? n + 1 : static_cast<long long>(first));
        r.last = last > double(n) ? n : (last < 0.0 ? 0 : static_cast<long long>(last));
        return r;
    }
};

// Bounds on the magnitude of a term at one x, or at every x of an interval:
// 2^low < |value| < 2^high.
// low is -infinity where no lower bound is known, high is -infinity where the
// value is exactly 0. Both lie within a few units of log2 |value|.
struct MagnitudeBounds {
    double low;
    double high;
};

inline constexpr double minus_infinity = -std::numeric_limits<double>::infinity();
inline constexpr double no_bound = std::numeric_limits<double>::quiet_NaN();

// The most points a term adds in one block.
inline constexpr std::size_t block_points = 32;

// The magnitudes of bandwidth and decay constant for which the shortcuts are
// proven. Their squares, reciprocals, products and quotients are then
// normal doubles (2^-600 is far above 2^-1022), so every rounding on the way
// is relative, which the margins of the bounds and cut-offs assume.
inline constexpr double shortcut_low = 0x1p-300;
inline constexpr double shortcut_high = 0x1p300;
inline bool within_shortcut_range(double v) {
    const double m = std::fabs(v);
    return m >= shortcut_low && m <= shortcut_high;
}

// pow(e, y) is exactly +0 for every y below this: e^y falls below half the
// smallest subnormal, 2^-1075, from y = -1075 ln 2 = -745.13 on.
inline constexpr double power_underflow = -746.0;

// log2 of a magnitude above which every step of a term is surely a normal
// number, rounded relatively: the estimates of log2 |step| are off by far
// less than the 22 binades down to the smallest normal, 2^-1022.
inline constexpr double normal_floor = -1000.0;
// log2 of a magnitude below which a term and its steps are surely finite:
// 24 binades below the overflow at 2^1024. Lower bounds are given only here.
inline constexpr double normal_ceiling = 1000.0;
// log2 of the smallest subnormal, 2^-1074, by which a step that lands below
// the normal numbers may round.
inline constexpr double subnormal_floor = -1074.0;

// log2 of an upper bound on one step of a term that may land among the
// subnormals: log2 of a bound on its input plus log2 of its factor, at least
// 2^-1074, and doubled (+1) for the rounding of up to 2^-1074.
inline double subnormal_step(double log2_input, double log2_factor) {
    const double u = log2_input + log2_factor;
    return (u < subnormal_floor ? subnormal_floor : u) + 1.0;
}

// Margin of the magnitude bounds where every step of a term is a normal
// number: a factor 2^(2^-20), far more than the few roundings of a term
// (2^-53 each), the error of the power (below 2^-52) and of the logarithms.
inline constexpr double bound_margin = 0x1p-20;

// log2(e), and the room around it for the bounds. pow(e, y) of the stored
// e lies within 1 ulp of 2^(y log2 e'), where log2 e' of the stored
// 2.71828182845905 lies 2^-48.5 above log2 e. Moving log2 e by 2^-40 covers,
// in proportion to y, that difference, the rounding of this double and of
// the products with it (2^-53 each) and the estimate of y (a few roundings);
// the ulp of pow and the error of the logarithms are in bound_margin.
inline constexpr double log2_e = 1.4426950408889634;
inline constexpr double log2_e_room = 0x1p-40;
inline constexpr double log2_e_low = log2_e - log2_e_room;
inline constexpr double log2_e_high = log2_e + log2_e_room;

// Relative widening of a computed cut-off against the roundings of the
// quantities it is compared with: a few units of 2^-53 each, and 2^-40 is
// more than 2^12 of them.
inline constexpr double cut_margin = 0x1p-40;
// Widening of a distance found with a square root or a sum of two constants
// so that its rounding (a few units of 2^-53) never moves a point that is
// not exactly 0 outside a range: 10^-9 relative.
inline constexpr double reach_margin = 1.0 + 1e-9;

}  // namespace elutrix::fast
