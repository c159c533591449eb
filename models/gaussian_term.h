// The Gaussian term of a run: relative response x gaussian(x, peak, sigma),
// evaluated with its constants found once, skipped where it is exactly 0 or
// rounds away in the running sum, and bounded in magnitude for TermSum.
#pragma once

#include <cstddef>

#include "models/term_bounds.h"

namespace elutrix::fast {

class GaussianTerm {
public:
    GaussianTerm(double a, double peak, double sigma, const Grid& grid);
    // Exactly a x gaussian(x, peak, sigma), bit for bit.
    double operator()(double x) const;
    // Whether the term is evaluated the plain way (see term_bounds.h).
    bool plain() const { return plain_; }
    // Adds the term at points first, first + 1, ... (times x[0], x[1], ...)
    // to sums[0 .. count - 1] (count at most block_points), at every point
    // where it is not exactly 0 and where adding something below 2^high
    // could change the sum. The plain running sum of point j lies within
    // deltas[j] of sums[j]; see TermSum.
    void add_block(long long first, std::size_t count, const double* x, double* sums, double* deltas,
                   double high) const;
    // Found without the power. A term evaluated the plain way has no
    // bounds: low is -infinity and high NaN.
    MagnitudeBounds log2_bounds(double x) const;
    // Bounds that hold at every x in [x0, x1].
    MagnitudeBounds log2_bounds(double x0, double x1) const;
    PointRange range;  // outside it the term is exactly 0

private:
    // log2 of an upper bound on |value| from log2 of one on the exact power.
    double high_of(double power) const;

    bool plain_ = false;
    double a_, peak_, c_, s_;
    double zero_;       // the signed zero a (0 c) that an underflowed power gives
    double inv_s_;      // 1 / s, for the bounds only
    double log2_a_;     // log2 |a|
    double log2_c_;     // log2 |c|
    double log2_amp_;   // log2 |a| + log2 |c|
    double min_shift_;  // the smallest of 0, log2 |c| and log2 |a c|
};

}  // namespace elutrix::fast
