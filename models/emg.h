#pragma once

namespace elutrix {

// The error function, as +-P(0.5, x^2).
double erf(double x);

// Exponentially modified Gaussian: a Gaussian of standard deviation sigma
// centred on peak, convolved with an exponential decay of time constant |tau|
// starting at time 0. A negative tau mirrors the peak about its centre.
double emg(double x, double peak, double sigma, double tau);

}  // namespace elutrix
