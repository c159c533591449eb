// The exponentially modified Gaussian term of a run: relative response x
// emg(x, peak, sigma, tau), evaluated with its constants found once, skipped
// where it is exactly 0 or rounds away in the running sum, with erf taken as
// +-1 where it saturates, and bounded in magnitude for TermSum.
#pragma once

#include <cstddef>

#include "models/term_bounds.h"

namespace elutrix::fast {

class EmgTerm {
public:
    EmgTerm(double a, double peak, double sigma, double tau, const Grid& grid);
    // Exactly a x emg(x, peak, sigma, tau), bit for bit.
    double operator()(double x) const;
    // Whether the term is evaluated the plain way (see term_bounds.h).
    bool plain() const { return plain_; }
    // As GaussianTerm::add_block; the erf evaluations of the block run
    // together.
    void add_block(long long first, std::size_t count, const double* x, double* sums, double* deltas,
                   double high) const;
    // Found without erf, the power or a division; none (low -infinity, high
    // NaN) for a term evaluated the plain way.
    MagnitudeBounds log2_bounds(double x) const { return log2_bounds(x, x); }
    // Bounds that hold at every x in [x0, x1].
    MagnitudeBounds log2_bounds(double x0, double x1) const;
    PointRange range;  // outside it the term is exactly 0

private:
    // x - peak, reflected for a fronting peak: exactly peak - x there.
    double signed_distance(double d) const { return tau_ < 0.0 ? -d : d; }
    // The model's z from that distance.
    double z_at(double signed_d) const;

    // log2 of an upper bound on |value| from log2 of one on the exact power.
    double high_of(double power) const;

    bool plain_ = false;
    double a_, peak_, sigma_, tau_, abs_tau_;
    double zero_;            // a x 0, what the exponent limit gives
    double saturated_erf_z_; // erf(z) where (x - peak) sign(tau) >= z_sat_start_: the sign of sigma
    double inv_tau_;         // 1 / tau, for the bounds only
    double log2_a_;          // log2 |a|
    double log2_scale_;      // log2 scale
    double log2_amp_;        // log2 |a| + log2 scale
    double min_shift_;       // the smallest of 0, log2 scale, and log2 of 2 scale and of 2 |a| scale
    double z_sat_start_;     // |z| >= 6, so erf(z) = sign(sigma), where (x - peak) sign(tau) is at least this
    double tail_start_;      // |erf(w) + erf(z)| >= 1 where (x - peak) sign(tau) is at least this
    double sigma_over_tau_;  // sigma / |tau|
    double e_offset_;        // sigma^2 / (tau (tau 2)), the part of the exponent that does not move
    double erf_w_;
    double scale_;           // 1 / (sqrt(pi) |tau|)
};

}  // namespace elutrix::fast
