// Coverage-guided fuzzing of scenario files: arbitrary bytes are read as a
// scenario file, each scenario it yields is checked as a batch checks it
// (its replicates' seeds) and run once, its sampling rate lowered so that
// the run has at most a few thousand points, and the run's record is read
// back as a scenario. It checks that:
// - reading ends either in a file message or in scenarios, each one valid or
//   with a message of its own, never both a file message and scenarios;
// - a file message of a malformed file names a line and column that lie in
//   the text (at most one past a line's end);
// - every message, and every name, is valid UTF-8 and at most
//   message_bound bytes long;
// - a run's record reads back as a scenario with the run's rows and settings.
// Crashes, hangs and sanitizer reports end the fuzzer as findings.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "generate/outputs.h"
#include "generate/run.h"
#include "generate/scenario.h"
#include "reference/run_check.h"

namespace {

using namespace elutrix;
using namespace elutrix::generate;

constexpr std::int64_t max_points = 4000;
constexpr std::size_t message_bound = 1024;
// The replicates whose seeds are checked, at most: the check of a million
// takes a while for seeds the quick rule does not cover.
constexpr int max_checked_replicates = 10000;

[[noreturn]] void finding(const std::string& what, std::string_view text) {
    std::fprintf(stderr, "scenario check failed: %s\n  (message: %.*s)\n", what.c_str(), static_cast<int>(text.size()),
                 text.data());
    std::abort();
}

bool valid_utf8(std::string_view text) { return readable_text(text, text.size() + 4) == text; }

void check_text(std::string_view text, const char* what) {
    if (text.size() > message_bound) finding(std::string(what) + " is longer than the bound", text.substr(0, 200));
    if (!valid_utf8(text)) finding(std::string(what) + " is not valid UTF-8 (or holds a control character)", text);
}

// "line L, column C" in the message names a place in the text.
bool located_in(std::string_view message, std::string_view text) {
    const std::size_t at = message.find("line ");
    if (at == std::string_view::npos) return false;
    unsigned long long line = 0;
    unsigned long long column = 0;
    if (std::sscanf(std::string(message.substr(at)).c_str(), "line %llu, column %llu", &line, &column) != 2) return false;
    std::size_t start = 0;
    for (unsigned long long l = 1; l < line; ++l) {
        start = text.find('\n', start);
        if (start == std::string_view::npos) return false;
        ++start;
    }
    const std::size_t end = std::min(text.find('\n', start), text.size());
    return column >= 1 && column <= end - start + 1;
}

// How the inputs ended, told when the fuzzer exits.
struct Tally {
    long long malformed = 0, not_scenarios = 0, bad_scenarios = 0, refused_seeds = 0, stopped = 0, completed = 0;
};

Tally& tally() {
    static Tally t;
    static const bool reported = [] {
        std::atexit([] {
            const Tally& t = tally();
            std::fprintf(stderr,
                         "scenario check: malformed files %lld; files without scenarios %lld; invalid scenarios %lld; "
                         "refused seeds %lld; runs stopped %lld; runs completed %lld\n",
                         t.malformed, t.not_scenarios, t.bad_scenarios, t.refused_seeds, t.stopped, t.completed);
        });
        return true;
    }();
    (void)reported;
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::unique_ptr<Trace> trace = std::make_unique<Trace>();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Tally& t = tally();
    const ScenarioFile file = read_scenarios(text, "fuzz");
    if (!file.error.empty()) {
        if (!file.entries.empty()) finding("a file message and scenarios at once", file.error);
        check_text(file.error, "a file message");
        if (file.error.starts_with("malformed JSON")) {
            if (!located_in(file.error, text)) finding("a malformed file's message without its place in the text", file.error);
            ++t.malformed;
        } else {
            ++t.not_scenarios;
        }
        return 0;
    }
    if (file.entries.empty()) finding("neither a message nor a scenario", "");
    int runs = 0;
    for (const ScenarioEntry& entry : file.entries) {
        check_text(entry.name, "a scenario's name");
        if (!entry.scenario) {
            if (entry.error.empty()) finding("an invalid scenario without a message", entry.name);
            check_text(entry.error, "a scenario's message");
            ++t.bad_scenarios;
            continue;
        }
        if (!entry.error.empty()) finding("a valid scenario with a message", entry.error);
        if (runs++ == 3) continue;  // the first three of a list are run
        Scenario scenario = *entry.scenario;
        const int replicates = std::min(scenario.replicates.value_or(1), max_checked_replicates);
        if (const std::string problem = repeated_seed_problem(scenario.settings, replicates); !problem.empty()) {
            check_text(problem, "a seed message");
            ++t.refused_seeds;
            continue;
        }
        std::set<std::uint64_t> drawn;
        const std::string seed = replicate_seeds(scenario.settings, 1, drawn)[0];
        checking::limit_point_count(scenario.rows, scenario.settings, max_points);
        RandomGenerator generator;
        const RunOutput out = run_replicate(scenario, seed, *trace, generator);
        if (!out.ok) {
            check_text(out.message, "a run's message");
            ++t.stopped;
            continue;
        }
        if (out.point_count > max_points) finding("a run beyond the point cap", std::to_string(out.point_count));
        const std::string record = record_json(out, scenario.name, 1, 1);
        (void)peaks_csv(out.peaks);
        const ScenarioFile again = read_scenarios(record, "record");
        if (!again.error.empty() || again.entries.size() != 1 || !again.entries[0].scenario) {
            finding("a run's record does not read back as a scenario",
                    again.error.empty() && !again.entries.empty() ? again.entries[0].error : again.error);
        }
        const Scenario& back = *again.entries[0].scenario;
        bool same = back.name == scenario.name;
        for (int j = 0; j < component_count; ++j) {
            const ComponentRow &a = back.rows[j], &b = out.rows[j];
            same = same && a.enabled == b.enabled && a.retention_time == b.retention_time &&
                   a.relative_response == b.relative_response && a.plates == b.plates && a.tau == b.tau &&
                   a.resolution == b.resolution;
        }
        same = same && back.settings.seed == out.settings.seed && back.settings.sampling_rate == out.settings.sampling_rate &&
               back.settings.noise_kind == out.settings.noise_kind && back.settings.peak_model == out.settings.peak_model;
        if (!same) finding("a run's record reads back as other inputs", record);
        ++t.completed;
    }
    return 0;
}
