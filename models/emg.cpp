#include "models/emg.h"

#include <cmath>

#include "models/constants.h"
#include "models/gamma.h"

namespace elutrix {

double erf(double x) {
    const double t = x * x;
    if (x < 0.0) return -gammp(0.5, t);
    return gammp(0.5, t);
}

double emg(double x, double peak, double sigma, double tau) {
    const double c1 = 1.0 / constants::root_two;
    const double abs_tau = std::fabs(tau);
    double z = 0.0;
    double E = 0.0;
    if (tau < 0.0) {
        z = c1 * ((peak - x) / sigma - sigma / abs_tau);
        E = (sigma * sigma) / (tau * (tau * 2.0)) + (x - peak) / abs_tau;
    } else {
        z = c1 * ((x - peak) / sigma - sigma / tau);
        E = (sigma * sigma) / (tau * (tau * 2.0)) - (x - peak) / tau;
    }
    const double w = c1 * (peak / sigma + sigma / abs_tau);
    const double erf_w = erf(w);
    const double erf_z = erf(z);
    if (E > constants::emg_exponent_limit) return 0.0;
    return (erf_w + erf_z) * (std::pow(constants::e, E) * (1.0 / (constants::root_pi * abs_tau)));
}

}  // namespace elutrix
