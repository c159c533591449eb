#include "models/emg_term.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "models/constants.h"
#include "models/emg.h"
#include "models/fast_erf.h"
#include "models/float_bits.h"

namespace elutrix::fast {

namespace {

constexpr double c1 = 1.0 / constants::root_two;

// The bounds estimate the exponent E = e_offset - (x - peak) / tau with a
// product q by 1 / tau. The model's quotient rounds once, 1 / tau and the
// product once each: 3 roundings of |q|; the two subtractions one each, of
// |E| and of |estimate|. So the estimate lies within (|q| + |estimate|)
// 2^-51 of E, and 2^-48 leaves a factor 8 of room.
constexpr double exponent_estimate_room = 0x1p-48;

// log2 of the largest |erf(w) + erf(z)|: each erf lies in [-1, 1].
constexpr double log2_erf_sum_max = 1.0;

// The larger of two bounds; NaN when either is.
inline double max_or_nan(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
    return a > b ? a : b;
}

}  // namespace

inline double EmgTerm::z_at(double signed_d) const { return c1 * (signed_d / sigma_ - sigma_over_tau_); }

EmgTerm::EmgTerm(double a, double peak, double sigma, double tau, const Grid& grid)
    : a_(a), peak_(peak), sigma_(sigma), tau_(tau), abs_tau_(std::fabs(tau)) {
    sigma_over_tau_ = sigma / abs_tau_;
    e_offset_ = emg_exponent_offset(sigma, tau);
    erf_w_ = fast::erf(c1 * (peak / sigma + sigma / abs_tau_));
    scale_ = 1.0 / (constants::root_pi * abs_tau_);
    zero_ = a_ * 0.0;
    // The shortcuts need the largest power the model forms, e^600 times the
    // scale, to be finite: only then is a zero sum, or an underflowed power,
    // an exact zero after the multiplication.
    const double largest = std::pow(constants::e, constants::emg_exponent_limit) * scale_;
    plain_ = !(std::isfinite(a) && std::isfinite(peak) && within_shortcut_range(sigma) &&
               within_shortcut_range(tau) && std::isfinite(e_offset_) && std::isfinite(largest));
    if (plain_) {
        range = {1, grid.n};
        return;
    }
    inv_tau_ = 1.0 / tau;
    log2_a_ = std::log2(std::fabs(a_));
    log2_scale_ = std::log2(scale_);
    log2_amp_ = log2_a_ + log2_scale_;
    min_shift_ = std::min({0.0, log2_scale_, log2_scale_ + log2_erf_sum_max, log2_amp_ + log2_erf_sum_max});

    // The model is odd in sigma. With sigma = -s, (x - peak) / sigma and
    // sigma / |tau|, and so z and w, are the negatives of their values for s,
    // bit for bit (negation is exact and rounding is symmetric); erf is odd
    // exactly; E and the scale do not involve the sign. So erf(w) + erf(z)
    // is the negative of the sum for s, and where that sum is 0, at least 1
    // in magnitude, or has erf(z) = +-1, so is this one. The reasoning below
    // is done for s = |sigma|, with erf(w) of s, which is sign(sigma) erf(w).
    const double s = std::fabs(sigma);
    const double s_over_tau = std::fabs(sigma_over_tau_);  // s / |tau|, as the model rounds it
    const double erf_w_of_s = sigma < 0.0 ? -erf_w_ : erf_w_;
    saturated_erf_z_ = sigma < 0.0 ? -1.0 : 1.0;

    // With erf(w) of s exactly 1, the sum for s is at least 1 wherever z of s
    // is >= 0, that is where (x - peak) sign(tau) / s >= s / |tau|: from
    // s^2 / |tau|, widened by 2^-40 against its rounding, on.
    tail_start_ = (erf_w_of_s == 1.0 && std::isfinite(log2_amp_)) ? (s * s_over_tau) * (1.0 + cut_margin)
                                                                  : std::numeric_limits<double>::infinity();
    // z of s = c1 ((x - peak) sign(tau) / s - s / |tau|) >= 6 wherever
    // (x - peak) sign(tau) >= s (s / |tau| + 6 sqrt(2)) exactly; the widening
    // by 2^-40 of the whole covers every rounding on the way to z.
    z_sat_start_ = (s * (s_over_tau + erf_saturation * constants::root_two)) * (1.0 + cut_margin);

    // Along the peak's rising side (before a tailing peak, after a fronting
    // one) the term is exactly 0 where the exponent exceeds 600, and, when
    // erf(w) of s is exactly 1, also where erf(z) of s is exactly -1 (the sum
    // then vanishes). On its decaying side it is 0 where the power
    // underflows. Distances are measured from the centre in the direction of
    // the tail. Each cut-off is widened by 2^-40 of the magnitudes whose
    // roundings move it: the cut-off itself (and so x - peak near it), and
    // for the exponent E = e_offset - (x - peak) / tau the terms of that
    // difference, |e_offset| and the limit, in units of |tau|; for z the
    // terms of its difference, s / |tau| and 6 sqrt(2), in units of s.
    const double e_cut_room = (std::fabs(e_offset_) - power_underflow) * abs_tau_;
    const double e_rise_cut = (e_offset_ - constants::emg_exponent_limit) * abs_tau_;  // E > 600 before this
    double lo = e_rise_cut - (std::fabs(e_rise_cut) + e_cut_room) * cut_margin;
    if (erf_w_of_s == 1.0) {
        const double z_cut = s * (s_over_tau - erf_saturation * constants::root_two * reach_margin);
        const double z_room = s * (s_over_tau + erf_saturation * constants::root_two);
        const double z_lo = z_cut - (std::fabs(z_cut) + z_room) * cut_margin;
        if (z_lo > lo) lo = z_lo;
    }
    const double decay_cut = (e_offset_ - power_underflow) * abs_tau_;  // E < -746 after this
    const double hi = decay_cut + (std::fabs(decay_cut) + e_cut_room) * cut_margin;
    // An overflowing product gives +-infinity, never NaN; were it NaN the
    // whole run is covered.
    if (std::isnan(lo) || std::isnan(hi)) {
        range = {1, grid.n};
    } else if (tau < 0.0) {
        range = grid.covering(peak - hi, peak - lo);
    } else {
        range = grid.covering(peak + lo, peak + hi);
    }
}

double EmgTerm::operator()(double x) const {
    const double d = x - peak_;
    const double z = z_at(signed_distance(d));
    const double E = emg_exponent(e_offset_, d, tau_);
    // The model gives 0 here, and the synthesis adds a x 0.
    if (E > constants::emg_exponent_limit) return zero_;
    if (plain_) {
        // The model's own steps: the power times the scale may overflow, and
        // a zero sum or power times it is then not 0.
        return a_ * ((erf_w_ + fast::erf(z)) * (std::pow(constants::e, E) * scale_));
    }
    const double sum = erf_w_ + fast::erf(z);
    // pow(e, E) x scale is finite and >= +0, and +0 when the power underflows,
    // so the model gives sum x (+0) wherever sum is 0 or the power underflows.
    if (sum == 0.0 || E < power_underflow) return a_ * (sum * 0.0);
    return a_ * (sum * (std::pow(constants::e, E) * scale_));
}

double EmgTerm::high_of(double power) const {
    // The value is a (sum (pow scale)) with |sum| <= 2. While every step
    // stays above 2^-1000 its rounding is relative, and the margin covers
    // them all with the error of pow and of the logarithms. Lower down a
    // subnormal result may be off by up to 2^-1074 at each step.
    if (power + min_shift_ >= normal_floor) return power + log2_amp_ + log2_erf_sum_max + bound_margin;
    double u = subnormal_step(power, 0.0);
    u = subnormal_step(u, log2_scale_);
    u = subnormal_step(u, log2_erf_sum_max);
    u = subnormal_step(u, log2_a_);
    return u + 1.0;  // one binade more: a strict bound
}

MagnitudeBounds EmgTerm::log2_bounds(double x0, double x1) const {
    if (plain_) return {minus_infinity, no_bound};
    // a x (the model's finite value) is a signed zero for a = 0.
    if (a_ == 0.0) return {minus_infinity, minus_infinity};
    // The model's exponent is E = e_offset - (x - peak) / tau for either sign
    // of tau (dividing by |tau| = -tau only flips the sign), and lies within
    // err of the estimate. E moves monotonically with x, so over [x0, x1] it
    // lies between its values at the ends.
    const double q0 = (x0 - peak_) * inv_tau_;
    const double q1 = (x1 - peak_) * inv_tau_;
    const double estimate0 = e_offset_ - q0;
    const double estimate1 = e_offset_ - q1;
    const double err0 = (std::fabs(q0) + std::fabs(estimate0)) * exponent_estimate_room;
    const double err1 = (std::fabs(q1) + std::fabs(estimate1)) * exponent_estimate_room;
    // Beyond the exponent limit the model gives exactly 0.
    if (estimate0 - err0 > constants::emg_exponent_limit && estimate1 - err1 > constants::emg_exponent_limit) {
        return {minus_infinity, minus_infinity};
    }
    // log2 of the power from above and from below (see log2_e_room).
    const double e_high = max_or_nan(estimate0 + err0, estimate1 + err1);
    const double power_high = e_high * log2_e + std::fabs(e_high) * log2_e_room;
    const double high = high_of(power_high);
    double low = minus_infinity;
    // x - peak in the direction of the tail, exactly; the smaller end.
    const double sd = tau_ < 0.0 ? -(x1 - peak_) : x0 - peak_;
    if (sd >= tail_start_) {
        const double e_low = estimate0 - err0 < estimate1 - err1 ? estimate0 - err0 : estimate1 - err1;
        const double power = e_low * log2_e - std::fabs(e_low) * log2_e_room;
        const double l = power + log2_amp_ - bound_margin;  // the sum is at least 1
        // Only where the power and every product are normal numbers, whose
        // roundings are relative and which the margin covers.
        if (power + std::min(0.0, log2_scale_ + std::min(0.0, log2_a_)) >= normal_floor && high <= normal_ceiling) {
            low = l;
        }
    }
    return {low, high};
}

void EmgTerm::add_block(long long first, std::size_t count, const double* x, double* sums, double* deltas,
                        double high) const {
    if (plain_) {
        // No bound (high is NaN), so nothing is absorbed; every point counts.
        for (std::size_t j = 0; j < count; ++j) {
            if (range.contains(first + static_cast<long long>(j))) add_checked(sums[j], deltas[j], (*this)(x[j]));
        }
        return;
    }
    // Points whose erf(z) is still to be found, with their z and exponent.
    double z_of[block_points] = {};
    double e_of[block_points];
    double erf_of[block_points];
    std::size_t point_of[block_points];
    std::size_t waiting = 0;
    for (std::size_t j = 0; j < count; ++j) {
        // As for the Gaussian: exactly +-0 outside the range, or absorbed.
        if (!range.contains(first + static_cast<long long>(j))) continue;
        if (deltas[j] == 0.0 && absorbs(sums[j], high)) continue;
        const double d = x[j] - peak_;
        const double E = emg_exponent(e_offset_, d, tau_);
        // The model gives 0, and a x 0 changes no sum.
        if (E > constants::emg_exponent_limit) continue;
        const double sd = signed_distance(d);
        if (!(sd >= z_sat_start_)) {
            z_of[waiting] = z_at(sd);
            e_of[waiting] = E;
            point_of[waiting++] = j;
            continue;
        }
        // z is sign(sigma) times a z of |sigma| that is >= 6: erf(z) is +-1.
        const double sum = erf_w_ + saturated_erf_z_;
        // sum x (+0) is a signed zero, which changes no sum.
        if (sum == 0.0 || E < power_underflow) continue;
        add_checked(sums[j], deltas[j], a_ * (sum * (std::pow(constants::e, E) * scale_)));
    }
    erf_many(z_of, erf_of, waiting);
    for (std::size_t k = 0; k < waiting; ++k) {
        const double sum = erf_w_ + erf_of[k];
        if (sum == 0.0 || e_of[k] < power_underflow) continue;
        const std::size_t j = point_of[k];
        add_checked(sums[j], deltas[j], a_ * (sum * (std::pow(constants::e, e_of[k]) * scale_)));
    }
}

}  // namespace elutrix::fast
