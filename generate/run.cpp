#include "generate/run.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <random>
#include <utility>

#include "engine/chromatogram.h"

namespace elutrix::generate {

namespace {

// The realised noise of a run that drew values of full width u at every
// point, made again from the same seed: the value drawn at every point for
// random noise, its running sum for drift.
NoiseSummary noise_summary(const SimulationSettings& s, double u, std::int32_t n, RandomGenerator& generator) {
    seed_generator(s, generator);
    const bool drift = s.noise_kind == NoiseKind::random_walk;
    NoiseTally tally(u);
    double walk = 0.0;
    for (std::int32_t i = 1; i <= n; ++i) {
        const double v = noise(u, generator);
        walk += v;
        tally.add(i, drift ? walk : v);
    }
    return tally.summary(n);
}

}  // namespace

RunOutput run_once(const ComponentTable& rows, const SimulationSettings& settings, Trace& trace,
                   RandomGenerator& generator, bool seed_drawn, const std::optional<Detector>& detector,
                   std::vector<double>* noise_free) {
    RunOutput out;
    out.rows = rows;
    out.settings = settings;
    out.seed = text_value(settings.seed);
    out.seed_drawn = seed_drawn;
    const RunResult result = update_run(out.rows, out.settings, trace, nullptr, generator, noise_free);
    if (!result.ok) {
        // The window's message, which quotes texts as typed: shown as every
        // message of the generator is, escaped and of bounded length.
        out.message = readable_text(result.message, max_message_bytes);
        return out;
    }
    out.ok = true;
    out.placement = result.placement;
    out.point_count = trace.point_count;
    if (out.point_count >= 1) out.time_step_s = run_grid(out.placement, out.point_count).step;
    if (result.synthesis.noise_active) {
        out.noise = noise_summary(out.settings, result.synthesis.noise_u, out.point_count, generator);
    }
    std::optional<double> time_constant;
    if (detector && out.point_count >= 1) {
        out.detector = detector;
        const auto n = static_cast<std::size_t>(out.point_count);
        const double dt = *out.time_step_s;
        // Spikes are single points: more of them than points has no meaning.
        if (detector->spikes && detector->spikes->rate_per_min * (dt / 60.0) > 1.0) {
            out.ok = false;
            out.message = "The detector's spike rate of " + value_text(detector->spikes->rate_per_min) +
                          " per minute exceeds the run's " + value_text(60.0 / dt) +
                          " points per minute. Enter a smaller \"rate_per_min\".";
            return out;
        }
        const std::uint64_t seed = detector_seed(*detector, out.seed);
        // Kept by the worker from run to run.
        thread_local std::vector<double> wander;
        detector_wander(*detector, seed, n, dt, wander);
        // The window's trace (the responses, which the export table copies),
        // through the detector; the table that the data files write takes
        // the result.
        double* y = trace.responses.data() + 1;
        out.detector_record = apply_detector(*detector, seed, wander, y, n, dt);
        for (std::size_t i = 0; i < n; ++i) {
            if (!std::isfinite(y[i])) {
                out.ok = false;
                out.message = detector_non_finite_message(trace.times[i + 1]);
                return out;
            }
            trace.export_points[i + 1].response = y[i];
        }
        if (detector->time_constant_s && *detector->time_constant_s > 0.0) time_constant = *detector->time_constant_s;
    }
    out.peaks = ground_truth(out.rows, out.settings, out.placement, trace, time_constant);
    return out;
}

std::string detector_non_finite_message(double time_s) {
    return "The detector's stages give a response that is not a finite number at " + value_text(time_s / 60.0) +
           " min. Enter a smaller wander, noise or spike height, or a larger quantization step.";
}

RunOutput run_replicate(const Scenario& scenario, const std::string& seed, Trace& trace, RandomGenerator& generator,
                        std::vector<double>* noise_free) {
    SimulationSettings settings = scenario.settings;
    settings.use_seed = true;
    settings.seed = seed;
    return run_once(scenario.rows, settings, trace, generator, !scenario.settings.use_seed, scenario.detector,
                    noise_free);
}

SimulationSettings replicate_settings(const SimulationSettings& settings, int k, std::uint64_t drawn_seed) {
    SimulationSettings s = settings;
    if (!settings.use_seed) {
        s.use_seed = true;
        s.seed = std::to_string(drawn_seed);
    } else if (k > 1) {
        s.seed = value_text(text_value(settings.seed) + static_cast<double>(k - 1));
    }
    return s;
}

std::string repeated_seed_problem(const SimulationSettings& settings, int count) {
    if (!settings.use_seed || settings.noise_kind == NoiseKind::omit || count < 2) return {};
    const double first = text_value(settings.seed);
    if (!std::isfinite(first)) {
        return "the seed " + readable_text(settings.seed, 40) + " is too large: replicates 2 and on reseed with seed + replicate - 1, "
               "which has no value. Give a seed of 0 or more, below 10^15.";
    }
    const auto seed_of = [&](int k) {
        return k == 1 ? readable_text(settings.seed, 40) : value_text(first + static_cast<double>(k - 1));
    };
    const auto value_of = [&](int k) { return k == 1 ? first : text_value(value_text(first + static_cast<double>(k - 1))); };
    const auto repeat = [&](int a, int b) {
        return "replicates " + std::to_string(a) + " and " + std::to_string(b) +
               " would draw the same noise: their seeds (seed + replicate - 1) are " + seed_of(a) + " and " +
               seed_of(b) + ", and the generator uses a seed's magnitude. Give a seed of 0 or more, below 10^15.";
    };
    // A whole seed whose replicates' seeds all have at most 15 digits
    // repeats a magnitude only by crossing 0, and the smallest magnitude
    // it repeats is 1 (the seeds -1 and 1) or, from a seed of 0, none.
    if (first == std::floor(first) && std::fabs(first) + count < 1e15 && text_value(value_text(first)) == first) {
        if (first >= 0.0 || first + (count - 1) < 1.0) return {};
        const int minus_one = static_cast<int>(-first);  // the replicate of seed -1
        return repeat(minus_one, minus_one + 2);
    }
    // A whole seed of 0 or more: the seeds' values rise with k, and repeat
    // only once they reach 10^15, where their texts round to 15 digits; the
    // first two alike are the answer.
    if (first == std::floor(first) && first >= 0.0) {
        const double from = std::max(1.0, 1e15 - first - 1.0);
        if (from > count) return {};
        double previous = value_of(static_cast<int>(from));
        for (int k = static_cast<int>(from) + 1; k <= count; ++k) {
            const double seed = value_of(k);
            if (seed == previous) return repeat(k - 1, k);
            previous = seed;
        }
        return {};
    }
    std::vector<std::pair<double, int>> magnitudes;  // |seed of replicate k|, k
    for (int k = 1; k <= count; ++k) magnitudes.push_back({std::fabs(value_of(k)), k});
    std::sort(magnitudes.begin(), magnitudes.end());
    for (std::size_t i = 1; i < magnitudes.size(); ++i) {
        if (magnitudes[i].first != magnitudes[i - 1].first) continue;
        const int a = std::min(magnitudes[i].second, magnitudes[i - 1].second);
        const int b = std::max(magnitudes[i].second, magnitudes[i - 1].second);
        return repeat(a, b);
    }
    return {};
}

std::uint64_t draw_seed() {
    static std::mutex mutex;
    static std::random_device device;
    const std::lock_guard lock(mutex);
    const std::uint64_t bits = (std::uint64_t{device()} << 32) | device();
    return bits % (std::uint64_t{1} << 48) + 1;
}

std::vector<std::string> replicate_seeds(const SimulationSettings& settings, int count,
                                         std::set<std::uint64_t>& drawn, int first) {
    const auto fresh_seed = [&drawn] {
        for (;;)
            if (const std::uint64_t seed = draw_seed(); drawn.insert(seed).second) return seed;
    };
    std::vector<std::string> seeds;
    for (int k = first; k < first + count; ++k) {
        seeds.push_back(replicate_settings(settings, k, settings.use_seed ? 0 : fresh_seed()).seed);
    }
    return seeds;
}

}  // namespace elutrix::generate
