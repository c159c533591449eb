#include "models/gaussian_term.h"

#include <algorithm>
#include <cmath>

#include "models/constants.h"
#include "models/float_bits.h"

namespace elutrix::fast {

GaussianTerm::GaussianTerm(double a, double peak, double sigma, const Grid& grid)
    : a_(a), peak_(peak), c_(1.0 / (sigma * constants::root_two_pi)), s_(sigma * (sigma * 2.0)) {
    // The value is odd in sigma (c takes its sign, s does not), and nothing
    // below depends on the sign of sigma, c or a: only magnitudes enter.
    plain_ = !(std::isfinite(a) && std::isfinite(peak) && within_shortcut_range(sigma));
    zero_ = a_ * (0.0 * c_);
    if (plain_) {
        range = {1, grid.n};
        return;
    }
    // Beyond this distance the exponent is below the power's underflow.
    const double reach = std::sqrt(-power_underflow * s_) * reach_margin;
    range = grid.covering(peak - reach, peak + reach);
    inv_s_ = 1.0 / s_;
    log2_a_ = std::log2(std::fabs(a_));
    log2_c_ = std::log2(std::fabs(c_));
    log2_amp_ = log2_a_ + log2_c_;
    min_shift_ = std::min({0.0, log2_c_, log2_amp_});
}

double GaussianTerm::operator()(double x) const {
    const double d = x - peak_;
    const double exponent = -(d * d) / s_;
    // pow(e, exponent) is exactly +0 here, also for an exponent of -infinity,
    // and a x (+0 x c) is this signed zero (NaN where c or a is infinite, as
    // in the plain evaluation). This holds for every term, plain ones too.
    if (exponent < power_underflow) return zero_;
    return a_ * (std::pow(constants::e, exponent) * c_);
}

double GaussianTerm::high_of(double power) const {
    // While every step of pow, pow x c and a (pow c) stays above 2^-1000 its
    // rounding is relative, and the margin covers them all with the error
    // of pow and of the logarithms. Lower down a subnormal result may be
    // off by up to 2^-1074 at each step.
    if (power + min_shift_ >= normal_floor) return power + log2_amp_ + bound_margin;
    double u = subnormal_step(power, 0.0);
    u = subnormal_step(u, log2_c_);
    u = subnormal_step(u, log2_a_);
    return u + 1.0;  // one binade more: a strict bound
}

MagnitudeBounds GaussianTerm::log2_bounds(double x) const {
    if (plain_) return {minus_infinity, no_bound};
    // a x (pow x c) is a signed zero for a = 0.
    if (a_ == 0.0) return {minus_infinity, minus_infinity};
    const double d = x - peak_;
    // Never above 0, and within |exponent| 2^-50 of the exponent the value
    // uses (3 roundings against 1).
    const double exponent = -(d * d) * inv_s_;
    // The exponent is <= 0: log2 e moved down gives a bound from above on
    // log2 of the power, moved up one from below.
    const double high = high_of(exponent * log2_e_low);
    double low = minus_infinity;
    const double power = exponent * log2_e_high;  // log2 of the power, from below
    const double l = power + log2_amp_ - bound_margin;
    // Only where the power, pow x c and the value are normal numbers, whose
    // roundings are relative and which the margin covers.
    if (power + min_shift_ >= normal_floor && high <= normal_ceiling) low = l;
    return {low, high};
}

MagnitudeBounds GaussianTerm::log2_bounds(double x0, double x1) const {
    if (plain_) return log2_bounds(x0);
    // The exponent rises towards the centre and falls beyond it, and so do
    // both bounds: over an interval they are extreme at its ends, or, for
    // the upper one, at the centre, where the exponent is 0.
    const MagnitudeBounds b0 = log2_bounds(x0);
    const MagnitudeBounds b1 = log2_bounds(x1);
    double high = b0.high > b1.high ? b0.high : b1.high;
    if (x0 <= peak_ && peak_ <= x1 && a_ != 0.0) high = high_of(0.0);
    double low = b0.low < b1.low ? b0.low : b1.low;
    if (high > normal_ceiling) low = minus_infinity;  // somewhere inside the value may not be a normal number
    return {low, high};
}

void GaussianTerm::add_block(long long first, std::size_t count, const double* x, double* sums, double* deltas,
                             double high) const {
    for (std::size_t j = 0; j < count; ++j) {
        // Outside the range the term is exactly +-0 (which leaves a sum
        // that is never -0 unchanged), and a sum that absorbs it stays.
        if (!range.contains(first + static_cast<long long>(j))) continue;
        if (deltas[j] == 0.0 && absorbs(sums[j], high)) continue;
        add_checked(sums[j], deltas[j], (*this)(x[j]));
    }
}

}  // namespace elutrix::fast
