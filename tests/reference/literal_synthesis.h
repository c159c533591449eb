// The trace synthesis written the plain way: one point after the other, every
// enabled component's model evaluated at every point in row order, then the
// baseline, then the noise. Nothing is skipped, hoisted out of the models or
// shared among threads. Tests and benchmarks hold the synthesis of the
// program against it.
//
// Which peak models it evaluates is its template argument, never a matter
// of which headers came first: CopiedModels, the plain copy of
// reference/literal_models.h, against which the tests hold every run, or
// ProgramModels, the program's own models/, whose plain cost the benchmarks
// measure. The tests hold the two equal bit for bit. The baseline, the
// noise and the text conversions are the program's own either way; the
// fast path does not change them.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/inputs.h"
#include "engine/placement.h"
#include "models/baseline.h"
#include "models/emg.h"
#include "models/gaussian.h"
#include "models/noise.h"
#include "reference/literal_models.h"

namespace elutrix::literal {

struct CopiedModels {
    static double gaussian(double x, double peak, double sigma) { return literal::gaussian(x, peak, sigma); }
    static double emg(double x, double peak, double sigma, double tau) { return literal::emg(x, peak, sigma, tau); }
};

struct ProgramModels {
    static double gaussian(double x, double peak, double sigma) { return elutrix::gaussian(x, peak, sigma); }
    static double emg(double x, double peak, double sigma, double tau) { return elutrix::emg(x, peak, sigma, tau); }
};

struct SynthesisOutcome {
    std::int64_t n = 0;  // point count; no point exists when it is below 1
    double r_max = 0.0;
    double r_min = 0.0;
};

// Computes points 1 to n into times[i] and responses[i] (the vectors grow to
// n + 1 slots when they are smaller) and writes the derived S/N or noise
// value into settings. The inputs are read once before the loop rather than
// at every point: nothing can change them during a run, so the values are
// the same.
template <class Models>
SynthesisOutcome synthesize(const ComponentTable& rows, SimulationSettings& settings, const PeakPlacement& placement,
                            RandomGenerator& generator, std::vector<double>& times, std::vector<double>& responses) {
    SynthesisOutcome out;
    // 1. and 2. Sampling rate and point count, halves rounded to even.
    const double sr = text_value(settings.sampling_rate);
    const double latest_tr = placement.latest_tr;
    const std::int64_t n = static_cast<std::int64_t>(std::nearbyint(((latest_tr * sr) * 1.5) * 60.0));
    out.n = n;
    // 3. Extremes and the drift accumulator.
    double r_max = 0.0;
    double r_min = 0.0;
    double walk = 0.0;
    // 4. Seeding.
    if (settings.use_seed) {
        generator.reseed(-std::fabs(text_value(settings.seed)));
    } else {
        generator.randomize();
    }
    if (n < 1) return out;
    if (static_cast<std::int64_t>(times.size()) < n + 1) times.resize(static_cast<std::size_t>(n + 1));
    if (static_cast<std::int64_t>(responses.size()) < n + 1) responses.resize(static_cast<std::size_t>(n + 1));

    double a[component_count];
    for (int j = 0; j < component_count; ++j) a[j] = text_value(rows[j].relative_response);
    const bool gaussian_model = settings.peak_model == PeakModel::Gaussian;
    const double T = text_value(rows[placement.latest_row].retention_time);
    const double M = 1.5 * ((T * 60.0) * sr);
    const BaselineSettings baseline_settings = read_baseline(settings);
    const double v = text_value(settings.s_to_n_value);
    const double s = text_value(settings.s_to_n_percent);
    const bool by_value = settings.level_by_value && v != 0.0;
    const bool by_s_to_n = settings.level_by_s_to_n && s != 0.0;
    const NoiseKind kind = settings.noise_kind;

    // 5. The points.
    for (std::int64_t i = 1; i <= n; ++i) {
        double resp = 0.0;
        const double t = (((static_cast<double>(i) / static_cast<double>(n)) * 60.0) * 1.5) * latest_tr;
        times[i] = t;
        for (int j = 0; j < component_count; ++j) {
            const PlacedPeak& p = placement.peaks[j];
            if (!rows[j].enabled || p.sigma == 0.0) continue;
            if (gaussian_model || p.tau == 0.0) {
                resp += a[j] * Models::gaussian(t, p.peak, p.sigma);
            } else {
                resp += a[j] * Models::emg(t, p.peak, p.sigma, p.tau);
            }
        }
        resp += baseline(static_cast<double>(i), placement.ymax, M, baseline_settings);
        // The window lets at most one of the two level rules hold.
        if (kind == NoiseKind::random) {
            if (by_value) resp += noise(v, generator);
            if (by_s_to_n) resp += noise(placement.ymin / s, generator);
        }
        if (kind == NoiseKind::random_walk) {
            if (by_value) {
                walk += noise(v, generator);
                resp += walk;
            }
            if (by_s_to_n) {
                walk += noise(placement.ymin / s, generator);
                resp += walk;
            }
        }
        responses[i] = resp;
        if (resp > r_max) r_max = resp;
        if (resp < r_min) r_min = resp;
    }
    // Only the two noise modes write a level back; a noise group with no
    // option selected (any other kind) adds nothing and writes nothing.
    const bool noisy = kind == NoiseKind::random || kind == NoiseKind::random_walk;
    if (noisy && by_value) settings.s_to_n_percent = value_text(placement.ymin / v);
    if (noisy && by_s_to_n) settings.s_to_n_value = value_text(placement.ymin / s);
    out.r_max = r_max;
    out.r_min = r_min;
    return out;
}

}  // namespace elutrix::literal
