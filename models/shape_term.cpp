#include "models/shape_term.h"

#include <algorithm>
#include <cmath>

#include "models/float_bits.h"
#include "models/peak_shapes.h"

namespace elutrix::fast {

namespace {

// The shapes are evaluated out to where their exponent reaches -800.
constexpr double exponent_reach = 800.0;
constexpr double reach_widening = 1.001;

}  // namespace

ShapeTerm::ShapeTerm(Shape shape, double a, double peak, double sigma, double tau, const Grid& grid)
    : shape_(shape), a_(a), peak_(peak), s_(std::fabs(sigma)), tau_(tau), ratio_(shapes::exact_emg_ratio(s_, tau)), factor_(a) {
    double before = 0.0;  // reach before and after the centre
    double after = 0.0;
    const double t = std::fabs(tau);
    if (shape == Shape::hybrid) {
        factor_ = a / shapes::hybrid_area(sigma, tau);
        // d^2 = R (2 s^2 + |tau| d) at d = (R |tau| + sqrt(R^2 tau^2 + 8 R s^2)) / 2 after the
        // centre, and at the other root before it (tailing side first).
        const double root = std::sqrt(exponent_reach * exponent_reach * (t * t) + 8.0 * exponent_reach * (s_ * s_));
        after = (exponent_reach * t + root) / 2.0;
        before = (root - exponent_reach * t) / 2.0;
    } else {
        // The Gaussian side: e^(-r^2 / 2) with r = d / s; the decay: e^E,
        // E = u^2 / 2 - d / |tau| with u = s / |tau|, past d = s^2 / |tau|.
        const double gaussian_reach = std::sqrt(2.0 * exponent_reach) * s_;
        before = gaussian_reach;
        after = gaussian_reach;
        if (t > 0.0) {
            const double u = s_ / t;
            if (u * u / 2.0 < exponent_reach) after = std::max(gaussian_reach, t * (u * u / 2.0 + exponent_reach));
        }
    }
    if (tau < 0.0) std::swap(before, after);
    before *= reach_widening;
    after *= reach_widening;
    if (!std::isfinite(before) || !std::isfinite(after) || !std::isfinite(peak)) {
        range = {1, grid.n};
    } else {
        range = grid.covering(peak - before, peak + after);
    }
    plain_ = !(std::isfinite(a) && std::isfinite(peak) && std::isfinite(factor_) && within_shortcut_range(sigma) &&
               (tau == 0.0 || within_shortcut_range(tau)));
    if (plain_) return;
    apex_ = peak + (shape == Shape::hybrid ? 0.0 : shapes::exact_emg_apex_offset(sigma, tau));
    apex_value_ = std::fabs((*this)(apex_));
    if (!std::isfinite(apex_value_)) plain_ = true;
}

double ShapeTerm::operator()(double x) const {
    const double d = x - peak_;
    // x - peak exactly: d + lo (TwoSum).
    const double bb = d - x;
    const double lo = std::isfinite(d) ? (x - (d - bb)) + (-peak_ - bb) : 0.0;
    const double v = shape_ == Shape::hybrid ? shapes::hybrid_unscaled_at(d, lo, s_, tau_)
                                             : shapes::exact_emg_at(d, lo, s_, tau_, ratio_);
    return factor_ * v;
}

void ShapeTerm::add_block(long long first, std::size_t count, const double* x, double* sums, double* deltas,
                          double high) const {
    for (std::size_t j = 0; j < count; ++j) {
        if (!range.contains(first + static_cast<long long>(j))) continue;
        if (deltas[j] == 0.0 && absorbs(sums[j], high)) continue;
        add_checked(sums[j], deltas[j], (*this)(x[j]));
    }
}

MagnitudeBounds ShapeTerm::log2_bounds(double x0, double x1) const {
    if (a_ == 0.0) return {minus_infinity, minus_infinity};
    if (plain_) return {minus_infinity, no_bound};
    const double v0 = std::fabs((*this)(x0));
    const double v1 = x1 == x0 ? v0 : std::fabs((*this)(x1));
    const double top = (x0 <= apex_ && apex_ <= x1) ? apex_value_ : std::max(v0, v1);
    const double bottom = std::min(v0, v1);
    // Values among the subnormals are rounded absolutely, not relatively:
    // below 2^-1000 only an upper bound of 2^-999 is given.
    constexpr double normal_part = 0x1p-1000;
    const double high = top < normal_part ? normal_floor + 1.0 : std::log2(top) + bound_margin;
    const double low = bottom < normal_part || high > normal_ceiling ? minus_infinity : std::log2(bottom) - bound_margin;
    return {low, high};
}

}  // namespace elutrix::fast
