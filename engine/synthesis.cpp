#include "engine/synthesis.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "engine/components.h"
#include "engine/run_error.h"
#include "engine/vector_state.h"
#include "engine/workers.h"
#include "models/baseline.h"
#include "models/fast_models.h"

namespace elutrix {

Trace::Trace() : Trace(capacity) {}

Trace::Trace(std::int32_t points) { fit(points); }

void Trace::fit(std::int32_t points) {
    const auto size = static_cast<std::size_t>(std::max(points, 0)) + 1;
    if (times.size() >= size) return;
    times.resize(size, 0.0);
    responses.resize(size, 0.0);
    export_points.resize(size);
}

std::int32_t point_count_for(double latest_tr, double sampling_rate) {
    const double exact = ((latest_tr * sampling_rate) * run_length_factor) * 60.0;
    const double n = std::nearbyint(exact);  // the default rounding: halves to even
    if (!std::isfinite(latest_tr) || !std::isfinite(sampling_rate) || std::isnan(n)) {
        stop_run("The number of points cannot be computed from the latest retention time and the sampling rate. "
                 "Enter a retention time and a sampling rate of ordinary size.");
    }
    const std::string asked = "This run asks for " + (std::isfinite(n) ? value_text(n) : std::string("too many")) +
                              " points (1.5 x the latest retention time of " + value_text(latest_tr) +
                              " min x 60 x the sampling rate of " + value_text(sampling_rate) + " points/sec)";
    if (n > Trace::capacity) {
        stop_run(asked + ", but the limit is 1,000,000 points. Lower the sampling rate or the latest retention time.");
    }
    if (n < static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
        stop_run(asked + ", a negative number too large to count. Enter a sampling rate greater than 0.");
    }
    return static_cast<std::int32_t>(n);
}

namespace {

// The enabled rows with a bandwidth, in row order, each with the evaluator
// of its model. Every parameter is accepted: the evaluators give the plain
// model's value for all of them, and a point that is not a finite number
// stops the run afterwards. Only an infinite relative response is refused
// here, since it makes every point of the run infinite or NaN.
std::vector<RowTerm> active_terms(const ComponentTable& rows, const SimulationSettings& settings,
                                  const PeakPlacement& placement, const fast::Grid& grid) {
    std::vector<RowTerm> terms = run_terms(rows, settings, placement, grid);
    for (const RowTerm& t : terms) {
        if (!std::isfinite(t.relative_response)) {
            stop_run(row_name(t.row) + ": the relative response " + quoted(rows[t.row].relative_response) +
                     " is too large. Enter a smaller relative response.");
        }
    }
    return terms;
}

// The enabled rows' terms in row order, summed as the plain loop sums them.
fast::TermSum term_sum(const std::vector<RowTerm>& terms) {
    static_assert(component_count <= fast::TermSum::max_terms, "a TermSum holds a term for every row");
    fast::TermSum sum;
    for (const RowTerm& active : terms) active.term.add_to(sum);
    return sum;
}

// Fills times and the noise-free responses (components, then baseline) of
// points [first, last]; every point keeps its own summation order.
void fill_points(long long first, long long last, long long n, double latest_tr, const fast::TermSum& sum,
                 const RunBaseline& baseline, Trace& trace) {
    const double nd = static_cast<double>(n);
    for (long long i = first; i <= last; ++i) {
        trace.times[i] = (((static_cast<double>(i) / nd) * 60.0) * run_length_factor) * latest_tr;
    }
    constexpr long long block = static_cast<long long>(fast::TermSum::block_points);
    for (long long b = first; b <= last; b += block) {
        const long long count = std::min(block, last - b + 1);
        sum.sum_block(b, static_cast<std::size_t>(count), &trace.times[b], &trace.responses[b]);
    }
    // Adding a flat baseline's +0 changes no sum (a sum that starts at +0
    // never becomes -0), so it is left out.
    if (baseline.flat()) return;
    for (long long i = first; i <= last; ++i) trace.responses[i] += baseline(static_cast<double>(i));
}

// The points are cut into small blocks that the cores take one after the
// other, so that a core that drew the blocks under the peaks does not keep
// the others waiting. Every point is computed on its own, so the split does
// not change any value.
void fill_all_points(long long n, double latest_tr, const fast::TermSum& sum, const RunBaseline& baseline,
                     Trace& trace) {
    constexpr long long block = 4096;
    const long long workers_wanted = n < 20000 ? 0 : static_cast<long long>(worker_threads()) - 1;
    if (workers_wanted <= 0) {
        fill_points(1, n, n, latest_tr, sum, baseline, trace);
        return;
    }
    std::atomic<long long> next_block{0};
    const long long blocks = (n + block - 1) / block;
    run_on_workers(static_cast<unsigned>(workers_wanted) + 1, [&] {
        clear_vector_upper_state();
        for (;;) {
            const long long b = next_block.fetch_add(1, std::memory_order_relaxed);
            if (b >= blocks) return;
            const long long first = 1 + b * block;
            fill_points(first, std::min(n, first + block - 1), n, latest_tr, sum, baseline, trace);
        }
    });
}

struct NoiseLevel {
    bool active = false;  // a value is drawn for every point
    double u = 0.0;       // full width of the noise
};

// The noise level of this run, and its write-back into the other box of the
// pair. No noise, and nothing written, unless random noise or drift is
// chosen (a noise group with no option selected adds none) and a level option
// is selected whose box does not read 0.
NoiseLevel noise_level(SimulationSettings& settings, double ymin) {
    if (settings.noise_kind != NoiseKind::random && settings.noise_kind != NoiseKind::random_walk) return {};
    const double v = text_value(settings.s_to_n_value);
    const double s = text_value(settings.s_to_n_percent);
    const bool by_value = settings.level_by_value && v != 0.0;
    const bool by_s_to_n = settings.level_by_s_to_n && s != 0.0;
    if (by_value && by_s_to_n) {
        // The window lets only one of the two be selected; together they have no meaning.
        stop_run("Both noise levels are selected (\"S/N   =\" and \"value =\"). Select one of them.");
    }
    if ((by_value || by_s_to_n) && !std::isfinite(ymin)) {
        stop_run("The noise level cannot be computed because the smallest peak's height is too large. "
                 "Enter a smaller relative response or a larger plate count (N), or switch the noise off.");
    }
    if (by_value) {
        if (!std::isfinite(v)) {
            stop_run("The noise value " + quoted(settings.s_to_n_value) +
                     " is too large. Enter a smaller noise value.");
        }
        const double s_to_n = ymin / v;
        if (!std::isfinite(s_to_n)) {
            stop_run("The noise value " + quoted(settings.s_to_n_value) +
                     " is so small that the signal-to-noise ratio cannot be computed. Enter a larger noise value.");
        }
        settings.s_to_n_percent = value_text(s_to_n);
        return {true, v};
    }
    if (by_s_to_n) {
        // An S/N too large for a double gives a noise level of 0, a finite run.
        const double u = ymin / s;
        if (!std::isfinite(u)) {
            stop_run("The S/N of " + quoted(settings.s_to_n_percent) +
                     " is so small that the noise level cannot be computed. Enter a larger S/N.");
        }
        settings.s_to_n_value = value_text(u);
        return {true, u};
    }
    return {};
}

// Names what made point i non-finite: a row's term, the baseline, the noise,
// or the sum of finite parts.
[[noreturn]] void report_non_finite(long long i, const std::vector<RowTerm>& terms, const RunBaseline& baseline,
                                    const Trace& trace) {
    const double t = trace.times[i];
    const std::string where = " at " + value_text(t / 60.0) + " min";
    for (const RowTerm& active : terms) {
        const double value = active.term(t);
        if (std::isinf(value)) {
            stop_run(row_name(active.row) + ": the peak's response" + where +
                     " is too large to compute. Enter a smaller relative response or fewer plates (N).");
        }
        if (std::isnan(value)) {
            stop_run(row_name(active.row) + ": the peak's response" + where +
                     " cannot be computed (its model gives no number there). Enter a retention time, plate count (N) "
                     "and tau of ordinary size.");
        }
    }
    if (!std::isfinite(baseline(static_cast<double>(i)))) {
        stop_run("The baseline" + where + " is too large to compute. Enter a smaller baseline percentage.");
    }
    stop_run("The simulated response" + where +
             " is too large to compute. Enter smaller relative responses, baseline percentage or noise level.");
}

}  // namespace

void seed_generator(const std::string& seed, RandomGenerator& generator) {
    generator.reseed(-std::fabs(text_value(seed)));
}

void seed_generator(const SimulationSettings& settings, RandomGenerator& generator) {
    if (settings.use_seed) {
        seed_generator(settings.seed, generator);
    } else {
        generator.randomize();
    }
}

SynthesisResult synthesize(const ComponentTable& rows, SimulationSettings& settings, const PeakPlacement& placement,
                           Trace& trace, RandomGenerator& generator, std::vector<double>* noise_free) {
    SynthesisResult result;
    const double sr = text_value(settings.sampling_rate);
    const double latest_tr = placement.latest_tr;
    const std::int32_t n = point_count_for(latest_tr, sr);
    result.point_count = n;

    seed_generator(settings, generator);
    if (n < 1) return result;

    const RunBaseline baseline(rows, settings, placement);
    // The last point lies at 90 x latest_tr seconds, the latest of all.
    if (!std::isfinite((60.0 * run_length_factor) * latest_tr)) {
        stop_run("The latest retention time of " + value_text(latest_tr) +
                 " min is too large for the run's times to be computed. Enter a smaller retention time.");
    }
    const fast::Grid grid = run_grid(placement, n);
    const std::vector<RowTerm> terms = active_terms(rows, settings, placement, grid);
    const NoiseLevel level = noise_level(settings, placement.ymin);

    trace.fit(n);
    fill_all_points(n, latest_tr, term_sum(terms), baseline, trace);
    if (noise_free) noise_free->assign(trace.responses.begin() + 1, trace.responses.begin() + 1 + n);

    // Noise goes on last and in order, one generator value per point.
    const bool drift = settings.noise_kind == NoiseKind::random_walk;
    double walk = 0.0;
    double r_max = 0.0;
    double r_min = 0.0;
    for (long long i = 1; i <= n; ++i) {
        double resp = trace.responses[i];
        if (level.active) {
            if (drift) {
                walk += noise(level.u, generator);
                resp += walk;
            } else {
                resp += noise(level.u, generator);
            }
            trace.responses[i] = resp;
        }
        if (!std::isfinite(resp)) report_non_finite(i, terms, baseline, trace);
        if (resp > r_max) r_max = resp;
        if (resp < r_min) r_min = resp;
    }
    result.r_max = r_max;
    result.r_min = r_min;
    result.noise_active = level.active;
    result.noise_u = level.u;
    return result;
}

}  // namespace elutrix
