// Coverage-guided fuzzing of whole runs: arbitrary bytes become the ten rows
// of the component table and every other setting, and each run is checked
// against the plain point-by-point loop (see tests/reference/run_check.h):
// it stops with a message or completes; a completed run gives the plain
// loop's doubles bit for bit; no text, message or data file line shows a
// non-number; every exported point is finite; and a run stops only where
// the plain evaluation has no finite result.
//
// The input is text, one field per line, so that seeds can be written by
// hand. Line 1 holds one character per choice, read as its code minus '0'
// (so '0' to '3' are the window's choices and every other byte a value
// outside them): efficiency, peak model, constant bandwidth, baseline shape,
// linear down, quadratic down, noise kind, level by S/N, level by value,
// seed used, then the ten rows' on/off boxes (odd codes are on). Lines 2 to
// 8 are the custom plate count, void time, sampling rate, baseline
// percentage, S/N, noise value and seed; lines 9 to 58 the five texts of
// each row in turn: retention time, relative response, plates, tau and
// resolution. Missing lines and characters read as empty and '0'.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "reference/run_check.h"

namespace {

using namespace elutrix;

// Each run's plain loop stays short: the sampling rate of a longer run is
// lowered to fit (runs beyond the trace's capacity are still refused as
// they are).
constexpr std::int64_t max_points = 1000;

std::vector<std::string> lines_of(std::string_view bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= bytes.size()) {
        const std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) {
            lines.emplace_back(bytes.substr(start));
            break;
        }
        lines.emplace_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A window text never shows "inf" or "nan" unless the user typed it; the
// inputs are kept free of both so that any such text is one the run wrote.
std::string user_text(const std::vector<std::string>& lines, std::size_t index) {
    std::string text = index < lines.size() ? lines[index] : std::string();
    for (char& c : text) {
        if (c == 'n' || c == 'N') c = 'm';
    }
    return text;
}

// How the runs ended, told when the fuzzer exits: proof that the inputs
// reach completed runs and every kind of stop, not only one of them.
struct Tally {
    long long by_stage[static_cast<int>(checking::Stage::completed) + 1] = {};
    long long points = 0;
    std::map<std::string, long long> inputs;  // kinds of texts, models and options given
};

Tally& tally() {
    static Tally t;
    static const bool reported = [] {
        std::atexit([] {
            const Tally& t = tally();
            std::fprintf(stderr, "run check: %lld points compared in all", t.points);
            for (int stage = 0; stage <= static_cast<int>(checking::Stage::completed); ++stage) {
                std::fprintf(stderr, "; %s: %lld", checking::stage_name(static_cast<checking::Stage>(stage)),
                             t.by_stage[stage]);
            }
            std::fprintf(stderr, "\nrun check inputs:");
            for (const auto& [kind, count] : t.inputs) std::fprintf(stderr, " %s %lld;", kind.c_str(), count);
            std::fprintf(stderr, "\n");
        });
        return true;
    }();
    (void)reported;
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::unique_ptr<Trace> trace = std::make_unique<Trace>();
    const std::vector<std::string> lines = lines_of({reinterpret_cast<const char*>(data), size});
    const std::string& choices = lines[0];
    const auto choice = [&](std::size_t k) { return k < choices.size() ? static_cast<int>(choices[k]) - '0' : 0; };
    const auto flag = [&](std::size_t k) { return (choice(k) & 1) != 0; };

    SimulationSettings s;
    s.efficiency = static_cast<EfficiencyChoice>(choice(0));
    s.peak_model = static_cast<PeakModel>(choice(1));
    // The field's shapes have no plain loop to compare with (the scenario
    // fuzz target runs them); a run of the window's models is checked.
    if (s.peak_model == PeakModel::ExactExponentiallyModifiedGaussian ||
        s.peak_model == PeakModel::ExponentialGaussianHybrid) {
        s.peak_model = PeakModel::ExponentiallyModifiedGaussian;
    }
    s.constant_bandwidth = flag(2);
    s.baseline_shape = static_cast<BaselineShape>(choice(3));
    s.linear_down = flag(4);
    s.quad_down = flag(5);
    s.noise_kind = static_cast<NoiseKind>(choice(6));
    s.level_by_s_to_n = flag(7);
    s.level_by_value = flag(8);
    s.use_seed = flag(9);
    std::size_t line = 1;
    for (std::string* text : {&s.custom_plates, &s.void_minutes, &s.sampling_rate, &s.baseline_percentage,
                              &s.s_to_n_percent, &s.s_to_n_value, &s.seed}) {
        *text = user_text(lines, line++);
    }
    ComponentTable rows;
    for (int j = 0; j < component_count; ++j) {
        ComponentRow& row = rows[j];
        row.enabled = flag(10 + static_cast<std::size_t>(j));
        for (std::string* text :
             {&row.retention_time, &row.relative_response, &row.plates, &row.tau, &row.resolution}) {
            *text = user_text(lines, line++);
        }
    }

    checking::limit_point_count(rows, s, max_points);
    const checking::Checked checked = checking::check_run(rows, s, *trace, max_points);
    if (!checked.failure.empty()) {
        std::fprintf(stderr, "run check failed: %s\n", checked.failure.c_str());
        std::abort();
    }
    Tally& t = tally();
    ++t.by_stage[static_cast<int>(checked.stage)];
    for (const std::string* text : {&s.custom_plates, &s.void_minutes, &s.sampling_rate, &s.baseline_percentage,
                                    &s.s_to_n_percent, &s.s_to_n_value, &s.seed})
        ++t.inputs[checking::text_kind(*text)];
    for (const ComponentRow& row : rows) {
        for (const std::string* text : {&row.retention_time, &row.relative_response, &row.plates, &row.tau, &row.resolution})
            ++t.inputs[checking::text_kind(*text)];
    }
    // A choice outside its options counts as "other".
    const auto option = [&t](const char* what, int value, int options) {
        ++t.inputs[std::string(what) + " " + (value >= 0 && value < options ? std::to_string(value) : "other")];
    };
    option("model", static_cast<int>(s.peak_model), 2);
    option("efficiency", static_cast<int>(s.efficiency), 4);
    option("baseline", static_cast<int>(s.baseline_shape), 3);
    option("noise", static_cast<int>(s.noise_kind), 3);
    if (checked.points > 0) t.points += checked.points;
    return 0;
}
