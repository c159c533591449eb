#include "generate/ground_truth.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "models/constants.h"
#include "models/emg.h"

namespace elutrix::generate {

namespace {

// The term turned upwards: a negative relative response makes a dip.
struct Upright {
    const ComponentTerm& term;
    double sign;
    double operator()(double x) const { return sign * term(x); }
};

// The time of the term's highest value. A Gaussian's lies at its centre.
// An exponentially modified peak's lies after its centre (before it for a
// negative tau), within tau plus a few sigma; where the model rounds its
// rising edge to 0 (a short tau) it moves later by up to sigma^2 / tau.
// A dense scan finds the highest sample, and a golden-section search the
// top between its neighbours.
double apex_time(const Upright& h, const PlacedPeak& p, bool emg) {
    if (!emg) return p.peak;
    const double abs_tau = std::fabs(p.tau);
    const double reach = abs_tau + p.sigma * (p.sigma / abs_tau) + 12.0 * p.sigma;
    const double lo = p.tau > 0.0 ? p.peak - 12.0 * p.sigma : p.peak - reach;
    const double hi = p.tau > 0.0 ? p.peak + reach : p.peak + 12.0 * p.sigma;
    constexpr int samples = 8192;
    const double step = (hi - lo) / samples;
    int best = 0;
    double best_value = h(lo);
    for (int k = 1; k <= samples; ++k) {
        const double v = h(lo + step * k);
        if (v > best_value) {
            best_value = v;
            best = k;
        }
    }
    double a = lo + step * (best - 1);
    double b = lo + step * (best + 1);
    const double ratio = (std::sqrt(5.0) - 1.0) / 2.0;
    double c = b - ratio * (b - a);
    double d = a + ratio * (b - a);
    double hc = h(c);
    double hd = h(d);
    for (int i = 0; i < 200 && a < c && c < d && d < b; ++i) {
        if (hc >= hd) {
            b = d;
            d = c;
            hd = hc;
            c = b - ratio * (b - a);
            hc = h(c);
        } else {
            a = c;
            c = d;
            hc = hd;
            d = a + ratio * (b - a);
            hd = h(d);
        }
    }
    // The best point seen: the search's last pair, or the scan's sample.
    const double sample = lo + step * best;
    double top = hc >= hd ? c : d;
    if (h(sample) > h(top)) top = sample;
    return top;
}

// Where h falls to target going out from the apex in direction (-1 before
// it, +1 after it): stepping out by doublings of a quarter sigma until h is
// below target, then halving the interval down to adjacent doubles.
// Returns the distance from the apex, in seconds; NaN when h never falls.
double crossing_distance(const Upright& h, double apex, double sigma, double direction, double target) {
    double inside = 0.0;  // h(apex + direction inside) >= target
    // A subnormal sigma has no quarter: the steps then start at the least double.
    double outside = std::max(sigma / 4.0, std::numeric_limits<double>::denorm_min());
    while (!(h(apex + direction * outside) < target)) {
        inside = outside;
        outside *= 2.0;
        if (!std::isfinite(outside)) return std::numeric_limits<double>::quiet_NaN();
    }
    for (int i = 0; i < 2100; ++i) {
        const double middle = inside + (outside - inside) / 2.0;
        if (middle == inside || middle == outside) break;
        if (h(apex + direction * middle) >= target) {
            inside = middle;
        } else {
            outside = middle;
        }
    }
    return inside + (outside - inside) / 2.0;
}

// The model's area in response x seconds, with its stored constants. A
// Gaussian's, over the whole time axis, is a sqrt(2 pi) / 2.506628275. An exponentially modified peak is the Gaussian
// cut at time 0 and convolved with the decay, times 2 / sqrt(pi): from time
// 0 on (for a negative tau, its mirror image up to twice the centre) its
// area is a (1 + erf(peak / (sigma sqrt 2))) / 1.772453851, that is
// 2 / 1.772453851 times a for a peak far from time 0. The stored e moves
// both by parts in 10^15. Where a short tau makes the model round its rise
// to 0, the model as evaluated holds less than this.
double model_area(double a, const PlacedPeak& p, bool emg) {
    if (!emg) return a * (std::sqrt(2.0 * std::numbers::pi) / constants::root_two_pi);
    const double c1 = 1.0 / constants::root_two;
    return a * ((1.0 + erf(c1 * (p.peak / p.sigma))) / constants::root_pi);
}

// The trapezoid rule over the run's points 1 .. n, times in minutes as the
// data file writes them.
double trapezoid_area(const ComponentTerm& term, const Trace& trace) {
    const long long n = trace.point_count;
    const fast::PointRange range = term.range();
    const long long first = std::max(1LL, range.first - 1);
    const long long last = std::min(n - 1, range.last);
    if (first > last) return 0.0;
    double area = 0.0;
    double t0 = trace.times[first] / 60.0;
    double f0 = term(trace.times[first]);
    for (long long i = first; i <= last; ++i) {
        const double t1 = trace.times[i + 1] / 60.0;
        const double f1 = term(trace.times[i + 1]);
        area += (f0 + f1) * (t1 - t0) / 2.0;
        t0 = t1;
        f0 = f1;
    }
    return area;
}

constexpr double width_fractions[] = {0.5, 0.1, 0.05};

}  // namespace

std::vector<PeakTruth> ground_truth(const ComponentTable& rows, const SimulationSettings& settings,
                                    const PeakPlacement& placement, const Trace& trace) {
    const fast::Grid grid = run_grid(placement, trace.point_count);
    const RunBaseline run_baseline(rows, settings, placement);
    std::vector<PeakTruth> table;
    for (const RowTerm& row_term : run_terms(rows, settings, placement, grid)) {
        const PlacedPeak& p = placement.peaks[row_term.row];
        const ComponentTerm& term = row_term.term;
        PeakTruth t;
        t.row = row_term.row;
        t.model = term.emg() ? PeakModel::ExponentiallyModifiedGaussian : PeakModel::Gaussian;
        t.retention_time_min = text_value(rows[row_term.row].retention_time);
        t.relative_response = row_term.relative_response;
        t.sigma_s = p.sigma;
        t.tau = term.emg() ? p.tau : 0.0;
        t.area_model = model_area(row_term.relative_response, p, term.emg()) / 60.0;
        t.area_trapezoid = trace.point_count >= 2 ? trapezoid_area(term, trace) : 0.0;

        const Upright h{term, row_term.relative_response < 0.0 ? -1.0 : 1.0};
        const double apex = apex_time(h, p, term.emg());
        const double top = h(apex);
        if (top > 0.0 && std::isfinite(top)) {
            t.has_apex = true;
            t.apex_time_min = apex / 60.0;
            t.apex_height = term(apex);
            for (std::size_t k = 0; k < t.widths.size(); ++k) {
                const double f = width_fractions[k];
                const double target = f * top;
                t.widths[k] = {f, crossing_distance(h, apex, p.sigma, -1.0, target) / 60.0,
                               crossing_distance(h, apex, p.sigma, 1.0, target) / 60.0};
            }
            const PeakWidth& w50 = t.widths[0];
            const PeakWidth& w10 = t.widths[1];
            const PeakWidth& w5 = t.widths[2];
            t.tailing = w5.width() / (2.0 * w5.lead);
            t.asymmetry = w10.trail / w10.lead;
            const double ratio = t.apex_time_min / w50.width();
            t.plates = 5.54 * (ratio * ratio);
            if (!table.empty() && table.back().has_apex) {
                const PeakTruth& previous = table.back();
                t.resolution = 1.18 * (t.apex_time_min - previous.apex_time_min) /
                               (previous.widths[0].width() + w50.width());
            }
            if (trace.point_count >= 1) t.baseline_at_apex = run_baseline(apex / grid.step);
        }
        table.push_back(t);
    }
    return table;
}

}  // namespace elutrix::generate
