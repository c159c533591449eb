// One run of a scenario: what one press of "Update" does in a window holding
// the scenario's inputs, with its own random generator, and the ground truth
// of the result.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/inputs.h"
#include "engine/placement.h"
#include "engine/synthesis.h"
#include "generate/ground_truth.h"
#include "generate/scenario.h"
#include "models/noise.h"

namespace elutrix::generate {

// The noise level of a run and what the realised noise, the difference
// between the trace and its noise-free signal, came to.
struct NoiseSummary {
    bool active = false;  // a value was drawn for every point
    double u = 0.0;       // full width of each drawn value
    double sd = 0.0;      // sample standard deviation of the realised noise
    double min = 0.0;
    double max = 0.0;
};

struct RunOutput {
    bool ok = false;
    std::string message;  // why the run stopped, as the window says it

    // The inputs after the run's write-backs; the settings say which seed
    // the generator was reseeded with.
    ComponentTable rows;
    SimulationSettings settings;
    PeakPlacement placement;
    std::int32_t point_count = 0;
    std::optional<double> time_step_s;  // grid step, when there are points
    double seed = 0.0;                  // the seed's value
    bool seed_drawn = false;            // drawn because the scenario has none
    NoiseSummary noise;
    std::vector<PeakTruth> peaks;

    // With a detector: the scenario's and what it did (its seed makes the
    // wander again, see detector_wander).
    std::optional<Detector> detector;
    DetectorRecord detector_record;
};

// Runs the inputs as "Update" does, into trace, and works out the ground
// truth. settings must have use_seed set: unseeded runs get a drawn seed
// (see replicate_settings), so that every run can be made again. The run
// reseeds generator, which no other run may use meanwhile; the noise then
// depends on the seed alone. The trace holds the run's points and export
// table afterwards, as the window's would. noise_free, when given, receives
// the signal before the noise and the detector (see synthesize).
RunOutput run_once(const ComponentTable& rows, const SimulationSettings& settings, Trace& trace,
                   RandomGenerator& generator, bool seed_drawn = false,
                   const std::optional<Detector>& detector = std::nullopt,
                   std::vector<double>* noise_free = nullptr);

// A replicate of a scenario, reseeded with the seed text (one of
// replicate_seeds); drawn when the scenario has no seed of its own.
RunOutput run_replicate(const Scenario& scenario, const std::string& seed, Trace& trace, RandomGenerator& generator,
                        std::vector<double>* noise_free = nullptr);

// The realised noise of values drawn at every point: the values themselves
// for random noise, their running sum for drift. Fed one value after the
// other, it gives the figures a run's record holds.
class NoiseTally {
public:
    explicit NoiseTally(double u) {
        summary_.active = true;
        summary_.u = u;
        summary_.min = std::numeric_limits<double>::infinity();
        summary_.max = -summary_.min;
    }
    // x is the realised noise at point i (1, 2, ... in order).
    void add(std::int32_t i, double x) {
        summary_.min = std::min(summary_.min, x);
        summary_.max = std::max(summary_.max, x);
        const double delta = x - mean_;
        mean_ += delta / i;
        squares_ += delta * (x - mean_);
    }
    NoiseSummary summary(std::int32_t n) const {
        NoiseSummary out = summary_;
        out.sd = n > 1 ? std::sqrt(squares_ / (n - 1)) : 0.0;
        return out;
    }

private:
    NoiseSummary summary_;
    double mean_ = 0.0;
    double squares_ = 0.0;  // sum of squared deviations from the running mean
};

// The message of a run whose detector stages made a value that is not a
// finite number at time_s seconds.
std::string detector_non_finite_message(double time_s);

// The settings of replicate k (1-based) of a scenario: a seeded scenario
// reseeds with its seed + k - 1 (replicate 1 keeps the seed's text as typed);
// an unseeded one with drawn_seed.
SimulationSettings replicate_settings(const SimulationSettings& settings, int k, std::uint64_t drawn_seed);

// Whether the replicates 1 .. count of a seeded scenario would repeat a
// noise sequence: the generator uses the seed's magnitude, so seeds on both
// sides of 0, or too large for + 1 to change them, repeat one. Empty when
// they do not; otherwise the reason.
std::string repeated_seed_problem(const SimulationSettings& settings, int count);

// A fresh seed for an unseeded run: a whole number from 1 to 2^48, which
// value_text writes and text_value reads exactly.
std::uint64_t draw_seed();

// The seed texts of replicates first .. first + count - 1, as
// replicate_settings gives them. An unseeded scenario's replicates get fresh
// seeds that are not in drawn, and drawn keeps them, so that no two runs of
// a batch share a drawn seed.
std::vector<std::string> replicate_seeds(const SimulationSettings& settings, int count,
                                         std::set<std::uint64_t>& drawn, int first = 1);

}  // namespace elutrix::generate
