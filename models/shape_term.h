// A run's term for one of the field's tailing shapes (peak_shapes.h):
// relative response x the unit-area shape, evaluated at the grid points
// within its reach and added to the running sum in row order wherever it
// can change it. Its magnitude bounds come from the shape itself: it is
// unimodal (log-concave), so over an interval it is largest at the apex or
// the end nearer to it and smallest at the other end, and its evaluation is
// accurate to far within bound_margin. Terms with extreme constants (see
// term_bounds.h) have no bounds and are added at every point of their range.
#pragma once

#include <array>

#include <cstddef>

#include "models/term_bounds.h"

namespace elutrix::fast {

enum class Shape { exact_emg, hybrid };

class ShapeTerm {
public:
    ShapeTerm(Shape shape, double a, double peak, double sigma, double tau, const Grid& grid);
    double operator()(double x) const;
    bool plain() const { return plain_; }
    void add_block(long long first, std::size_t count, const double* x, double* sums, double* deltas,
                   double high) const;
    MagnitudeBounds log2_bounds(double x0, double x1) const;
    MagnitudeBounds log2_bounds(double x) const { return log2_bounds(x, x); }
    // Outside it the shape lies below e^-800 of its scale: 0 in doubles, or
    // far below 10^-300 of the apex.
    PointRange range;

private:
    bool plain_ = false;
    double apex_ = 0.0;        // time of the apex
    double apex_value_ = 0.0;  // |value| there
    Shape shape_;
    double a_, peak_, s_, tau_;
    std::array<double, 2> ratio_{};  // s / |tau| for the exact shape
    double factor_;  // a, divided by the hybrid's area
};

}  // namespace elutrix::fast
