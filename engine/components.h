// The parts of a run's signal: every enabled row with a bandwidth, in row
// order, with the term the run adds for it (relative response x gaussian or
// emg, exactly as the synthesis evaluates it), the baseline, and the run's
// time grid.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "engine/inputs.h"
#include "engine/placement.h"
#include "models/baseline.h"
#include "models/fast_models.h"

namespace elutrix {

// One component's term at any time in seconds.
class ComponentTerm {
public:
    // grid is the run's (see run_grid); it only bounds range(). model is
    // the one the term uses (see term_model).
    ComponentTerm(double a, const PlacedPeak& peak, PeakModel model, const fast::Grid& grid);
    double operator()(double x) const;
    // The grid points outside which the term is exactly 0.
    fast::PointRange range() const;
    PeakModel model() const { return model_; }
    // Adds the term to a running sum of terms.
    void add_to(fast::TermSum& sum) const;

private:
    PeakModel model_;
    fast::Term term_;
};

// The run's grid: point i at i x step seconds, step = 90 x latest_tr / n.
// A run without points gets a one-point stand-in, so that terms can still be
// evaluated off the grid.
fast::Grid run_grid(const PeakPlacement& placement, std::int32_t point_count);

struct RowTerm {
    int row;
    double relative_response;
    ComponentTerm term;
};

// The model a row's term uses: the window's exponentially modified model
// draws a row without tau as a Gaussian; the field's shapes take tau 0 as
// their own Gaussian limit.
PeakModel term_model(PeakModel chosen, double tau);

std::vector<RowTerm> run_terms(const ComponentTable& rows, const SimulationSettings& settings,
                               const PeakPlacement& placement, const fast::Grid& grid);

// The run's baseline at a point index, fractional indices included: scaled
// by the tallest peak and by the unrounded point count, 1.5 x the latest
// row's retention time text (minutes) x 60 x the sampling rate.
class RunBaseline {
public:
    RunBaseline(const ComponentTable& rows, const SimulationSettings& settings, const PeakPlacement& placement);
    double operator()(double index) const { return baseline(index, ymax_, maxtime_, settings_); }
    // A flat baseline is exactly +0 at every point.
    bool flat() const { return settings_.shape == BaselineShape::flat; }

private:
    double ymax_ = 0.0;
    double maxtime_ = 0.0;
    BaselineSettings settings_;
};

}  // namespace elutrix
