// What a real detector adds to the window's trace, for scenarios: a
// wandering baseline, the detector's first-order response, Gaussian or 1/f
// noise, spikes, saturation and the converter's steps, applied in that order
// with a random generator of their own, so that the window's part of the
// trace stays what the window would draw.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace elutrix::generate {

struct Detector {
    struct Wander {
        double sd = 0.0;          // standard deviation over the run, response units
        double period_min = 0.0;  // changes slower than this dominate
    };
    struct Noise {
        bool pink = false;      // else Gaussian white noise
        double sd = 0.0;        // response units
        double exponent = 1.0;  // pink: power proportional to 1 / f^exponent
    };
    struct Spikes {
        double rate_per_min = 0.0;
        double height = 0.0;  // mean of the exponential heights
    };
    std::optional<Wander> wander;
    std::optional<double> time_constant_s;
    std::optional<Noise> noise;
    std::optional<Spikes> spikes;
    std::optional<double> low;   // saturation
    std::optional<double> high;
    std::optional<double> quantization;
    std::optional<std::uint64_t> seed;

    // Without any stage every file is the window's.
    bool empty() const {
        return !wander && !time_constant_s && !noise && !spikes && !low && !high && !quantization;
    }
};

// Reads the scenario's "detector" object; throws ScenarioError naming the
// key and where it stands for a value that has no meaning.
Detector detector_from_json(const nlohmann::json& value);
nlohmann::ordered_json detector_json(const Detector& detector);

// What the stages did in one run, for its record.
struct DetectorRecord {
    std::uint64_t seed = 0;  // what the generator was seeded with
    bool noise = false;      // the stage's realised noise:
    double noise_sd = 0.0;
    double noise_min = 0.0;
    double noise_max = 0.0;
    std::vector<std::int32_t> spike_points;  // 1-based point indices
    std::int64_t clamped_low = 0;
    std::int64_t clamped_high = 0;
};

// The first-order response's weight a = 1 - exp(-dt / T) for a time step of
// dt seconds.
double filter_weight(double time_constant_s, double dt_s);

// y(1) = x(1), y(k) = y(k - 1) + a (x(k) - y(k - 1)), in place over
// values[0 .. n - 1].
void first_order_response(double a, double* values, std::size_t n);

// The wander of a run of n points dt_s seconds apart, drawn from seed, into
// w (empty without one).
void detector_wander(const Detector& detector, std::uint64_t seed, std::size_t n, double dt_s, std::vector<double>& w);

// Applies every stage to response[0 .. n - 1] (dt_s seconds apart), with
// wander as detector_wander made it (empty without one).
DetectorRecord apply_detector(const Detector& detector, std::uint64_t seed, const std::vector<double>& wander,
                              double* response, std::size_t n, double dt_s);

// The detector's seed for a run with the given seed value: its own "seed"
// and the run's mixed, so that every replicate differs and a record, which
// holds both, makes the same file again.
std::uint64_t detector_seed(const Detector& detector, double run_seed);

}  // namespace elutrix::generate
