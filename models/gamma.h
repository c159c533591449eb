// The regularised lower incomplete gamma function P(a, x) and its helpers,
// on which the error function of the EMG model rests.
#pragma once

#include <cmath>
#include <cstddef>

namespace elutrix {

// P(a, x): the series for x < a + 1, one minus the continued fraction otherwise.
double gammp(double a, double x);
// P(a, x) by the power series, always 100 terms; gln receives ln Gamma(a).
double gser(double a, double x, double& gln);
// Q(a, x) = 1 - P(a, x) by the continued fraction; gln receives ln Gamma(a).
double gcf(double a, double x, double& gln);
// The continued fraction of gcf for a known gln = ln Gamma(a).
double continued_fraction(double a, double x, double gln);
// The same for count <= Lanes values x[0 .. count - 1] at once, into out.
template <std::size_t Lanes>
void continued_fraction_lanes(double a, const double* x, double gln, double* out, std::size_t count);
// ln Gamma(xx) by the six-term Lanczos approximation.
double gammln(double xx);

namespace gamma_constants {
inline constexpr int max_iterations = 100;
inline constexpr double eps = 3e-07;
inline constexpr double lanczos[6] = {76.18009173, -86.50532033, 24.01409822,
                                      -1.231739516, 0.00120858003, -5.36382e-06};
inline constexpr double lanczos_scale = 2.50662827465;
}  // namespace gamma_constants

// Q(a, x) by the continued fraction (Abramowitz and Stegun 6.5.31):
// Gamma(a, x) = e^-x x^a (1/(x+) (1-a)/(1+) 1/(x+) (2-a)/(1+) 2/(x+) ...),
// whose convergents B_n / A_n follow the three-term recurrence of their
// numerators and denominators, renormalised by 1 / A_n at every step
// (Numerical Recipes, 2nd edition, 6.2). It ends at the first n whose
// convergent moves by less than eps of itself, and gives 0 if none does
// within max_iterations. The lanes advance together, each doing exactly the
// operations of the one-lane case in the same order (every IEEE operation
// rounds the same wherever it runs), so each gives the same double as the
// one-lane case; only the waits for the divisions overlap.
template <std::size_t Lanes>
void continued_fraction_lanes(double a, const double* x, double gln, double* out, std::size_t count) {
    using namespace gamma_constants;
    double g_prev[Lanes], a0[Lanes], a1[Lanes], b0[Lanes], b1[Lanes], f[Lanes];
    bool running[Lanes];
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
    for (int n = 1; n <= max_iterations && left > 0; ++n) {
        const double m = n - a;
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
                if (std::fabs((g - g_prev[l]) / g) < eps) {
                    out[l] = std::exp((-x[l] + a * std::log(x[l])) - gln) * g;
                    running[l] = false;
                    --left;
                }
                g_prev[l] = g;
            }
        }
    }
}

}  // namespace elutrix
