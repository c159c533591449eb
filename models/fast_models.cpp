#include "models/fast_models.h"

#include <cmath>

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
// Widening of the computed cut-offs so that rounding never moves a
// non-zero point outside a range.
constexpr double margin = 1.0 + 1e-9;

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
double fraction(double x) {
    double g_prev = 0.0;
    double a0 = 1.0, a1 = x, b0 = 0.0, b1 = 1.0, f = 1.0;
    for (int n = 1; n <= gamma_constants::max_iterations; ++n) {
        const double m = n - a_half;
        a0 = (a1 + a0 * m) * f;
        b0 = (b1 + b0 * m) * f;
        const double h = f * n;
        a1 = x * a0 + h * a1;
        b1 = x * b0 + h * b1;
        if (a1 != 0.0) {
            f = 1.0 / a1;
            const double g = b1 * f;
            if (std::fabs((g - g_prev) / g) < gamma_constants::eps) {
                return std::exp((-x + a_half * std::log(x)) - ln_gamma_half) * g;
            }
            g_prev = g;
        }
    }
    return 0.0;
}

double gammp_half(double x) {
    if (x < a_half + 1.0) return series(x);
    return 1.0 - fraction(x);
}

}  // namespace

double erf(double x) {
    const double t = x * x;
    if (x < 0.0) return -gammp_half(t);
    return gammp_half(t);
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

GaussianTerm::GaussianTerm(double a, double peak, double sigma, const Grid& grid)
    : a_(a), peak_(peak), c_(1.0 / (sigma * constants::root_two_pi)), s_(sigma * (sigma * 2.0)) {
    // Beyond this distance the exponent is below the power's underflow.
    const double reach = std::sqrt(-power_underflow * s_) * margin;
    range = grid.covering(peak - reach, peak + reach);
}

double GaussianTerm::operator()(double x) const {
    const double d = x - peak_;
    const double exponent = -(d * d) / s_;
    // pow(e, exponent) is exactly 0 here, and a x (0 x c) adds nothing.
    if (exponent < power_underflow) return 0.0;
    return a_ * (std::pow(constants::e, exponent) * c_);
}

EmgTerm::EmgTerm(double a, double peak, double sigma, double tau, const Grid& grid)
    : a_(a), peak_(peak), sigma_(sigma), tau_(tau), abs_tau_(std::fabs(tau)) {
    sigma_over_tau_ = tau < 0.0 ? sigma / abs_tau_ : sigma / tau;
    e_offset_ = (sigma * sigma) / (tau * (tau * 2.0));
    erf_w_ = fast::erf(c1 * (peak / sigma + sigma / abs_tau_));
    scale_ = 1.0 / (constants::root_pi * abs_tau_);

    // Along the peak's rising side (before a tailing peak, after a fronting
    // one) the term is exactly 0 where the exponent exceeds 600, and, when
    // erf(w) is exactly 1, also where erf(z) is exactly -1. On its decaying
    // side it is 0 where the power underflows. Distances are measured from
    // the centre in the direction of the tail.
    double rise_cut = (e_offset_ - constants::emg_exponent_limit) * abs_tau_;  // E > 600 before this
    if (erf_w_ == 1.0) {
        const double z_cut = sigma * (sigma_over_tau_ - erf_saturation * constants::root_two * margin);
        if (z_cut > rise_cut) rise_cut = z_cut;
    }
    const double decay_cut = (e_offset_ - power_underflow) * abs_tau_;  // E < -746 after this
    const double lo = rise_cut - std::fabs(rise_cut) * 1e-9 - 1e-9;
    const double hi = decay_cut + std::fabs(decay_cut) * 1e-9 + 1e-9;
    if (tau < 0.0) {
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
    if (E > constants::emg_exponent_limit) return 0.0;
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
    // 0 x a finite factor, or a finite sum x an underflowed power: exactly 0.
    if (sum == 0.0 || E < power_underflow) return 0.0;
    return a_ * (sum * (std::pow(constants::e, E) * scale_));
}

bool gaussian_term_is_finite(double a, double sigma) {
    const double c = 1.0 / (sigma * constants::root_two_pi);
    const double s = sigma * (sigma * 2.0);
    return std::isfinite(a) && std::isfinite(sigma) && std::isfinite(c) && s > 0.0 && std::isfinite(s);
}

bool emg_term_is_finite(double a, double sigma, double tau) {
    if (!gaussian_term_is_finite(a, sigma) || !std::isfinite(tau)) return false;
    const double abs_tau = std::fabs(tau);
    const double scale = 1.0 / (constants::root_pi * abs_tau);
    // The largest power the model ever forms is e^600.
    const double largest = std::pow(constants::e, constants::emg_exponent_limit) * scale;
    return std::isfinite(sigma / abs_tau) && std::isfinite((sigma * sigma) / (tau * (tau * 2.0))) &&
           std::isfinite(largest);
}

}  // namespace elutrix::fast
