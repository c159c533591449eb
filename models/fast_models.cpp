#include "models/fast_models.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "models/constants.h"
#include "models/gamma.h"

namespace elutrix::fast {

namespace {

constexpr double a_half = 0.5;
constexpr double c1 = 1.0 / constants::root_two;

// pow(e, y) is exactly 0 for every y below this (it turns 0 near -745.13).
constexpr double power_underflow = -746.0;
// erf(z) is exactly +-1 for |z| >= this: P(0.5, z^2) rounds to 1 from
// z^2 of about 35.07 on (the tests scan every value up to beyond the point
// where the fraction's exponential itself underflows).
constexpr double erf_saturation = 6.0;
// Margin of the magnitude bounds where every step of a term is a normal
// number: a factor 2^(2^-20), far more than the few roundings of a term
// (2^-53 each), the error of the power (below 2^-52) and of the logarithms.
constexpr double bound_margin = 0x1p-20;
constexpr double log2_e = 1.4426950408889634;
constexpr double log2_e_low = log2_e - 0x1p-40;
constexpr double log2_e_high = log2_e + 0x1p-40;
constexpr double minus_infinity = -std::numeric_limits<double>::infinity();
// Widening of the computed cut-offs so that rounding never moves a
// non-zero point outside a range.
constexpr double margin = 1.0 + 1e-9;
// Relative widening of a cut-off against the roundings of the quantities it
// is compared with: a few units of 2^-53 each.
constexpr double cut_margin = 0x1p-40;

// The magnitudes of bandwidth and decay constant for which the shortcuts are
// proven. Their squares, reciprocals, products and quotients are then
// normal doubles (2^-1022 is far below 2^-900), so every rounding on the way
// is relative, which the margins of the bounds and cut-offs assume.
constexpr double shortcut_low = 0x1p-300;
constexpr double shortcut_high = 0x1p300;
inline bool within_shortcut_range(double v) {
    const double m = std::fabs(v);
    return m >= shortcut_low && m <= shortcut_high;
}

const double ln_gamma_half = gammln(a_half);

// gser(0.5, x) for 0 < x < 1.5. The terms shrink monotonically (x / p < 1),
// so once a term leaves the sum unchanged every later one does too, and the
// convergence test holds from there to the last of the hundred iterations:
// the full series returns s x e^(...) with this same s.
double series(double x) {
    if (x == 0.0) return 0.0;
    double p = a_half;
    double s = 1.0 / a_half;
    double d = s;
    for (int n = 1; n <= gamma_constants::max_iterations; ++n) {
        p = p + 1.0;
        d = (d * x) / p;
        const double next = s + d;
        if (next == s) break;
        s = next;
    }
    if (!(std::fabs(d) < std::fabs(s) * gamma_constants::eps)) {
        // Never reached for 0 < x < 1.5; keeps the plain routine's answer otherwise.
        double gln = 0.0;
        return gser(a_half, x, gln);
    }
    return s * std::pow(constants::e, (-x + a_half * std::log(x)) - ln_gamma_half);
}

// gcf(0.5, x), the plain continued fraction with ln Gamma(0.5) computed once.
double fraction(double x) { return continued_fraction(a_half, x, ln_gamma_half); }

double gammp_half(double x) {
    if (x < a_half + 1.0) return series(x);
    return 1.0 - fraction(x);
}

// Several independent evaluations advance together, each doing exactly
// the operations of its own scalar evaluation in the same order (IEEE
// arithmetic rounds each one the same way wherever it runs), so the results
// are the same bits; only the waits for the divisions overlap.
constexpr std::size_t lanes = 4;

// series() for up to 4 values of x with 0 < x < 1.5.
void series_lanes(const double* x, double* out, std::size_t count) {
    double s[lanes], d[lanes];
    bool running[lanes];
    std::size_t left = count;
    for (std::size_t l = 0; l < count; ++l) {
        s[l] = 1.0 / a_half;
        d[l] = s[l];
        running[l] = true;
    }
    double p = a_half;  // the same in every lane
    for (int n = 1; n <= gamma_constants::max_iterations && left > 0; ++n) {
        p = p + 1.0;
        for (std::size_t l = 0; l < count; ++l) {
            if (!running[l]) continue;
            d[l] = (d[l] * x[l]) / p;
            const double next = s[l] + d[l];
            if (next == s[l]) {
                running[l] = false;
                --left;
            } else {
                s[l] = next;
            }
        }
    }
    for (std::size_t l = 0; l < count; ++l) {
        if (!(std::fabs(d[l]) < std::fabs(s[l]) * gamma_constants::eps)) {
            out[l] = series(x[l]);  // never for 0 < x < 1.5; the scalar path then decides
        } else {
            out[l] = s[l] * std::pow(constants::e, (-x[l] + a_half * std::log(x[l])) - ln_gamma_half);
        }
    }
}

// fraction() for up to 4 values of x.
void fraction_lanes(const double* x, double* out, std::size_t count) {
    double g_prev[lanes], a0[lanes], a1[lanes], b0[lanes], b1[lanes], f[lanes];
    bool running[lanes];
    std::size_t left = count;
    for (std::size_t l = 0; l < count; ++l) {
        g_prev[l] = 0.0;
        a0[l] = 1.0;
        a1[l] = x[l];
        b0[l] = 0.0;
        b1[l] = 1.0;
        f[l] = 1.0;
        running[l] = true;
        out[l] = 0.0;  // what a fraction that never meets its test gives
    }
    for (int n = 1; n <= gamma_constants::max_iterations && left > 0; ++n) {
        const double m = n - a_half;
        for (std::size_t l = 0; l < count; ++l) {
            if (!running[l]) continue;
            a0[l] = (a1[l] + a0[l] * m) * f[l];
            b0[l] = (b1[l] + b0[l] * m) * f[l];
            const double h = f[l] * n;
            a1[l] = x[l] * a0[l] + h * a1[l];
            b1[l] = x[l] * b0[l] + h * b1[l];
            if (a1[l] != 0.0) {
                f[l] = 1.0 / a1[l];
                const double g = b1[l] * f[l];
                if (std::fabs((g - g_prev[l]) / g) < gamma_constants::eps) {
                    out[l] = std::exp((-x[l] + a_half * std::log(x[l])) - ln_gamma_half) * g;
                    running[l] = false;
                    --left;
                }
                g_prev[l] = g;
            }
        }
    }
}

}  // namespace

double erf(double x) {
    const double t = x * x;
    if (x < 0.0) return -gammp_half(t);
    return gammp_half(t);
}

void erf_many(const double* z, double* out, std::size_t count) {
    if (count == 0) return;
    // P(0.5, z^2) by the series or the fraction, four of a kind at a time.
    double series_x[lanes], fraction_x[lanes], result[lanes];
    std::size_t series_at[lanes], fraction_at[lanes];
    std::size_t series_count = 0, fraction_count = 0;
    const auto flush_series = [&] {
        series_lanes(series_x, result, series_count);
        for (std::size_t l = 0; l < series_count; ++l) out[series_at[l]] = result[l];
        series_count = 0;
    };
    const auto flush_fraction = [&] {
        fraction_lanes(fraction_x, result, fraction_count);
        for (std::size_t l = 0; l < fraction_count; ++l) out[fraction_at[l]] = 1.0 - result[l];
        fraction_count = 0;
    };
    for (std::size_t k = 0; k < count; ++k) {
        const double t = z[k] * z[k];
        if (t < a_half + 1.0) {
            if (t == 0.0) {
                out[k] = 0.0;  // gser's answer for x = 0
                continue;
            }
            series_x[series_count] = t;
            series_at[series_count++] = k;
            if (series_count == lanes) flush_series();
        } else {
            fraction_x[fraction_count] = t;
            fraction_at[fraction_count++] = k;
            if (fraction_count == lanes) flush_fraction();
        }
    }
    if (series_count > 0) flush_series();
    if (fraction_count > 0) flush_fraction();
    for (std::size_t k = 0; k < count; ++k) {
        if (z[k] < 0.0) out[k] = -out[k];
    }
}

PointRange Grid::covering(double lo, double hi) const {
    PointRange r;
    if (n < 1 || !(lo <= hi)) return r;
    const double first = std::floor(lo / step) - 2.0;
    const double last = std::ceil(hi / step) + 2.0;
    r.first = first < 1.0 ? 1 : (first > double(n) ? n + 1 : static_cast<long long>(first));
    r.last = last > double(n) ? n : (last < 0.0 ? 0 : static_cast<long long>(last));
    return r;
}

namespace {

// 2^k for -1074 <= k <= 1023, built from its bits.
inline double power_of_two(int k) {
    if (k >= -1022) return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
    return std::bit_cast<double>(std::uint64_t{1} << (k + 1074));
}

// A distance below which a sum of two doubles that lies so close to r
// rounds to r: half the distance to the nearest other double, or less.
// 0 for infinities and NaN.
inline double half_gap(double r) {
    const std::uint64_t b = std::bit_cast<std::uint64_t>(r);
    const int raw = static_cast<int>((b >> 52) & 0x7ff);
    if (raw == 0x7ff) return 0.0;
    // A subnormal r counts as exponent -1023, which only makes this smaller.
    const bool at_power_of_two = (b & ((std::uint64_t{1} << 52) - 1)) == 0;
    const int e = raw - 1023 - (at_power_of_two ? 54 : 53);
    // Sums of doubles are whole multiples of 2^-1074, so one that is closer
    // than that to r (0 included) is r.
    return e < -1074 ? 0x1p-1074 : power_of_two(e);
}

// At least the spacing of the doubles anywhere up to |v|; infinity for
// infinities and NaN.
inline double spacing_up_to(double v) {
    const std::uint64_t b = std::bit_cast<std::uint64_t>(v);
    const int raw = static_cast<int>((b >> 52) & 0x7ff);
    if (raw == 0x7ff) return std::numeric_limits<double>::infinity();
    return power_of_two(std::max(raw, 1) - 1023 - 51);
}

// Adds t to sum as the plain loop adds it to its own running sum, which is
// known to lie within delta of sum (delta = 0: it is sum). With delta > 0
// the exact error of the addition (TwoSum: r + e == sum + t exactly) tells
// whether the plain sum rounds to the same double; if so delta becomes 0,
// otherwise it grows by what the two roundings can differ.
inline void add_checked(double& sum, double& delta, double t) {
    const double r = sum + t;
    if (delta != 0.0) {
        const double r_minus_sum = r - sum;
        const double e = (sum - (r - r_minus_sum)) + (t - r_minus_sum);
        const double off = (std::fabs(e) + delta) * (1.0 + 0x1p-50);  // at least |e| + delta
        if (off < half_gap(r)) {
            delta = 0.0;
        } else {
            delta = off + spacing_up_to(std::fabs(r) + 2.0 * off);
        }
    }
    sum = r;
}

}  // namespace

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
    const double reach = std::sqrt(-power_underflow * s_) * margin;
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
    // off by up to 2^-1074 at each step, so each step gets a floor and a
    // factor 2.
    if (power + min_shift_ >= -1000.0) return power + log2_amp_ + bound_margin;
    double u = std::max(power, -1074.0) + 1.0;
    u = std::max(u + log2_c_, -1074.0) + 1.0;
    u = std::max(u + log2_a_, -1074.0) + 1.0;
    return u + 1.0;
}

MagnitudeBounds GaussianTerm::log2_bounds(double x) const {
    if (plain_) return {minus_infinity, std::numeric_limits<double>::quiet_NaN()};
    // a x (pow x c) is a signed zero for a = 0.
    if (a_ == 0.0) return {minus_infinity, minus_infinity};
    const double d = x - peak_;
    // Never above 0, and within |exponent| 2^-50 of the exponent the value
    // uses (3 roundings against 1).
    const double exponent = -(d * d) * inv_s_;
    // pow(e, y) lies within 1 ulp of 2^(y log2(e)); log2(e) moved by 2^-40
    // covers the error of the constant, of the estimate and of the products.
    const double high = high_of(exponent * log2_e_low);
    double low = minus_infinity;
    const double power = exponent * log2_e_high;  // log2 of the power, from below
    const double l = power + log2_amp_ - bound_margin;
    // Only where the power, pow x c and the value are normal numbers, whose
    // roundings are relative and which the margin covers.
    if (power + min_shift_ >= -1000.0 && high <= 1000.0) low = l;
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
    if (high > 1000.0) low = minus_infinity;  // somewhere inside the value may not be a normal number
    return {low, high};
}

EmgTerm::EmgTerm(double a, double peak, double sigma, double tau, const Grid& grid)
    : a_(a), peak_(peak), sigma_(sigma), tau_(tau), abs_tau_(std::fabs(tau)) {
    sigma_over_tau_ = tau < 0.0 ? sigma / abs_tau_ : sigma / tau;
    e_offset_ = (sigma * sigma) / (tau * (tau * 2.0));
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
    min_shift_ = std::min({0.0, log2_scale_, log2_scale_ + 1.0, log2_amp_ + 1.0});

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
        const double z_cut = s * (s_over_tau - erf_saturation * constants::root_two * margin);
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
    double z = 0.0;
    double E = 0.0;
    if (tau_ < 0.0) {
        z = c1 * ((peak_ - x) / sigma_ - sigma_over_tau_);
        E = e_offset_ + (x - peak_) / abs_tau_;
    } else {
        z = c1 * ((x - peak_) / sigma_ - sigma_over_tau_);
        E = e_offset_ - (x - peak_) / tau_;
    }
    // The model gives 0 here, and the synthesis adds a x 0.
    if (E > constants::emg_exponent_limit) return zero_;
    if (plain_) {
        // The model's own steps: the power times the scale may overflow, and
        // a zero sum or power times it is then not 0.
        return a_ * ((erf_w_ + fast::erf(z)) * (std::pow(constants::e, E) * scale_));
    }
    // Past the saturation erf(z) is exactly +-1; the plain evaluation gives the same.
    double erf_z = 0.0;
    if (z >= erf_saturation) {
        erf_z = 1.0;
    } else if (z <= -erf_saturation) {
        erf_z = -1.0;
    } else {
        erf_z = fast::erf(z);
    }
    const double sum = erf_w_ + erf_z;
    // pow(e, E) x scale is finite and >= +0, and +0 when the power underflows,
    // so the model gives sum x (+0) wherever sum is 0 or the power underflows.
    if (sum == 0.0 || E < power_underflow) return a_ * (sum * 0.0);
    return a_ * (sum * (std::pow(constants::e, E) * scale_));
}

namespace {

// The larger of two bounds; NaN when either is.
inline double max_or_nan(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
    return a > b ? a : b;
}

}  // namespace

double EmgTerm::high_of(double power) const {
    // The value is a (sum (pow scale)) with |sum| <= 2. While every step
    // stays above 2^-1000 its rounding is relative, and the margin covers
    // them all with the error of pow and of the logarithms. Lower down a
    // subnormal result may be off by up to 2^-1074 at each step, so each
    // step gets a floor and a factor 2.
    if (power + min_shift_ >= -1000.0) return power + log2_amp_ + 1.0 + bound_margin;
    double u = std::max(power, -1074.0) + 1.0;
    u = std::max(u + log2_scale_, -1074.0) + 1.0;
    u = std::max(u + 1.0, -1074.0) + 1.0;
    u = std::max(u + log2_a_, -1074.0) + 1.0;
    return u + 1.0;
}

MagnitudeBounds EmgTerm::log2_bounds(double x0, double x1) const {
    if (plain_) return {minus_infinity, std::numeric_limits<double>::quiet_NaN()};
    // a x (the model's finite value) is a signed zero for a = 0.
    if (a_ == 0.0) return {minus_infinity, minus_infinity};
    // The model's exponent is E = e_offset - (x - peak) / tau for either sign
    // of tau (dividing by |tau| = -tau only flips the sign). This product
    // differs from that quotient by at most 3 roundings, and both
    // subtractions add one each: E lies within err of estimate. E moves
    // monotonically with x, so over [x0, x1] it lies between its values at
    // the ends.
    const double q0 = (x0 - peak_) * inv_tau_;
    const double q1 = (x1 - peak_) * inv_tau_;
    const double estimate0 = e_offset_ - q0;
    const double estimate1 = e_offset_ - q1;
    const double err0 = (std::fabs(q0) + std::fabs(estimate0)) * 0x1p-48;
    const double err1 = (std::fabs(q1) + std::fabs(estimate1)) * 0x1p-48;
    // Beyond the exponent limit the model gives exactly 0.
    if (estimate0 - err0 > constants::emg_exponent_limit && estimate1 - err1 > constants::emg_exponent_limit) {
        return {minus_infinity, minus_infinity};
    }
    // pow(e, E) lies within 1 ulp of 2^(E log2(e)); the 2^-40 covers the
    // error of the constant and of the products.
    const double e_high = max_or_nan(estimate0 + err0, estimate1 + err1);
    const double power_high = e_high * log2_e + std::fabs(e_high) * 0x1p-40;
    const double high = high_of(power_high);
    double low = minus_infinity;
    // x - peak in the direction of the tail, exactly; the smaller end.
    const double sd = tau_ < 0.0 ? -(x1 - peak_) : x0 - peak_;
    if (sd >= tail_start_) {
        const double e_low = estimate0 - err0 < estimate1 - err1 ? estimate0 - err0 : estimate1 - err1;
        const double power = e_low * log2_e - std::fabs(e_low) * 0x1p-40;  // from below
        const double l = power + log2_amp_ - bound_margin;                   // the sum is at least 1
        // Only where the power and every product are normal numbers, whose
        // roundings are relative and which the margin covers.
        if (power + std::min(0.0, log2_scale_ + std::min(0.0, log2_a_)) >= -1000.0 && high <= 1000.0) low = l;
    }
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
    double z_of[TermSum::block_points] = {};
    double e_of[TermSum::block_points];
    double erf_of[TermSum::block_points];
    std::size_t point_of[TermSum::block_points];
    std::size_t waiting = 0;
    for (std::size_t j = 0; j < count; ++j) {
        // As for the Gaussian: exactly +-0 outside the range, or absorbed.
        if (!range.contains(first + static_cast<long long>(j))) continue;
        if (deltas[j] == 0.0 && absorbs(sums[j], high)) continue;
        const double d = x[j] - peak_;
        // The same operations as operator().
        const double E = tau_ < 0.0 ? e_offset_ + d / abs_tau_ : e_offset_ - d / tau_;
        // The model gives 0, and a x 0 changes no sum.
        if (E > constants::emg_exponent_limit) continue;
        const double sd = tau_ < 0.0 ? -d : d;  // exactly (peak - x) for a fronting peak
        double erf_z = saturated_erf_z_;  // z is sign(sigma) times a z of |sigma| that is >= 6
        if (!(sd >= z_sat_start_)) {
            const double z = c1 * (sd / sigma_ - sigma_over_tau_);
            if (z >= erf_saturation) {
                erf_z = 1.0;
            } else if (z <= -erf_saturation) {
                erf_z = -1.0;
            } else {
                z_of[waiting] = z;
                e_of[waiting] = E;
                point_of[waiting++] = j;
                continue;
            }
        }
        const double sum = erf_w_ + erf_z;
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

void TermSum::add(const GaussianTerm& term) {
    if (count_ == max_terms) throw std::length_error("TermSum holds at most 16 terms");
    entries_[count_++] = {false, gaussians_.size(), term.range};
    gaussians_.push_back(term);
}

void TermSum::add(const EmgTerm& term) {
    if (count_ == max_terms) throw std::length_error("TermSum holds at most 16 terms");
    entries_[count_++] = {true, emgs_.size(), term.range};
    emgs_.push_back(term);
}


void TermSum::sum_block(long long first, std::size_t count, const double* x, double* sums) const {
    if (count == 0) return;
    if (count > block_points) throw std::length_error("TermSum::sum_block takes at most 32 points");
    const long long last = first + static_cast<long long>(count) - 1;

    // The terms that are not exactly 0 throughout the block, with bounds
    // that hold at every one of its points.
    std::array<double, max_terms> low;
    std::array<double, max_terms> high;
    std::array<std::size_t, max_terms> which;
    std::size_t m = 0;
    for (std::size_t k = 0; k < count_; ++k) {
        const Entry& entry = entries_[k];
        // Outside its range, or with an upper bound of 2^-infinity, a term is
        // exactly +-0, and adding it leaves the running sum unchanged: the
        // sum starts at +0 and so is never -0.
        if (entry.range.last < first || entry.range.first > last) continue;
        const MagnitudeBounds b = entry.emg ? emgs_[entry.index].log2_bounds(x[0], x[count - 1])
                                            : gaussians_[entry.index].log2_bounds(x[0], x[count - 1]);
        if (b.high == minus_infinity) continue;
        low[m] = b.low;
        high[m] = b.high;
        which[m] = k;
        ++m;
    }

    // The last term p whose predecessors are all below 2^(floor(low_p) - 58):
    // fewer than 16 of them sum to less than 2^(floor(low_p) - 54), at most
    // 2^-54 of the exponent of term p, so adding term p to their sum gives
    // term p alone, whatever they are. The sums start there.
    std::size_t from = 0;
    {
        std::array<double, max_terms> before;  // largest upper bound before; NaN counts as +infinity
        double largest = minus_infinity;
        for (std::size_t q = 0; q < m; ++q) {
            before[q] = largest;
            if (!(high[q] <= largest)) largest = std::isnan(high[q]) ? std::numeric_limits<double>::infinity() : high[q];
        }
        for (std::size_t p = m; p-- > 1;) {
            if (low[p] != minus_infinity && before[p] <= std::floor(low[p]) - 58.0) {
                from = p;
                break;
            }
        }
    }

    // Leading terms far below the largest term are left out as well, with
    // their bound carried as the distance by which the plain sum may differ;
    // each later addition then checks whether that distance vanishes in its
    // rounding. The few points where it has not vanished at the end are
    // summed again without leaving anything out.
    std::size_t skip = from;
    double delta = 0.0;
    {
        double largest_low = minus_infinity;
        for (std::size_t q = 0; q < m; ++q) {
            if (low[q] > largest_low) largest_low = low[q];
        }
        std::size_t lead = 0;
        while (lead + 1 < m && high[lead] <= largest_low - trial_margin_) ++lead;
        if (lead > from) {
            skip = lead;
            // Fewer than 16 terms, each below 2^high: their plain sum is below
            // the sum of the bounds, which is rounded up here.
            for (std::size_t q = 0; q < lead; ++q) delta += std::exp2(high[q]);
            delta *= 1.0 + 0x1p-40;
        }
    }

    // Term by term over the block: every point still receives its terms in
    // row order, only the points are interleaved.
    std::array<double, block_points> deltas;
    for (std::size_t j = 0; j < count; ++j) {
        sums[j] = 0.0;
        deltas[j] = delta;
    }
    for (std::size_t q = skip; q < m; ++q) {
        const Entry& entry = entries_[which[q]];
        if (entry.emg) {
            emgs_[entry.index].add_block(first, count, x, sums, deltas.data(), high[q]);
        } else {
            gaussians_[entry.index].add_block(first, count, x, sums, deltas.data(), high[q]);
        }
    }
    for (std::size_t j = 0; j < count; ++j) {
        if (deltas[j] == 0.0) continue;
        const long long i = first + static_cast<long long>(j);
        double sum = 0.0;
        for (std::size_t q = from; q < m; ++q) {
            const Entry& entry = entries_[which[q]];
            if (!entry.range.contains(i) || absorbs(sum, high[q])) continue;
            sum += entry.emg ? emgs_[entry.index](x[j]) : gaussians_[entry.index](x[j]);
        }
        sums[j] = sum;
    }
}

double TermSum::at(long long i, double x) const {
    double sum = 0.0;
    sum_block(i, 1, &x, &sum);
    return sum;
}

}  // namespace elutrix::fast
