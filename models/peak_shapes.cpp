#include "models/peak_shapes.h"

#include <cmath>
#include <numbers>

#include "models/constants.h"

// libcerf's scaled complementary error function exp(x^2) erfc(x), within a
// few units of 2^-53 for every real x. Declared here rather than through
// <cerf.h>, which brings C99 complex types into C++.
extern "C" double erfcx(double x);

namespace elutrix::shapes {

namespace {

// Double-double arithmetic: a value as an unevaluated sum hi + lo with
// |lo| <= half an ulp of hi, so that the exponents below are formed to
// about 2^-104 of their size before exp() is taken. A non-finite part
// stays as it is, with lo 0.
struct DD {
    double hi;
    double lo;
};

DD renormal(double hi, double lo) {
    const double s = hi + lo;
    if (!std::isfinite(s)) return {s, 0.0};
    return {s, lo - (s - hi)};
}

DD two_sum(double a, double b) {
    const double s = a + b;
    if (!std::isfinite(s)) return {s, 0.0};
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

DD operator-(DD a) { return {-a.hi, -a.lo}; }

DD operator+(DD a, DD b) {
    const DD s = two_sum(a.hi, b.hi);
    return renormal(s.hi, s.lo + (a.lo + b.lo));
}

DD operator-(DD a, DD b) { return a + (-b); }

DD operator*(DD a, DD b) {
    const double p = a.hi * b.hi;
    if (!std::isfinite(p)) return {p, 0.0};
    return renormal(p, std::fma(a.hi, b.hi, -p) + (a.hi * b.lo + a.lo * b.hi));
}

DD half(DD a) { return {a.hi / 2.0, a.lo / 2.0}; }

DD operator/(DD a, double b) {
    const double q = a.hi / b;
    if (!std::isfinite(q)) return {q, 0.0};
    return renormal(q, (std::fma(-q, b, a.hi) + a.lo) / b);
}

DD operator/(DD a, DD b) {
    const double q = a.hi / b.hi;
    if (!std::isfinite(q)) return {q, 0.0};
    const DD rest = a - DD{q, 0.0} * b;
    return renormal(q, rest.hi / b.hi);
}

// exp(hi + lo) = exp(hi) (1 + lo) to far below an ulp.
double exp_of(DD x) {
    const double e = std::exp(x.hi);
    return e + e * x.lo;
}

// 1 / sqrt 2 as a double-double.
constexpr DD inv_sqrt2 = {0.7071067811865476, -4.833646656726457e-17};
constexpr double two_over_sqrt_pi = 2.0 * std::numbers::inv_sqrtpi;
constexpr double sqrt_2_over_pi = std::numbers::sqrt2 * std::numbers::inv_sqrtpi;
constexpr double sqrt_2pi = 2.5066282746310002;  // sqrt(2 pi), rounded

// erfc(z) is exactly 2 in doubles below this.
constexpr double erfc_saturated = -6.0;

// The textbook exponentially modified Gaussian of a tailing peak (tau > 0)
// at distance d from its centre; s = |sigma| > 0.
// u = s / tau, as ratio_of gives it.
DD ratio_of(double s, double tau) { return DD{s, 0.0} / tau; }

double tailing_emg(DD d, double s, double tau, DD u) {
    const DD r = d / s;
    if (tau == 0.0) return exp_of(-half(r * r)) * (1.0 / (s * sqrt_2pi));
    const DD z = (u - r) * inv_sqrt2;
    if (z.hi >= 0.0 || std::isnan(z.hi)) {
        // erfc(z) e^E = erfcx(z) e^(E - z^2), and E - z^2 = -r^2 / 2.
        const double g = exp_of(-half(r * r));
        if (g == 0.0) return 0.0;
        double ex = erfcx(z.hi);
        ex += (2.0 * z.hi * ex - two_over_sqrt_pi) * z.lo;
        return g * ex / (2.0 * tau);
    }
    // Past d = sigma^2 / tau: E = u^2 / 2 - d / tau < -u^2 / 2, and erfc(z)
    // lies between 1 and 2.
    if (!(u.hi < 1e150)) return 0.0;
    const DD E = half(u * u) - d / tau;
    const double ef = z.hi < erfc_saturated ? 2.0
                                            : std::erfc(z.hi) - two_over_sqrt_pi * std::exp(-z.hi * z.hi) * z.lo;
    return exp_of(E) * ef / (2.0 * tau);
}

double tailing_emg_slope(double d, double s, double tau) {
    if (tau == 0.0) return -d / (s * s);
    const double z = (s / tau - d / s) * inv_sqrt2.hi;
    return -1.0 / tau + sqrt_2_over_pi / (s * erfcx(z));
}

// The window's model: the stored e's natural logarithm, and the two small
// coefficients of the combined exponent
//   L E - z^2 = alpha u^2 - beta r u - c1^2 r^2   (u = sigma / |tau|, r = d / sigma),
// alpha = L / 2 - c1^2 and beta = L - 2 c1^2, each a few parts in 10^15,
// formed from their small differences so that nothing cancels.
struct WindowConstants {
    double c1;
    double L;
    double alpha;
    double beta;
    WindowConstants() {
        c1 = 1.0 / constants::root_two;
        constexpr double e_lo = 1.4456468917292502e-16;  // e - std::numbers::e
        const double L_minus_1 = std::log1p(((constants::e - std::numbers::e) - e_lo) / std::numbers::e);
        L = 1.0 + L_minus_1;
        const double c1_sq_minus_half = std::fma(c1, c1, -0.5);
        alpha = L_minus_1 / 2.0 - c1_sq_minus_half;
        beta = L_minus_1 - 2.0 * c1_sq_minus_half;
    }
};

const WindowConstants& window_constants() {
    static const WindowConstants k;
    return k;
}

// The window's model of a tailing peak (tau > 0) at distance d from its
// centre, sigma > 0.
double tailing_window_emg(double d, double peak, double sigma, double tau) {
    const WindowConstants& k = window_constants();
    const double r = d / sigma;
    const double u = sigma / tau;
    const double z = k.c1 * (r - u);
    const double w = k.c1 * (peak / sigma + u);
    // r u = d / tau, formed as such so that a subnormal sigma, whose r is
    // infinite and u 0, still gives the decay.
    const double d_over_tau = d / tau;
    const double E = (u * u) / 2.0 - d_over_tau;
    double first;
    if (z <= 0.0) {
        first = erfcx(-z) * std::exp(k.alpha * (u * u) - k.beta * d_over_tau - (k.c1 * k.c1) * (r * r));
    } else {
        first = std::erfc(-z) * std::exp(k.L * E);
    }
    const double erfc_w = std::erfc(w);
    const double second = erfc_w == 0.0 ? 0.0 : std::exp(std::log(erfc_w) + k.L * E);
    return (first - second) / (constants::root_pi * tau);
}

double tailing_window_emg_slope(double d, double peak, double sigma, double tau) {
    const WindowConstants& k = window_constants();
    const double u = sigma / tau;
    const double z = k.c1 * (d / sigma - u);
    const double w = k.c1 * (peak / sigma + u);
    const double erfc_w = std::erfc(w);
    // e^(-z^2) / (erfc(-z) - erfc(w)), without underflow.
    double ratio;
    if (z <= 0.0) {
        ratio = 1.0 / (erfcx(-z) - (erfc_w == 0.0 ? 0.0 : erfc_w * std::exp(z * z)));
    } else {
        ratio = std::exp(-z * z) / (std::erfc(-z) - erfc_w);
    }
    return -k.L / tau + (ratio / sigma) * (k.c1 * two_over_sqrt_pi);
}

}  // namespace

double exact_emg(double x, double peak, double sigma, double tau) {
    const DD d = two_sum(x, -peak);
    const double s = std::fabs(sigma);
    return tau < 0.0 ? tailing_emg(-d, s, -tau, ratio_of(s, -tau)) : tailing_emg(d, s, tau, ratio_of(s, tau));
}

double exact_emg_log_slope(double x, double peak, double sigma, double tau) {
    const double d = x - peak;
    return tau < 0.0 ? -tailing_emg_slope(-d, std::fabs(sigma), -tau) : tailing_emg_slope(d, std::fabs(sigma), tau);
}

double exact_emg_apex_offset(double sigma, double tau) {
    const double s = std::fabs(sigma);
    const double t = std::fabs(tau);
    const double offset = apex_offset([&](double d) { return tailing_emg_slope(d, s, t); }, s);
    return tau < 0.0 ? -offset : offset;
}

double hybrid_area(double sigma, double tau) {
    const double s = std::fabs(sigma);
    const double k = std::fabs(tau) / s;
    if (k == 0.0) return s * sqrt_2pi;
    // J(k) = (4 / k) e^x K1(x) with x = 4 / k^2.
    const double inv_x = (k * k) / 4.0;
    if (inv_x < 1.0 / 40.0) {
        // Hankel's expansion e^x K1(x) = sqrt(pi / (2x)) sum a_j x^-j,
        // a_j = a_(j-1) (4 - (2j - 1)^2) / (8 j); with x above 40 its terms
        // fall below 2^-60 long before they would grow again. Then
        // (4 / k) sqrt(pi k^2 / 8) = sqrt(2 pi).
        double sum = 1.0;
        double term = 1.0;
        for (int j = 1; j < 200; ++j) {
            const double odd = 2.0 * j - 1.0;
            term *= (4.0 - odd * odd) / (8.0 * j) * inv_x;
            sum += term;
            if (std::fabs(term) < 0x1p-60 * std::fabs(sum)) break;
        }
        return s * (sqrt_2pi * sum);
    }
    const double x = 4.0 / (k * k);
    // K1(x) = 1 / x + O(x ln x): J = k to far below an ulp.
    if (x < 1e-9) return s * k;
    return s * ((4.0 / k) * (std::cyl_bessel_k(1.0, x) * std::exp(x)));
}

namespace {

// exp(-d^2 / (2 sigma^2 + tau d)) for s = |sigma|, 0 where the denominator
// is not positive.
double hybrid_unscaled(DD d, double s, double tau) {
    const DD s2 = DD{s, 0.0} * DD{s, 0.0};
    const DD den = DD{2.0 * s2.hi, 2.0 * s2.lo} + DD{tau, 0.0} * d;
    if (!(den.hi > 0.0)) return 0.0;
    return exp_of(-((d * d) / den));
}

}  // namespace

double hybrid(double x, double peak, double sigma, double tau, double area) {
    return hybrid_unscaled(two_sum(x, -peak), std::fabs(sigma), tau) / area;
}

double hybrid(double x, double peak, double sigma, double tau) {
    return hybrid(x, peak, sigma, tau, hybrid_area(sigma, tau));
}

double hybrid_log_slope(double x, double peak, double sigma, double tau) {
    const double d = x - peak;
    const double s = std::fabs(sigma);
    const double den = 2.0 * (s * s) + tau * d;
    return -d * (4.0 * (s * s) + tau * d) / (den * den);
}

double emg_unclipped(double x, double peak, double sigma, double tau) {
    if (sigma < 0.0) return -emg_unclipped(x, peak, -sigma, tau);
    return tau < 0.0 ? tailing_window_emg(peak - x, peak, sigma, -tau) : tailing_window_emg(x - peak, peak, sigma, tau);
}

double emg_unclipped_log_slope(double x, double peak, double sigma, double tau) {
    const double s = std::fabs(sigma);
    return tau < 0.0 ? -tailing_window_emg_slope(peak - x, peak, s, -tau)
                     : tailing_window_emg_slope(x - peak, peak, s, tau);
}

double emg_unclipped_apex_offset(double peak, double sigma, double tau) {
    const double s = std::fabs(sigma);
    const double t = std::fabs(tau);
    const double offset = apex_offset([&](double d) { return tailing_window_emg_slope(d, peak, s, t); }, s);
    return tau < 0.0 ? -offset : offset;
}

// The fast path's evaluators share these.
std::array<double, 2> exact_emg_ratio(double s, double tau) {
    const DD u = ratio_of(s, std::fabs(tau));
    return {u.hi, u.lo};
}

double exact_emg_at(double d_hi, double d_lo, double s, double tau, const std::array<double, 2>& u) {
    const DD ratio{u[0], u[1]};
    return tau < 0.0 ? tailing_emg({-d_hi, -d_lo}, s, -tau, ratio) : tailing_emg({d_hi, d_lo}, s, tau, ratio);
}

double hybrid_unscaled_at(double d_hi, double d_lo, double s, double tau) {
    return hybrid_unscaled({d_hi, d_lo}, s, tau);
}

}  // namespace elutrix::shapes
