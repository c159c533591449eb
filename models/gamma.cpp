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

// P(a, x) by its series (Abramowitz and Stegun 6.5.29):
// P(a, x) = e^-x x^a / Gamma(a) sum over n >= 0 of x^n / (a (a+1) ... (a+n)),
// the terms d_n = d_(n-1) x / (a + n) from d_0 = 1 / a.
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
    double out = 0.0;
    continued_fraction_lanes<1>(a, &x, gln, &out, 1);
    return out;
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
