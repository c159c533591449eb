// A second, deliberately plain copy of the peak models and the special
// functions beneath them, written step by step from their definitions and
// sharing nothing with models/; ln Gamma, needed only at a few fixed
// arguments, is a table of its values. Tests compare models/ and the fast
// evaluators against it, so that a change to either one shows up as a
// difference in the last bit.
#pragma once

#include <cmath>
#include <limits>

namespace elutrix::literal {

// ln Gamma(a) as the six-term Lanczos sum of the models gives it, at the
// values of a the tests use: fixed values serve here instead of a second
// copy of the sum. The tests check each against the exact ln Gamma to the
// approximation's error.
struct LnGammaValue {
    double a;
    double ln_gamma;
};
inline constexpr LnGammaValue ln_gamma_values[] = {
    {0.5, 0x1.250d048e6138p-1},
    {1.0, -0x1.2c44p-35},
    {2.5, 0x1.2383e807fdddp-2},
    {7.0, 0x1.a51273acbddefp+2},
};

// NaN for an a not in the table, so that every result built on it fails.
inline double gammln(double a) {
    for (const LnGammaValue& v : ln_gamma_values) {
        if (v.a == a) return v.ln_gamma;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

inline double gser(double a, double x, double& gln) {
    gln = gammln(a);
    if (x == 0.0) return 0.0;
    double p = a;
    double s = 1.0 / a;
    double d = s;
    double result = 0.0;
    for (int n = 1; n <= 100; ++n) {
        p = p + 1.0;
        d = (d * x) / p;
        s = s + d;
        if (std::fabs(d) < std::fabs(s) * 3e-07) {
            result = s * std::pow(2.71828182845905, (-x + a * std::log(x)) - gln);
        }
    }
    return result;
}

inline double gcf(double a, double x, double& gln) {
    gln = gammln(a);
    double g_prev = 0.0;
    double A0 = 1.0;
    double A1 = x;
    double B0 = 0.0;
    double B1 = 1.0;
    double f = 1.0;
    for (int n = 1; n <= 100; ++n) {
        const double m = n - a;
        A0 = (A1 + A0 * m) * f;
        B0 = (B1 + B0 * m) * f;
        const double h = f * n;
        A1 = x * A0 + h * A1;
        B1 = x * B0 + h * B1;
        if (A1 != 0.0) {
            f = 1.0 / A1;
            const double g = B1 * f;
            if (std::fabs((g - g_prev) / g) < 3e-07) return std::exp((-x + a * std::log(x)) - gln) * g;
            g_prev = g;
        }
    }
    return 0.0;
}

inline double gammp(double a, double x) {
    double gln = 0.0;
    if (x < a + 1.0) return gser(a, x, gln);
    return 1.0 - gcf(a, x, gln);
}

inline double erf(double x) {
    const double t = x * x;
    if (x < 0.0) return -gammp(0.5, t);
    return gammp(0.5, t);
}

inline double emg(double x, double peak, double sigma, double tau) {
    const double c1 = 1.0 / 1.41421356237309;
    double z = 0.0;
    double E = 0.0;
    if (tau < 0.0) {
        z = c1 * ((peak - x) / sigma - sigma / std::fabs(tau));
        E = (sigma * sigma) / (tau * (tau * 2.0)) + (x - peak) / std::fabs(tau);
    }
    if (tau >= 0.0) {
        z = c1 * ((x - peak) / sigma - sigma / tau);
        E = (sigma * sigma) / (tau * (tau * 2.0)) - (x - peak) / tau;
    }
    const double w = c1 * (peak / sigma + sigma / std::fabs(tau));
    const double erf_w = erf(w);
    const double erf_z = erf(z);
    if (E > 600.0) return 0.0;
    return (erf_w + erf_z) * (std::pow(2.71828182845905, E) * (1.0 / (1.772453851 * std::fabs(tau))));
}

inline double gaussian(double x, double peak, double sigma) {
    const double c = 1.0 / (sigma * 2.506628275);
    const double d = x - peak;
    const double s = sigma * (sigma * 2.0);
    const double exponent = -(d * d) / s;
    return std::pow(2.71828182845905, exponent) * c;
}

}  // namespace elutrix::literal
