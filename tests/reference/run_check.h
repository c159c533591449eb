// One input through the program's run and through the plain loop, and every
// promise between the two checked: a run either stops with a message or
// completes; a completed run gives the plain loop's doubles to the last bit
// and writes its texts; no text, message or data file line shows a
// non-number; and a run stops only where the plain evaluation itself has no
// finite result. The random-run tests and the fuzz target share it.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "core/core_test_support.h"
#include "engine/chromatogram.h"
#include "engine/placement.h"
#include "engine/run_error.h"
#include "engine/xy_file.h"
#include "reference/literal_synthesis.h"

namespace elutrix::checking {

// Where the run ended, as the check sees it.
enum class Stage {
    stopped_in_placement,    // placement has no result (it has no shortcuts to check)
    stopped_without_count,   // the point count is not a number, or beyond the trace or 32 bits
    stopped_by_both_levels,  // both noise levels apply at once, which the window never allows
    stopped_non_finite,      // the plain evaluation has a value that is not a finite number
    too_many_points,         // more points than the caller allows the check; nothing compared
    completed,
};

// The kind of a typed text, as the random-input test and the run fuzzer
// count what they gave: empty, not a number, zero, subnormal, huge,
// negative or positive.
inline const char* text_kind(const std::string& text) {
    const char* start = text.c_str();
    while (*start == ' ' || *start == '\t' || *start == '\n') ++start;
    if (*start == '\0') return "empty";
    char* end = nullptr;
    const double v = std::strtod(start, &end);
    if (end == start) return "not a number";
    if (v == 0.0) return "zero";
    if (std::fabs(v) < 2.2250738585072014e-308) return "subnormal";
    if (std::fabs(v) > 1e300) return "huge";
    return v < 0.0 ? "negative" : "positive";
}

inline const char* stage_name(Stage stage) {
    switch (stage) {
    case Stage::stopped_in_placement: return "stopped in placement";
    case Stage::stopped_without_count: return "stopped without a point count";
    case Stage::stopped_by_both_levels: return "stopped by both noise levels";
    case Stage::stopped_non_finite: return "stopped where the plain evaluation is not finite";
    case Stage::too_many_points: return "too many points to check";
    case Stage::completed: return "completed";
    }
    return "?";
}

struct Checked {
    Stage stage = Stage::completed;
    std::string failure;         // empty when every promise holds
    std::string message;         // the run's message when it stopped
    std::int64_t points = 0;     // point count of a completed run
    bool noise_compared = true;  // false for unseeded noise: then only the times are compared
    ComponentTable rows;         // the rows after the run wrote into them
    SimulationSettings settings;
    PeakPlacement placement;     // valid once placement succeeded
};

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// The point count the plain loop would use, or NaN when it has none.
inline double plain_point_count(const PeakPlacement& placement, const SimulationSettings& settings) {
    return std::nearbyint(((placement.latest_tr * text_value(settings.sampling_rate)) * 1.5) * 60.0);
}

// Which noise levels apply to a run: random noise or drift, with the level
// option selected and its box not reading 0.
struct AppliedLevels {
    bool by_value = false;
    bool by_s_to_n = false;
};
inline AppliedLevels applied_levels(const SimulationSettings& s) {
    if (s.noise_kind != NoiseKind::random && s.noise_kind != NoiseKind::random_walk) return {};
    return {s.level_by_value && text_value(s.s_to_n_value) != 0.0,
            s.level_by_s_to_n && text_value(s.s_to_n_percent) != 0.0};
}

inline bool noise_drawn(const SimulationSettings& s) {
    const AppliedLevels levels = applied_levels(s);
    return levels.by_value || levels.by_s_to_n;
}

// Rewrites the sampling rate so that the run has about `points` points;
// false when the inputs have no latest retention time to scale it by.
inline bool set_point_count(const ComponentTable& rows, SimulationSettings& settings, double points) {
    ComponentTable r = rows;
    SimulationSettings s = settings;
    try {
        apply_efficiency(r, s);
        const PeakPlacement placement = place_peaks(r, s);
        if (!(placement.latest_tr > 0.0) || !std::isfinite(placement.latest_tr)) return false;
        const double rate = points / (90.0 * placement.latest_tr);
        if (!std::isfinite(rate) || rate == 0.0) return false;
        settings.sampling_rate = value_text(rate);
        return true;
    } catch (const RunError&) {
        return false;
    }
}

// Lowers the sampling rate of a run that would have more than max_points
// points but no more than the trace holds, so that checking it stays cheap.
// Runs that cannot be placed or counted, or that are refused for too many
// points, keep their inputs.
inline void limit_point_count(const ComponentTable& rows, SimulationSettings& settings, std::int64_t max_points) {
    ComponentTable r = rows;
    SimulationSettings s = settings;
    try {
        apply_efficiency(r, s);
        const double n = plain_point_count(place_peaks(r, s), s);
        if (n > static_cast<double>(max_points) && n <= Trace::capacity) {
            set_point_count(rows, settings, 0.9 * static_cast<double>(max_points));
        }
    } catch (const RunError&) {
    }
}

// Runs the inputs both ways. max_points bounds the plain loop's work: a run
// with more points is reported as too_many_points and not compared.
inline Checked check_run(const ComponentTable& rows, const SimulationSettings& settings, Trace& trace,
                         std::int64_t max_points) {
    Checked out;
    std::ostringstream failure;
    failure.precision(17);

    ComponentTable fast_rows = rows;
    SimulationSettings fast_settings = settings;
    RandomGenerator fast_generator;
    testing::RecordingSurface surface;
    const std::int32_t count_before = trace.point_count;
    const RunResult result = chromatogram(fast_rows, fast_settings, trace, &surface, fast_generator);
    out.rows = fast_rows;
    out.settings = fast_settings;
    out.message = result.message;
    for (const auto& [where, text] : testing::all_texts(fast_rows, fast_settings)) {
        if (testing::holds_inf_or_nan(text)) failure << where << " holds \"" << text << "\". ";
    }
    if (!result.ok) {
        if (result.message.empty()) failure << "stopped without a message. ";
        if (testing::shows_non_number(result.message)) failure << "the message shows a non-number. ";
        if (trace.point_count != count_before) failure << "a stopped run changed the point count. ";
        if (!surface.calls.empty()) failure << "a stopped run drew. ";
    }

    // The plain evaluation: the same placement (it has no shortcuts), then
    // the plain loop.
    ComponentTable plain_rows = rows;
    SimulationSettings plain_settings = settings;
    try {
        apply_efficiency(plain_rows, plain_settings);
        out.placement = place_peaks(plain_rows, plain_settings);
    } catch (const RunError&) {
        out.stage = Stage::stopped_in_placement;
        if (result.ok) failure << "completed although placement has no result. ";
        out.failure = failure.str();
        return out;
    }
    const double n = plain_point_count(out.placement, plain_settings);
    if (!(n <= Trace::capacity && n >= std::numeric_limits<std::int32_t>::min())) {
        out.stage = Stage::stopped_without_count;
        if (result.ok) failure << "completed with a point count of " << n << ". ";
        out.failure = failure.str();
        return out;
    }
    if (n > static_cast<double>(max_points)) {
        out.stage = Stage::too_many_points;
        out.failure = failure.str();
        return out;
    }
    const SimulationSettings& ps = plain_settings;
    const AppliedLevels levels = applied_levels(ps);
    if (n >= 1 && levels.by_value && levels.by_s_to_n) {
        out.stage = Stage::stopped_by_both_levels;
        if (result.ok) failure << "completed with both noise levels applying. ";
        out.failure = failure.str();
        return out;
    }
    out.noise_compared = ps.use_seed || !noise_drawn(ps);

    RandomGenerator plain_generator;
    std::vector<double> times;
    std::vector<double> responses;
    const literal::SynthesisOutcome want =
        literal::synthesize<literal::CopiedModels>(plain_rows, plain_settings, out.placement, plain_generator, times,
                                                   responses);

    // What of the plain evaluation is not a finite number: a time, a
    // response, a written level, or the picture's scale.
    bool plain_non_finite = false;
    for (std::int64_t i = 1; i <= want.n; ++i) {
        if (!std::isfinite(times[i]) || !std::isfinite(responses[i])) plain_non_finite = true;
    }
    if (want.n >= 1 && levels.by_value) {
        plain_non_finite |= !std::isfinite(out.placement.ymin / text_value(ps.s_to_n_value));
    }
    if (want.n >= 1 && levels.by_s_to_n) {
        plain_non_finite |= !std::isfinite(out.placement.ymin / text_value(ps.s_to_n_percent));
    }
    if (want.n >= 1) {
        const double bottom = 1.1 * want.r_max;
        plain_non_finite |= !std::isfinite(bottom) || !std::isfinite(bottom - want.r_min);
    }

    if (!result.ok) {
        out.stage = Stage::stopped_non_finite;
        // Unseeded noise draws other values in the plain loop, so only a
        // seeded or noise-free run can show that the stop was needed.
        if (!plain_non_finite && out.noise_compared) {
            failure << "stopped (\"" << result.message << "\") although the plain evaluation is finite. ";
        }
        out.failure = failure.str();
        return out;
    }

    out.stage = Stage::completed;
    out.points = want.n;
    if (trace.point_count != want.n) failure << "point count " << trace.point_count << " vs " << want.n << ". ";
    if (plain_non_finite && out.noise_compared) failure << "completed although the plain evaluation is not finite. ";
    if (fast_settings.s_to_n_value != plain_settings.s_to_n_value ||
        fast_settings.s_to_n_percent != plain_settings.s_to_n_percent) {
        failure << "written noise levels differ. ";
    }
    for (std::int64_t i = 1; i <= want.n && i <= trace.point_count; ++i) {
        const bool same_time = bits(trace.times[i]) == bits(times[i]);
        const bool same_response = !out.noise_compared || bits(trace.responses[i]) == bits(responses[i]);
        if (!same_time || !same_response) {
            failure << "point " << i << " of " << want.n << " differs: (" << trace.times[i] << ", "
                    << trace.responses[i] << ") vs (" << times[i] << ", " << responses[i] << "). ";
            break;
        }
        if (!std::isfinite(trace.times[i]) || !std::isfinite(trace.responses[i])) {
            failure << "point " << i << " is not finite. ";
            break;
        }
    }
    if (out.noise_compared) {
        // The extremes decide whether the picture and export table are redrawn.
        double r_max = 0.0;
        double r_min = 0.0;
        for (std::int64_t i = 1; i <= want.n; ++i) {
            r_max = std::max(r_max, trace.responses[i]);
            r_min = std::min(r_min, trace.responses[i]);
        }
        if (bits(r_max) != bits(want.r_max) || bits(r_min) != bits(want.r_min)) failure << "extremes differ. ";
    }
    for (const auto& call : surface.calls) {
        if (!std::isfinite(call.a) || !std::isfinite(call.b) || !std::isfinite(call.c) || !std::isfinite(call.d)) {
            failure << "a drawing call has a non-finite coordinate. ";
            break;
        }
    }
    // The data file: every exported point finite, no line showing a non-number.
    for (std::int32_t i = 1; i <= trace.point_count; ++i) {
        const TracePoint& p = trace.export_points[i];
        if (!std::isfinite(p.time) || !std::isfinite(p.response)) {
            failure << "export point " << i << " is not finite. ";
            break;
        }
    }
    std::string file;
    write_xy_lines(trace, [&](const char* data, std::size_t size) {
        file.append(data, size);
        return true;
    });
    if (testing::holds_inf_or_nan(file)) failure << "the data file shows a non-number. ";
    out.failure = failure.str();
    return out;
}

}  // namespace elutrix::checking
