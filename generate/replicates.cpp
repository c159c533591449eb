#include "generate/replicates.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace elutrix::generate {

ScenarioReplicates::ScenarioReplicates(const Scenario& scenario, const std::string& seed, Trace& trace,
                                       RandomGenerator& generator)
    : scenario_(scenario) {
    first_ = run_replicate(scenario, seed, trace, generator, &noise_free_);
    if (!first_.ok) return;
    const auto n = static_cast<std::size_t>(std::max(first_.point_count, 0));
    times_.assign(trace.times.begin() + 1, trace.times.begin() + 1 + static_cast<std::ptrdiff_t>(n));
    noise_free_.resize(n);
    drift_ = first_.settings.noise_kind == NoiseKind::random_walk;
}

bool ScenarioReplicates::add_noise(const std::string& seed, double* response, double* drawn,
                                   RandomGenerator& generator) const {
    const std::int32_t n = first_.point_count;
    const double* const signal = noise_free_.data();
    // The synthesis: the noise in order, one value per point, each point
    // checked as the run checks it, and the span the picture needs.
    seed_generator(seed, generator);
    const double u = first_.noise.u;
    double walk = 0.0;
    double r_max = 0.0;
    double r_min = 0.0;
    bool finite = true;
    for (std::int32_t i = 0; i < n; ++i) {
        const double v = noise(u, generator);
        walk += v;
        const double x = drift_ ? walk : v;
        const double resp = signal[i] + x;
        finite &= std::isfinite(resp);
        drawn[i] = x;
        response[i] = resp;
        r_max = resp > r_max ? resp : r_max;
        r_min = resp < r_min ? resp : r_min;
    }
    const double bottom = 1.1 * r_max;
    return finite && std::isfinite(bottom) && std::isfinite(bottom - r_min);
}

bool ScenarioReplicates::detect(ReplicateNoise& made, double* response) const {
    const std::optional<Detector>& detector = first_.detector;
    if (!detector) return true;
    const auto points = static_cast<std::size_t>(first_.point_count);
    const double dt = *first_.time_step_s;
    const std::uint64_t detector_seed_value = detector_seed(*detector, made.seed);
    thread_local std::vector<double> wander;
    detector_wander(*detector, detector_seed_value, points, dt, wander);
    made.detector_record = apply_detector(*detector, detector_seed_value, wander, response, points, dt);
    for (std::size_t i = 0; i < points; ++i) {
        if (!std::isfinite(response[i])) return false;
    }
    return true;
}

void ScenarioReplicates::make_block(const std::string* seeds, double* const* responses, ReplicateNoise* made,
                                    int count, RandomGenerator& generator, bool figures) const {
    const std::int32_t n = first_.point_count;
    const auto points = static_cast<std::size_t>(std::max(n, 0));
    bool noisy[block_replicates] = {};
    for (int j = 0; j < count; ++j) {
        made[j] = ReplicateNoise{};
        made[j].seed = text_value(seeds[j]);
    }
    if (n < 1) return;
    if (!first_.noise.active) {
        for (int j = 0; j < count; ++j) std::memcpy(responses[j], noise_free_.data(), points * sizeof(double));
    } else {
        // The realised noise of each replicate, kept by the worker.
        thread_local std::vector<double> drawn;
        drawn.resize(points * block_replicates);
        for (int j = 0; j < count; ++j) {
            noisy[j] = add_noise(seeds[j], responses[j], drawn.data() + j * points, generator);
            if (!noisy[j]) made[j] = run_in_full(seeds[j], responses[j], generator);
        }
        if (!figures) {
            for (int j = 0; j < count; ++j) made[j].tallied = !noisy[j];
        }
        // Summed up side by side; a replicate left out tallies its own
        // values again, unused.
        NoiseTally tally[block_replicates] = {NoiseTally(first_.noise.u), NoiseTally(first_.noise.u),
                                              NoiseTally(first_.noise.u), NoiseTally(first_.noise.u)};
        const double* x[block_replicates];
        for (int j = 0; j < block_replicates; ++j) x[j] = drawn.data() + (j < count ? j : 0) * points;
        if (!figures) {
        } else if (count == 1) {
            for (std::int32_t i = 0; i < n; ++i) tally[0].add(i + 1, x[0][i]);
        } else {
            for (std::int32_t i = 0; i < n; ++i) {
                for (int j = 0; j < block_replicates; ++j) tally[j].add(i + 1, x[j][i]);
            }
        }
        for (int j = 0; figures && j < count; ++j) {
            if (noisy[j]) made[j].noise = tally[j].summary(n);
        }
    }
    for (int j = 0; j < count; ++j) {
        if ((noisy[j] || !first_.noise.active) && !detect(made[j], responses[j])) {
            made[j] = run_in_full(seeds[j], responses[j], generator);
        }
    }
}

NoiseSummary ScenarioReplicates::noise_of(const std::string& seed, RandomGenerator& generator) const {
    if (!first_.noise.active || first_.point_count < 1) return first_.noise;
    const auto points = static_cast<std::size_t>(first_.point_count);
    std::vector<double> response(points);
    std::vector<double> drawn(points);
    add_noise(seed, response.data(), drawn.data(), generator);
    NoiseTally tally(first_.noise.u);
    for (std::size_t i = 0; i < points; ++i) tally.add(static_cast<std::int32_t>(i + 1), drawn[i]);
    return tally.summary(first_.point_count);
}

ReplicateNoise ScenarioReplicates::make(const std::string& seed, double* response, RandomGenerator& generator) const {
    ReplicateNoise made;
    make_block(&seed, &response, &made, 1, generator);
    return made;
}

ReplicateNoise ScenarioReplicates::run_in_full(const std::string& seed, double* response,
                                               RandomGenerator& generator) const {
    Trace trace(first_.point_count);
    const RunOutput out = run_replicate(scenario_, seed, trace, generator);
    ReplicateNoise made;
    made.ok = out.ok;
    made.message = out.message;
    made.seed = out.seed;
    if (!out.ok) return made;
    // Not reached while the shortcut above stops exactly where the run does;
    // the full run's values are the replicate's all the same.
    for (std::int32_t i = 1; i <= out.point_count; ++i) response[i - 1] = trace.export_points[i].response;
    made.noise = out.noise;
    made.detector_record = out.detector_record;
    return made;
}

RunOutput ScenarioReplicates::output(const std::string& seed, const ReplicateNoise& made) const {
    if (!made.ok) {
        RunOutput out;
        out.message = made.message;
        out.seed = made.seed;
        return out;
    }
    RunOutput out = first_;
    out.settings.seed = seed;
    out.seed = made.seed;
    out.noise = made.noise;
    out.detector_record = made.detector_record;
    return out;
}

void ScenarioReplicates::fill(const double* response, Trace& trace) const {
    const std::int32_t n = point_count();
    trace.fit(n);
    trace.point_count = n;
    for (std::int32_t i = 1; i <= n; ++i) {
        const double t = times_[static_cast<std::size_t>(i - 1)];
        const double y = response[i - 1];
        trace.times[i] = t;
        trace.responses[i] = y;
        trace.export_points[i] = {t, y};
    }
}

}  // namespace elutrix::generate
