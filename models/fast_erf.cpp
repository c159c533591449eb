#include "models/fast_erf.h"

#include <cmath>

#include "models/constants.h"
#include "models/gamma.h"

namespace elutrix::fast {

namespace {

constexpr double a_half = 0.5;
// P(0.5, x) takes the series below this x and the continued fraction from
// it on, as gammp does (x < a + 1).
constexpr double series_end = a_half + 1.0;
// Values evaluated at once: enough for the divisions of one to overlap
// those of the others.
constexpr std::size_t lanes = 4;

const double ln_gamma_half = gammln(a_half);

// P(0.5, x) for count <= Lanes values 0 < x < 1.5, by the series of gser
// (Abramowitz and Stegun 6.5.29) ended early. The terms shrink
// monotonically (x / p < 1), so once a term leaves the sum unchanged every
// later one does too, and the convergence test holds from there to the
// last of the hundred iterations: gser's full series returns s x e^(...)
// with this same s. The lanes advance together, each doing exactly the
// operations of the one-lane case in the same order, so each gives the
// same double; only the waits for the divisions overlap.
template <std::size_t Lanes>
void series_lanes(const double* x, double* out, std::size_t count) {
    double s[Lanes], d[Lanes];
    bool running[Lanes];
    std::size_t left = count;
    for (std::size_t l = 0; l < count; ++l) {
        s[l] = 1.0 / a_half;
        d[l] = s[l];
        running[l] = true;
    }
    double p = a_half;  // the same in every lane
    for (int n = 1; n <= gamma_constants::max_iterations && left > 0; ++n) {
        p = p + 1.0;
        for (std::size_t l = 0; l < count; ++l) {
            if (!running[l]) continue;
            d[l] = (d[l] * x[l]) / p;
            const double next = s[l] + d[l];
            if (next == s[l]) {
                running[l] = false;
                --left;
            } else {
                s[l] = next;
            }
        }
    }
    for (std::size_t l = 0; l < count; ++l) {
        if (!(std::fabs(d[l]) < std::fabs(s[l]) * gamma_constants::eps)) {
            // Never reached for 0 < x < 1.5; keeps the plain routine's answer otherwise.
            double gln = 0.0;
            out[l] = gser(a_half, x[l], gln);
        } else {
            out[l] = s[l] * std::pow(constants::e, (-x[l] + a_half * std::log(x[l])) - ln_gamma_half);
        }
    }
}

}  // namespace

double erf(double x) {
    double out = 0.0;
    erf_many(&x, &out, 1);
    return out;
}

void erf_many(const double* z, double* out, std::size_t count) {
    if (count == 0) return;
    // P(0.5, z^2) by the series or the fraction, four of a kind at a time.
    double series_x[lanes], fraction_x[lanes], result[lanes];
    std::size_t series_at[lanes], fraction_at[lanes];
    std::size_t series_count = 0, fraction_count = 0;
    const auto flush_series = [&] {
        series_lanes<lanes>(series_x, result, series_count);
        for (std::size_t l = 0; l < series_count; ++l) out[series_at[l]] = result[l];
        series_count = 0;
    };
    const auto flush_fraction = [&] {
        continued_fraction_lanes<lanes>(a_half, fraction_x, ln_gamma_half, result, fraction_count);
        for (std::size_t l = 0; l < fraction_count; ++l) out[fraction_at[l]] = 1.0 - result[l];
        fraction_count = 0;
    };
    // Beyond the saturation P(0.5, z^2) is exactly 1, as the fraction gives it.
    constexpr double saturated_t = erf_saturation * erf_saturation;
    for (std::size_t k = 0; k < count; ++k) {
        const double t = z[k] * z[k];
        if (t >= saturated_t) {
            out[k] = 1.0;
            continue;
        }
        if (t < series_end) {
            if (t == 0.0) {
                out[k] = 0.0;  // gser's answer for x = 0
                continue;
            }
            series_x[series_count] = t;
            series_at[series_count++] = k;
            if (series_count == lanes) flush_series();
        } else {
            fraction_x[fraction_count] = t;
            fraction_at[fraction_count++] = k;
            if (fraction_count == lanes) flush_fraction();
        }
    }
    if (series_count > 0) flush_series();
    if (fraction_count > 0) flush_fraction();
    for (std::size_t k = 0; k < count; ++k) {
        if (z[k] < 0.0) out[k] = -out[k];
    }
}

}  // namespace elutrix::fast
