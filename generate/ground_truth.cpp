#include "generate/ground_truth.h"

#include "generate/detector.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>
#include <cstdio>

#include "models/constants.h"
#include "models/emg.h"
#include "models/peak_shapes.h"

namespace elutrix::generate {

namespace {

// A component's shape, turned upwards: a negative relative response makes
// a dip. It is the term as the run evaluates it, except for a window
// exponentially modified term that is not clipped: that one is the same
// formula evaluated without cancellation, whose figures the term's own
// rounding (up to about 1e-7 relative on the rising side) does not move.
struct Upright {
    const ComponentTerm& term;
    double sign;
    const PlacedPeak* exact_window = nullptr;  // set for the exact formula
    double a = 0.0;
    double value(double x) const {
        if (exact_window) return a * shapes::emg_unclipped(x, exact_window->peak, exact_window->sigma, exact_window->tau);
        return term(x);
    }
    double operator()(double x) const { return sign * value(x); }
};

// The time of the highest value of a window exponentially modified term
// that the run rounds to 0 on its rising side (a clipped one): what is left
// has no smooth top to find by its derivative. A dense scan finds the
// highest sample, and a golden-section search the top between its
// neighbours.
double scanned_apex_time(const Upright& h, const PlacedPeak& p) {
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

// The apex time: where the analytic derivative of the model vanishes, found
// to adjacent doubles (every model here is log-concave, so the sign of its
// log slope brackets it); a Gaussian's and the hybrid's lie at the centre.
double apex_time(const Upright& h, const PlacedPeak& p, PeakModel model, bool clipped) {
    switch (model) {
    case PeakModel::ExponentiallyModifiedGaussian:
        if (clipped) return scanned_apex_time(h, p);
        return p.peak + shapes::emg_unclipped_apex_offset(p.peak, p.sigma, p.tau);
    case PeakModel::ExactExponentiallyModifiedGaussian:
        return p.peak + shapes::exact_emg_apex_offset(p.sigma, p.tau);
    case PeakModel::Gaussian:
    case PeakModel::ExponentialGaussianHybrid:
        break;
    }
    return p.peak;
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
// The field's shapes have area a.
double model_area(double a, const PlacedPeak& p, PeakModel model) {
    switch (model) {
    case PeakModel::Gaussian:
        return a * (std::sqrt(2.0 * std::numbers::pi) / constants::root_two_pi);
    case PeakModel::ExponentiallyModifiedGaussian: {
        const double c1 = 1.0 / constants::root_two;
        return a * ((1.0 + erf(c1 * (p.peak / p.sigma))) / constants::root_pi);
    }
    case PeakModel::ExactExponentiallyModifiedGaussian:
    case PeakModel::ExponentialGaussianHybrid:
        break;
    }
    return a;
}

// How a window exponentially modified term compares, over the run's grid,
// with the same formula evaluated without cancellation: whether it deviates
// by more than 1e-6 of that one's apex height anywhere, and the part of the
// latter's trapezoid area the term lacks. The formula is compared out to
// where it falls below e^-800 of its scale, as far as the grid goes.
struct Clipping {
    bool clipped = false;
    double area_fraction = 0.0;
};

Clipping clipping(const ComponentTerm& term, double a, const PlacedPeak& p, const Trace& trace,
                  const fast::Grid& grid) {
    const long long n = trace.point_count;
    if (n < 2) return {};
    const auto exact = [&](double x) { return a * shapes::emg_unclipped(x, p.peak, p.sigma, p.tau); };
    const double s = std::fabs(p.sigma);
    const double t = std::fabs(p.tau);
    const double u = s / t;
    double before = 40.0 * s;
    double after = before;
    if (u * u / 2.0 < 800.0) after = std::max(after, t * (u * u / 2.0 + 800.0));
    if (p.tau < 0.0) std::swap(before, after);
    fast::PointRange r = grid.covering(p.peak - before, p.peak + after);
    const fast::PointRange own = term.range();
    r.first = std::max(1LL, std::min(r.first, own.first) - 1);
    r.last = std::min(n, std::max(r.last, own.last) + 1);
    if (r.first >= r.last) return {};
    const double top =
        std::fabs(exact(p.peak + shapes::emg_unclipped_apex_offset(p.peak, p.sigma, p.tau)));
    if (!(top > 0.0) || !std::isfinite(top)) return {};
    Clipping c;
    double area_exact = 0.0;
    double area_missing = 0.0;
    double prev_t = trace.times[r.first] / 60.0;
    double prev_exact = exact(trace.times[r.first]);
    double prev_run = term(trace.times[r.first]);
    c.clipped = std::fabs(prev_run - prev_exact) > 1e-6 * top;
    for (long long i = r.first + 1; i <= r.last; ++i) {
        const double x = trace.times[i];
        const double e = exact(x);
        const double v = term(x);
        if (std::fabs(v - e) > 1e-6 * top) c.clipped = true;
        const double dt = x / 60.0 - prev_t;
        area_exact += (prev_exact + e) * dt / 2.0;
        area_missing += ((prev_exact - prev_run) + (e - v)) * dt / 2.0;
        prev_t = x / 60.0;
        prev_exact = e;
        prev_run = v;
    }
    if (c.clipped && area_exact != 0.0) c.area_fraction = area_missing / area_exact;
    return c;
}

// A term's values at the run's points first .. first + size - 1, as the
// trapezoid rule evaluated them; the filtered truth reads them again.
struct TermValues {
    long long first = 0;
    std::vector<double> values;
};

// The trapezoid rule over the run's points 1 .. n, times in minutes as the
// data file writes them. With kept, the values evaluated are kept there.
double trapezoid_area(const ComponentTerm& term, const Trace& trace, TermValues* kept = nullptr) {
    const long long n = trace.point_count;
    const fast::PointRange range = term.range();
    const long long first = std::max(1LL, range.first - 1);
    const long long last = std::min(n - 1, range.last);
    if (kept) {
        kept->first = first;
        kept->values.clear();
    }
    if (first > last) return 0.0;
    double area = 0.0;
    double t0 = trace.times[first] / 60.0;
    double f0 = term(trace.times[first]);
    if (kept) {
        kept->values.reserve(static_cast<std::size_t>(last - first + 2));
        kept->values.push_back(f0);
    }
    for (long long i = first; i <= last; ++i) {
        const double t1 = trace.times[i + 1] / 60.0;
        const double f1 = term(trace.times[i + 1]);
        if (kept) kept->values.push_back(f1);
        area += (f0 + f1) * (t1 - t0) / 2.0;
        t0 = t1;
        f0 = f1;
    }
    return area;
}

constexpr double width_fractions[] = {0.5, 0.1, 0.05};

// The tailing, asymmetry and plate count of a peak's widths.
void shape_figures(PeakTruth& t) {
    const PeakWidth& w50 = t.widths[0];
    const PeakWidth& w10 = t.widths[1];
    const PeakWidth& w5 = t.widths[2];
    t.tailing = w5.width() / (2.0 * w5.lead);
    t.asymmetry = w10.trail / w10.lead;
    const double ratio = t.apex_time_min / w50.width();
    t.plates = 5.54 * (ratio * ratio);
}

// The peak as the detector with time constant T records it (see
// PeakTruth). Between points k - 1 and k the held value x_k is approached
// from y_(k-1): y(s) = x_k + (y_(k-1) - x_k) e^(-s / T), monotonic, so the
// apex is the largest point and each crossing lies in one step, where it is
// solved for exactly. The term is evaluated from its range's start until
// both it and the response are below 4 % of the apex after it (the shape is
// unimodal, so the response stays below then), and over the last points
// whose weight in the last response exceeds 2^-60; the trapezoid area
// follows from the unfiltered one by the recursion's sum,
//   sum y = sum x - (y_n - y_1) / a + ...: trapz(y) = trapz(x) + dt ((x_n - y_n) / 2 - (y_n - x_1) / a).
// Returns the apex time in seconds.
double record_through_filter(PeakTruth& t, const ComponentTerm& term, const TermValues& kept, double sign,
                             const Trace& trace, double T) {
    const long long n = trace.point_count;
    if (n < 1) return 0.0;
    const double* times = trace.times.data();
    const fast::PointRange range = term.range();
    const long long kept_end = kept.first + static_cast<long long>(kept.values.size());
    const auto x_at = [&](long long i) {
        if (!range.contains(i)) return 0.0;
        const double v = i >= kept.first && i < kept_end ? kept.values[static_cast<std::size_t>(i - kept.first)]
                                                         : term(times[i]);
        return sign * v;
    };
    const double dt = n >= 2 ? times[2] - times[1] : times[1];
    const double a = filter_weight(T, dt);
    if (t.has_apex) {
        t.pure_apex_time_min = t.apex_time_min;
        t.pure_apex_height = t.apex_height;
    } else {
        t.pure_apex_time_min.reset();
        t.pure_apex_height.reset();
    }
    // Before its range the term, and so the response, is 0; on the rising
    // side, where the term stays below 2^-60 of its apex, the response does
    // too (it is a weighted mean of the term so far), and it is taken as 0:
    // the first point above that is found by bisection (the term rises
    // monotonically up to its apex). Point i is held at [i - base] from
    // base = first - 1 on, which holds 0.
    long long first = std::max(1LL, std::min(range.first, n));
    if (t.has_apex) {
        const double floor = 0x1p-60 * std::fabs(t.apex_height);
        long long lo = first;
        long long hi = std::min(n, static_cast<long long>(std::floor(t.apex_time_min * 60.0 / dt)));
        if (hi > lo && x_at(lo) < floor) {
            while (hi - lo > 1) {
                const long long mid = lo + (hi - lo) / 2;
                (x_at(mid) < floor ? lo : hi) = mid;
            }
            first = lo;
        }
    }
    const long long base = first - 1;
    // Kept by the worker from run to run.
    thread_local std::vector<double> xs;
    thread_local std::vector<double> ys;
    xs.assign(1, 0.0);
    ys.assign(1, 0.0);
    const auto x = [&](long long i) -> double& { return xs[static_cast<std::size_t>(i - base)]; };
    const auto y = [&](long long i) -> double& { return ys[static_cast<std::size_t>(i - base)]; };
    long long m = first;
    long long last = n;
    for (long long i = first; i <= n; ++i) {
        const double xi = x_at(i);
        xs.push_back(xi);
        ys.push_back(i == 1 ? xi : ys.back() + a * (xi - ys.back()));
        if (y(i) > y(m)) m = i;
        if (i > m && y(m) > 0.0 && y(i) < 0.04 * y(m) && x(i) < 0.04 * y(m)) {
            last = i;
            break;
        }
    }
    // The last response, from the points that still weigh in it.
    const double decay = -std::log1p(-a);  // -ln(1 - a) = dt / T
    const double reach = decay > 0.0 ? std::ceil(60.0 * std::numbers::ln2 / decay) : 0.0;
    double y_n = y(last);
    if (last < n) {
        const long long from = reach < static_cast<double>(n - last) ? n - static_cast<long long>(reach) : last + 1;
        if (std::fabs(x_at(from)) <= 0x1p-60 * y(m)) {
            // The term only falls after its apex: from here on it adds
            // less than 2^-60 of the apex, and the response just decays.
            y_n = y(last) * std::pow(1.0 - a, static_cast<double>(n - last));
        } else {
            double v = from == last + 1 ? y(last) : 0.0;
            for (long long i = from; i <= n; ++i) v = v + a * (x_at(i) - v);
            y_n = v;
        }
    }
    const double x_1 = x_at(1);
    const double x_n = x_at(n);
    if (n >= 2) t.area_trapezoid += sign * (dt / 60.0) * ((x_n - y_n) / 2.0 - (y_n - x_1) / a);
    t.has_apex = y(m) > 0.0 && std::isfinite(y(m));
    if (!t.has_apex) return 0.0;
    t.apex_time_min = times[m] / 60.0;
    t.apex_height = sign * y(m);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // The time within the step from point k - 1 to k at which y reaches target.
    const auto within = [&](long long k, double target) {
        return times[k - 1] - T * std::log((target - x(k)) / (y(k - 1) - x(k)));
    };
    for (std::size_t f = 0; f < t.widths.size(); ++f) {
        const double target = width_fractions[f] * y(m);
        double lead = nan;
        for (long long i = m - 1; i >= std::max(1LL, first - 1); --i) {
            if (y(i) < target) {
                lead = times[m] - within(i + 1, target);
                break;
            }
        }
        double trail = nan;
        for (long long j = m + 1; j <= last; ++j) {
            if (y(j) < target) {
                trail = within(j, target) - times[m];
                break;
            }
        }
        t.widths[f] = {width_fractions[f], lead / 60.0, trail / 60.0};
    }
    shape_figures(t);
    return times[m];
}

}  // namespace

std::vector<PeakTruth> ground_truth(const ComponentTable& rows, const SimulationSettings& settings,
                                    const PeakPlacement& placement, const Trace& trace,
                                    std::optional<double> time_constant_s) {
    const fast::Grid grid = run_grid(placement, trace.point_count);
    const RunBaseline run_baseline(rows, settings, placement);
    std::vector<PeakTruth> table;
    for (const RowTerm& row_term : run_terms(rows, settings, placement, grid)) {
        const PlacedPeak& p = placement.peaks[row_term.row];
        const ComponentTerm& term = row_term.term;
        PeakTruth t;
        t.row = row_term.row;
        t.model = term.model();
        t.retention_time_min = text_value(rows[row_term.row].retention_time);
        t.relative_response = row_term.relative_response;
        t.sigma_s = p.sigma;
        t.tau = t.model == PeakModel::Gaussian ? 0.0 : p.tau;
        t.area_model = model_area(row_term.relative_response, p, t.model) / 60.0;
        // Kept by the worker from run to run.
        thread_local TermValues kept;
        kept.values.clear();
        kept.first = 0;
        t.area_trapezoid = trace.point_count >= 2 ? trapezoid_area(term, trace, time_constant_s ? &kept : nullptr) : 0.0;
        if (t.model == PeakModel::ExponentiallyModifiedGaussian) {
            const Clipping c = clipping(term, row_term.relative_response, p, trace, grid);
            t.clipped = c.clipped;
            t.clipped_area_fraction = c.area_fraction;
            t.sigma_over_tau = std::fabs(p.sigma / p.tau);
        }

        Upright h{term, row_term.relative_response < 0.0 ? -1.0 : 1.0};
        if (t.model == PeakModel::ExponentiallyModifiedGaussian && !t.clipped) {
            h.exact_window = &p;
            h.a = row_term.relative_response;
        }
        const double apex = apex_time(h, p, t.model, t.clipped);
        const double top = h(apex);
        if (top > 0.0 && std::isfinite(top)) {
            t.has_apex = true;
            t.apex_time_min = apex / 60.0;
            t.apex_height = h.value(apex);
            for (std::size_t k = 0; k < t.widths.size(); ++k) {
                const double f = width_fractions[k];
                const double target = f * top;
                t.widths[k] = {f, crossing_distance(h, apex, p.sigma, -1.0, target) / 60.0,
                               crossing_distance(h, apex, p.sigma, 1.0, target) / 60.0};
            }
            shape_figures(t);
        }
        double apex_s = apex;
        if (time_constant_s) apex_s = record_through_filter(t, term, kept, h.sign, trace, *time_constant_s);
        if (t.has_apex) {
            if (!table.empty() && table.back().has_apex) {
                const PeakTruth& previous = table.back();
                t.resolution = 1.18 * (t.apex_time_min - previous.apex_time_min) /
                               (previous.widths[0].width() + t.widths[0].width());
            }
            if (trace.point_count >= 1) t.baseline_at_apex = run_baseline(apex_s / grid.step);
        }
        table.push_back(t);
    }
    return table;
}

std::string clipping_warning(const std::string& name, const PeakTruth& peak) {
    char figures[96];
    std::snprintf(figures, sizeof figures, "sigma/|tau| = %.3g, %.3g %% of its area missing",
                  peak.sigma_over_tau, 100.0 * peak.clipped_area_fraction);
    return "scenario \"" + name + "\", row " + std::to_string(peak.row + 1) +
           ": the exponentially modified Gaussian is clipped (" + figures +
           "); the data holds less than the ground truth's area_model. Use \"peak_model\": "
           "\"ExactExponentiallyModifiedGaussian\" for the whole peak.";
}

}  // namespace elutrix::generate
