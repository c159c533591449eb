#include "models/gamma.h"

#include <cmath>

#include "models/constants.h"

namespace elutrix {

using namespace gamma_constants;

double gammp(double a, double x) {
    double gln = 0.0;
    if (x < a + 1.0) return gser(a, x, gln);
    return 1.0 - gcf(a, x, gln);
}

double gser(double a, double x, double& gln) {
    gln = gammln(a);
    if (x == 0.0) return 0.0;
    double p = a;
    double s = 1.0 / a;
    double d = s;
    double result = 0.0;
    // All 100 terms, every time: the value is built from the full sum.
    for (int n = 1; n <= max_iterations; ++n) {
        p = p + 1.0;
        d = (d * x) / p;
        s = s + d;
        if (std::fabs(d) < std::fabs(s) * eps) {
            result = s * std::pow(constants::e, (-x + a * std::log(x)) - gln);
        }
    }
    return result;
}

double gcf(double a, double x, double& gln) {
    gln = gammln(a);
    return continued_fraction(a, x, gln);
}

double continued_fraction(double a, double x, double gln) {
    double g_prev = 0.0;
    double a0 = 1.0, a1 = x, b0 = 0.0, b1 = 1.0, f = 1.0;
    for (int n = 1; n <= max_iterations; ++n) {
        const double m = n - a;
        a0 = (a1 + a0 * m) * f;
        b0 = (b1 + b0 * m) * f;
        const double h = f * n;
        a1 = x * a0 + h * a1;
        b1 = x * b0 + h * b1;
        if (a1 != 0.0) {
            f = 1.0 / a1;
            const double g = b1 * f;
            if (std::fabs((g - g_prev) / g) < eps) {
                return std::exp((-x + a * std::log(x)) - gln) * g;
            }
            g_prev = g;
        }
    }
    return 0.0;
}

double gammln(double xx) {
    double y = xx - 1.0;
    double u = y + 5.5;
    u = (y + 0.5) * std::log(u) - u;
    double s = 1.0;
    for (double k : lanczos) {
        y = y + 1.0;
        s = s + k / y;
    }
    return u + std::log(s * lanczos_scale);
}

}  // namespace elutrix
