// The error function of the EMG model, for the fast evaluators: the same
// doubles as erf (+-P(0.5, x^2), models/emg.h) for every argument, with
// ln Gamma(0.5) computed once, the series ended as soon as a term no longer
// changes its sum, and several values evaluated at once so that their
// divisions overlap.
#pragma once

#include <cstddef>

namespace elutrix::fast {

// erf(z) is exactly +-1 for |z| >= this: P(0.5, z^2) rounds to 1 from z^2
// of about 35.07 on, and z >= 6 gives z^2 >= 36 since rounding is monotone
// (the tests scan every value of P(0.5, X) from 36 up to beyond the point
// where the fraction's exponential itself underflows). erf and erf_many
// return +-1 there without evaluating the fraction.
inline constexpr double erf_saturation = 6.0;

double erf(double x);

// out[k] = erf(z[k]) for k < count, the same bits as erf.
void erf_many(const double* z, double* out, std::size_t count);

}  // namespace elutrix::fast
