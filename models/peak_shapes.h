// The field's tailing peak shapes, each with unit area and evaluated without
// cancellation, and the window's exponentially modified Gaussian evaluated
// the same way (to tell where its own evaluation rounds a peak away). Times
// are in seconds; sigma is a standard deviation (its magnitude is used), tau
// a signed time constant: positive tails, negative fronts (the mirror image
// about the centre), 0 gives the Gaussian.
//
// Each shape comes with the slope of its logarithm, which falls through 0
// at the apex (every shape here is log-concave), so that the apex can be
// found where the derivative vanishes instead of by comparing values.
#pragma once

#include <array>

namespace elutrix::shapes {

// The textbook exponentially modified Gaussian: a Gaussian of standard
// deviation sigma centred on peak convolved with exp(-t / |tau|) / |tau|;
// area 1 over the whole time axis, for every sigma / |tau|:
//   1 / (2 tau) exp(sigma^2 / (2 tau^2) - d / tau) erfc((sigma / tau - d / sigma) / sqrt 2), d = x - peak,
// evaluated through the scaled complementary error function wherever erfc
// would underflow, with the exponents combined before they are taken.
double exact_emg(double x, double peak, double sigma, double tau);
double exact_emg_log_slope(double x, double peak, double sigma, double tau);

// The exponential-Gaussian hybrid (Lan and Jorgenson, J. Chromatogr. A 915
// (2001) 1-13): exp(-d^2 / (2 sigma^2 + tau d)) where the denominator is
// positive and 0 elsewhere, divided by its area so that its area is 1. Its
// apex is at the centre.
double hybrid(double x, double peak, double sigma, double tau);
// The same with its area, hybrid_area(sigma, tau), found already.
double hybrid(double x, double peak, double sigma, double tau, double area);
double hybrid_log_slope(double x, double peak, double sigma, double tau);
// The area of exp(-d^2 / (2 sigma^2 + tau d)) over d: sigma J(|tau| / sigma)
// with J(k) = (4 / k) e^(4/k^2) K1(4 / k^2), sqrt(2 pi) at k = 0.
double hybrid_area(double sigma, double tau);

// The window's exponentially modified Gaussian, emg(x, peak, sigma, tau)
// with its stored constants, evaluated without cancellation and without its
// exponent limit:
//   (erfc(-z) - erfc(w)) e'^E / (root_pi |tau|),
// the exact value of (erf(w) + erf(z)) e'^E / (root_pi |tau|). Odd in sigma,
// as the model is.
double emg_unclipped(double x, double peak, double sigma, double tau);
double emg_unclipped_log_slope(double x, double peak, double sigma, double tau);

// The distance from centre to apex of a log-concave shape whose log slope
// at peak + d is slope(d): the root of the slope, to adjacent doubles. The
// search starts at distances of scale (a positive width, such as sigma).
template <class Slope>
double apex_offset(const Slope& slope, double scale) {
    const double s0 = slope(0.0);
    if (!(s0 == s0) || s0 == 0.0) return 0.0;
    const double direction = s0 > 0.0 ? 1.0 : -1.0;
    double inside = 0.0;  // the slope still points away from the centre here
    double outside = scale;
    for (int i = 0; i < 2100 && direction * slope(direction * outside) > 0.0; ++i) {
        inside = outside;
        outside *= 2.0;
        if (!(outside < 1e300)) return direction * inside;
    }
    for (int i = 0; i < 2100; ++i) {
        const double middle = inside + (outside - inside) / 2.0;
        if (middle == inside || middle == outside) break;
        if (direction * slope(direction * middle) > 0.0) {
            inside = middle;
        } else {
            outside = middle;
        }
    }
    return direction * (inside + (outside - inside) / 2.0);
}

// The apex's distance from the centre for the shapes above.
double exact_emg_apex_offset(double sigma, double tau);
double emg_unclipped_apex_offset(double peak, double sigma, double tau);

// For a run's evaluators: the same values from the distance x - peak given
// exactly as d_hi + d_lo, with s = |sigma|; the hybrid before its division
// by hybrid_area.
// exact_emg_at takes s / |tau| to double-double precision, {hi, lo}, as
// exact_emg_ratio gives it once for all points.
std::array<double, 2> exact_emg_ratio(double s, double tau);
double exact_emg_at(double d_hi, double d_lo, double s, double tau, const std::array<double, 2>& u);
double hybrid_unscaled_at(double d_hi, double d_lo, double s, double tau);

}  // namespace elutrix::shapes
