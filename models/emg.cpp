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
    // A fronting peak (tau < 0) is the tailing one mirrored about its centre.
    const double z = tau < 0.0 ? c1 * ((peak - x) / sigma - sigma / abs_tau)
                               : c1 * ((x - peak) / sigma - sigma / tau);
    const double E = emg_exponent(emg_exponent_offset(sigma, tau), x - peak, tau);
    const double w = c1 * (peak / sigma + sigma / abs_tau);
    const double erf_w = erf(w);
    const double erf_z = erf(z);
    if (E > constants::emg_exponent_limit) return 0.0;
    return (erf_w + erf_z) * (std::pow(constants::e, E) * (1.0 / (constants::root_pi * abs_tau)));
}

}  // namespace elutrix
