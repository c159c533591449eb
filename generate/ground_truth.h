// The true figures of every peak of a run, from each component's own term of
// the model as the run evaluates it (relative response x gaussian or emg,
// with the model's stored constants), in the units an integrator reports.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/components.h"
#include "engine/inputs.h"
#include "engine/placement.h"
#include "engine/synthesis.h"
#include "models/baseline.h"
#include "models/fast_models.h"

namespace elutrix::generate {

// A peak's width at a fraction of its apex height, split at the apex.
struct PeakWidth {
    double fraction = 0.0;  // 0.5, 0.1 or 0.05
    double lead = 0.0;      // apex time minus the leading crossing, minutes
    double trail = 0.0;     // trailing crossing minus the apex time, minutes
    double width() const { return lead + trail; }
};

struct PeakTruth {
    int row = 0;  // 0-based; row + 1 as the user numbers it
    PeakModel model = PeakModel::Gaussian;  // the term the run uses for it
    double retention_time_min = 0.0;
    double relative_response = 0.0;
    double sigma_s = 0.0;
    double tau = 0.0;  // 0 for a Gaussian term

    // Area in response x min: by the trapezoid rule over the run's grid (as
    // an integrator of the data file finds it), and the model's analytic
    // area (the window's exponentially modified model from time 0 on, where
    // its decay starts, as the same formula gives it without rounding; the
    // field's shapes have the relative response as their area).
    double area_trapezoid = 0.0;
    double area_model = 0.0;

    // The window's exponentially modified model rounds a short-tau peak
    // away where erf(z) reaches -1 and at its exponent limit. clipped: the
    // term as the run evaluates it differs from the same formula evaluated
    // without cancellation by more than 1e-6 of that one's apex height at
    // some grid point; clipped_area_fraction: the part of its area (by the
    // trapezoid rule over the grid) that the data lacks.
    bool clipped = false;
    double clipped_area_fraction = 0.0;
    double sigma_over_tau = 0.0;  // |sigma / tau|, for the warning

    // Found on the continuous term. A term that is 0 everywhere (relative
    // response 0, or a decay constant so short that the model gives 0) has
    // no apex, and none of the figures below.
    bool has_apex = false;
    double apex_time_min = 0.0;
    double apex_height = 0.0;
    std::array<PeakWidth, 3> widths{};  // at 50 %, 10 % and 5 % of the apex height
    double tailing = 0.0;               // USP tailing factor, at 5 %
    double asymmetry = 0.0;             // asymmetry factor, at 10 %
    double plates = 0.0;                // 5.54 (apex time / half-height width)^2
    // 1.18 (apex time - previous apex time) / (sum of the half-height
    // widths), to the previous peak of the table.
    std::optional<double> resolution;
    std::optional<double> baseline_at_apex;  // when the run has points

    // With a detector's time constant the figures above describe the
    // component as the detector records it: its term at the grid points
    // through the same first-order response as the data, and between two
    // points the response to the later point's value held over the step,
    // which is what that recursion computes. Its apex is then a grid point.
    // These keep the unfiltered component's apex.
    std::optional<double> pure_apex_time_min;
    std::optional<double> pure_apex_height;
};

// The ground truth of a finished run: rows and settings after the run,
// its placement, and the trace it filled.
std::vector<PeakTruth> ground_truth(const ComponentTable& rows, const SimulationSettings& settings,
                                    const PeakPlacement& placement, const Trace& trace,
                                    std::optional<double> time_constant_s = std::nullopt);

// The warning for a clipped peak of the scenario called name: which row,
// how much of its area is missing, and the shape that has none missing.
std::string clipping_warning(const std::string& name, const PeakTruth& peak);

}  // namespace elutrix::generate
