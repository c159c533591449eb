#include "engine/placement.h"

#include <cmath>

#include "engine/run_error.h"
#include "models/emg.h"
#include "models/gaussian.h"
#include "models/peak_shapes.h"

namespace elutrix {

std::string row_name(int index) { return "Row " + std::to_string(index + 1); }

namespace {

double t_of(const ComponentRow& row) { return text_value(row.retention_time); }

void require_non_negative_plates(const ComponentTable& rows, int i) {
    const double N = text_value(rows[i].plates);
    if (N < 0.0) {
        stop_run(row_name(i) + ": the plate count (N) is negative (" + quoted(rows[i].plates) +
                 "). Enter a plate count greater than 0.");
    }
}

double derived_retention_time(const ComponentTable& rows, int i, double void_time) {
    const double r = text_value(rows[i].resolution);
    const double N = text_value(rows[i].plates);
    const double tr = t_of(rows[i - 1]);
    if (N <= 0.0) {
        stop_run(row_name(i) + ": its retention time cannot be derived from the resolution because its plate count (N) is " +
                 (N == 0.0 ? std::string("0 or empty") : quoted(rows[i].plates)) +
                 ". Enter a plate count greater than 0, or enter the retention time.");
    }
    const double t = resolution(r, N, tr, void_time);
    if (!std::isfinite(t)) {
        const double q = (std::fabs(r) * 2.0) / std::pow(N, 0.5);
        if (r > 0.0 && q == 1.0) {
            stop_run(row_name(i) + ": a resolution of " + value_text(r) + " with " + value_text(N) +
                     " plates places the peak infinitely late (the resolution equals the square root of N divided by 2). "
                     "Enter a smaller resolution or more plates, or enter the retention time.");
        }
        stop_run(row_name(i) + ": the retention time derived from the resolution " + quoted(rows[i].resolution) +
                 " is not a finite number. Enter a smaller resolution, or enter the retention time.");
    }
    return t;
}

double recomputed_resolution(const ComponentTable& rows, int i) {
    const double N = text_value(rows[i].plates);
    const double t = t_of(rows[i]);
    const double t_prev = t_of(rows[i - 1]);
    const double q = std::pow(N, 0.5) / 2.0;
    const double difference = t - t_prev;
    const double sum = t_prev + t;
    if (sum == 0.0) {
        if (t == 0.0) {
            stop_run(row_name(i) + " has no retention time and neither has " + row_name(i - 1) +
                     ", so its resolution cannot be computed. Enter a retention time or a resolution for " +
                     row_name(i) + ", or switch it off.");
        }
        stop_run("The retention times of " + row_name(i - 1) + " (" + value_text(t_prev) + ") and " + row_name(i) + " (" +
                 value_text(t) + ") add up to 0, so the resolution of " + row_name(i) +
                 " cannot be computed. Change one of the two retention times.");
    }
    const double value = (difference / sum) * q;
    if (!std::isfinite(value)) {
        stop_run(row_name(i) + ": the resolution computed from the retention times of " + row_name(i - 1) + " and " +
                 row_name(i) + " is not a finite number. Enter smaller retention times or a smaller plate count.");
    }
    return value;
}

}  // namespace

PeakPlacement place_peaks(ComponentTable& rows, const SimulationSettings& settings) {
    PeakPlacement placement;
    auto& peaks = placement.peaks;

    // 1. Retention times in seconds, enabled or not.
    for (int i = 0; i < component_count; ++i) peaks[i].peak = t_of(rows[i]) * 60.0;

    // 2. Times derived from resolutions, then every enabled row's resolution
    //    recomputed from the times. Row by row, so a chain of rows that give
    //    only resolutions is resolved in order.
    const double void_time = text_value(settings.void_minutes);
    for (int i = 1; i < component_count; ++i) {
        ComponentRow& row = rows[i];
        if (!row.enabled) continue;
        require_non_negative_plates(rows, i);
        if (t_of(row) == 0.0 && text_value(row.resolution) != 0.0) {
            row.retention_time = value_text(derived_retention_time(rows, i, void_time));
            peaks[i].peak = t_of(row) * 60.0;
            if (text_value(row.relative_response) == 0.0) row.relative_response = "1";
        }
        row.resolution = value_text(recomputed_resolution(rows, i));
    }

    // 3. Earliest and latest enabled components; of equal times the lower row
    //    wins. A time beyond the doubles takes part as an infinity: a latest
    //    one leaves the run without a point count, which synthesis reports.
    double first_tr = 1000000.0;
    for (int i = 0; i < component_count; ++i) {
        if (!rows[i].enabled) continue;
        const double t = t_of(rows[i]);
        if (t < first_tr) {
            first_tr = t;
            placement.first_row = i;
        }
        if (t > placement.latest_tr) {
            placement.latest_tr = t;
            placement.latest_row = i;
        }
    }

    // 4. Bandwidths: with constant bandwidth the first-eluting peak's time sets
    //    every row's width, each still divided by its own plate count.
    for (int i = 0; i < component_count; ++i) {
        if (rows[i].enabled) require_non_negative_plates(rows, i);
        const double N = text_value(rows[i].plates);
        if (N == 0.0) continue;
        const double t_ref = settings.constant_bandwidth ? t_of(rows[placement.first_row]) : t_of(rows[i]);
        peaks[i].sigma = t_ref * 60.0 / std::sqrt(N);
    }

    // 5. Decay constants, as entered.
    for (int i = 0; i < component_count; ++i) peaks[i].tau = text_value(rows[i].tau);

    // 6. Heights: the window's models give their value at the centre, with
    //    the retention time in minutes as x and peak and sigma in seconds;
    //    the field's shapes their apex height.
    const bool gaussian_model = settings.peak_model == PeakModel::Gaussian;
    const auto unit_height = [&](const PlacedPeak& p, double t) {
        switch (settings.peak_model) {
        case PeakModel::ExactExponentiallyModifiedGaussian:
            return shapes::exact_emg(shapes::exact_emg_apex_offset(p.sigma, p.tau), 0.0, p.sigma, p.tau);
        case PeakModel::ExponentialGaussianHybrid:
            return 1.0 / shapes::hybrid_area(p.sigma, p.tau);
        default:
            return (!gaussian_model && p.tau != 0.0) ? emg(t, t, p.sigma, p.tau) : gaussian(t, t, p.sigma);
        }
    };
    for (int i = 0; i < component_count; ++i) {
        PlacedPeak& p = peaks[i];
        if (p.sigma == 0.0) continue;
        const double g = unit_height(p, t_of(rows[i]));
        p.height = text_value(rows[i].relative_response) * g;
        if (p.height > placement.ymax && rows[i].enabled) placement.ymax = p.height;
        if (p.height < placement.ymin && rows[i].enabled) placement.ymin = p.height;
    }
    return placement;
}

}  // namespace elutrix
