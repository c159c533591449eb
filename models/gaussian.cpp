#include "models/gaussian.h"

#include <cmath>

#include "models/constants.h"

namespace elutrix {

double gaussian(double x, double peak, double sigma) {
    const double c = 1.0 / (sigma * constants::root_two_pi);
    const double d = x - peak;
    const double s = sigma * (sigma * 2.0);
    const double exponent = -(d * d) / s;
    // A general power of the stored e, not exp(): the two differ in the last bits.
    return std::pow(constants::e, exponent) * c;
}

double resolution(double r, double N, double tr, double void_time) {
    const double q = (std::fabs(r) * 2.0) / std::pow(N, 0.5);
    double result = 0.0;
    if (void_time == 0.0) {
        if (r < 0.0) result = tr * (1.0 - q) / (1.0 + q);
        if (r > 0.0) result = tr * (1.0 + q) / (1.0 - q);
    } else {
        // The window never supplies a void time; when one is given the
        // spacing is measured from it.
        if (r < 0.0) result = void_time + ((tr - void_time) * (1.0 - q) - 2.0 * q * void_time) / (1.0 + q);
        if (r > 0.0) result = void_time + ((tr - void_time) * (1.0 + q) - 2.0 * q * void_time) / (1.0 - q);
    }
    if (r == 0.0) result = tr;
    return result;
}

}  // namespace elutrix
