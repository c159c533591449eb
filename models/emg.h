#pragma once

#include <cmath>

namespace elutrix {

// The error function, as +-P(0.5, x^2).
double erf(double x);

// Exponentially modified Gaussian: a Gaussian of standard deviation sigma
// centred on peak, convolved with an exponential decay of time constant |tau|
// starting at time 0. A negative tau mirrors the peak about its centre.
double emg(double x, double peak, double sigma, double tau);

// The exponent of emg at distance d = x - peak from the centre:
// offset - d / tau, with offset = emg_exponent_offset(sigma, tau), the part
// that does not move, sigma^2 / (2 tau^2). A fronting peak (tau < 0) adds
// d / |tau| instead, which is the same double. Above
// constants::emg_exponent_limit the model gives 0.
inline double emg_exponent_offset(double sigma, double tau) { return (sigma * sigma) / (tau * (tau * 2.0)); }
inline double emg_exponent(double offset, double d, double tau) {
    return tau < 0.0 ? offset + d / std::fabs(tau) : offset - d / tau;
}

}  // namespace elutrix
