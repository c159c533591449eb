#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/inputs.h"
#include "engine/placement.h"
#include "models/noise.h"

namespace elutrix {

struct TracePoint {
    double time = 0.0;  // seconds
    double response = 0.0;
};

// The simulated signal; slots 1 to point_count are in use, slot 0 never is.
// The window's trace is allocated once at full capacity and reused by every
// run, so that no run can fail for want of memory; a trace made for a given
// number of points (a generator's worker) grows to a larger run's size.
struct Trace {
    static constexpr std::int32_t capacity = 1000000;
    // The memory its three tables take at full capacity.
    static constexpr std::size_t table_bytes =
        (static_cast<std::size_t>(capacity) + 1) * (2 * sizeof(double) + sizeof(TracePoint));

    Trace();                                // at full capacity
    explicit Trace(std::int32_t points);    // room for points (0 or more)

    // Grows the tables to hold points 1 .. points; what they hold stays.
    void fit(std::int32_t points);

    std::int32_t point_count = 0;
    std::vector<double> times;              // seconds
    std::vector<double> responses;
    std::vector<TracePoint> export_points;  // what the data file export writes
};

// What the plot needs from a synthesis besides the Trace.
struct SynthesisResult {
    std::int32_t point_count = 0;  // may be 0 or negative: then no point exists
    double r_max = 0.0;            // never below 0
    double r_min = 0.0;            // never above 0
    bool noise_active = false;     // a noise value was drawn for every point
    double noise_u = 0.0;          // their full width
};

// Seeds the generator as a run does before its first point: from the seed
// box when "seed" is checked, otherwise from the clock.
void seed_generator(const SimulationSettings& settings, RandomGenerator& generator);
// The same for a checked seed box that holds seed.
void seed_generator(const std::string& seed, RandomGenerator& generator);

// The point count of a run: 1.5 x latest retention time (minutes) x 60 x
// sampling rate, rounded half to even. Throws RunError when it exceeds the
// trace's capacity or cannot be counted at all.
std::int32_t point_count_for(double latest_tr, double sampling_rate);

// Computes every point of the run into trace.times and trace.responses (the
// components in row order, then the baseline, then the noise) and writes the
// derived S/N or noise value back into settings. Leaves trace.point_count and
// trace.export_points alone: the run commits them only when every point is
// a finite number. Throws RunError, with the reason, otherwise. When
// noise_free is given it receives responses 1 .. point count before the
// noise goes on (what every run that differs only in its seed shares).
SynthesisResult synthesize(const ComponentTable& rows, SimulationSettings& settings, const PeakPlacement& placement,
                           Trace& trace, RandomGenerator& generator = random_generator(),
                           std::vector<double>* noise_free = nullptr);

}  // namespace elutrix
