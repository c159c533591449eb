// The regularised lower incomplete gamma function P(a, x) and its helpers,
// on which the error function of the EMG model rests.
#pragma once

namespace elutrix {

// P(a, x): the series for x < a + 1, one minus the continued fraction otherwise.
double gammp(double a, double x);
// P(a, x) by the power series, always 100 terms; gln receives ln Gamma(a).
double gser(double a, double x, double& gln);
// Q(a, x) = 1 - P(a, x) by the continued fraction; gln receives ln Gamma(a).
double gcf(double a, double x, double& gln);
// The continued fraction of gcf for a known gln = ln Gamma(a).
double continued_fraction(double a, double x, double gln);
// ln Gamma(xx) by the six-term Lanczos approximation.
double gammln(double xx);

namespace gamma_constants {
inline constexpr int max_iterations = 100;
inline constexpr double eps = 3e-07;
inline constexpr double lanczos[6] = {76.18009173, -86.50532033, 24.01409822,
                                      -1.231739516, 0.00120858003, -5.36382e-06};
inline constexpr double lanczos_scale = 2.50662827465;
}  // namespace gamma_constants

}  // namespace elutrix
