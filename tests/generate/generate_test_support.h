// Helpers of the generator tests: a scratch folder, whole files, record
// comparison, and one run of a scenario text on a shared trace.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>

#include "engine/synthesis.h"
#include "engine/xy_file.h"
#include "generate/run.h"
#include "generate/scenario.h"

namespace elutrix::generate::testing {

class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/elutrix-generate-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_all(const std::string& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }

// How long a refusal may take: at once, which under the sanitizers is ten
// times as long.
inline std::chrono::seconds prompt() {
    return std::chrono::seconds(std::getenv("ELUTRIX_SANITIZED") ? 20 : 2);
}

inline auto fields(const ComponentRow& r) {
    return std::tie(r.enabled, r.retention_time, r.relative_response, r.plates, r.tau, r.resolution);
}

inline auto fields(const SimulationSettings& s) {
    return std::tie(s.efficiency, s.custom_plates, s.peak_model, s.constant_bandwidth, s.void_minutes,
                    s.sampling_rate, s.baseline_shape, s.linear_down, s.quad_down, s.baseline_percentage,
                    s.noise_kind, s.level_by_s_to_n, s.level_by_value, s.s_to_n_percent, s.s_to_n_value, s.use_seed,
                    s.seed);
}

inline bool same_rows(const ComponentTable& a, const ComponentTable& b) {
    for (int i = 0; i < component_count; ++i)
        if (fields(a[i]) != fields(b[i])) return false;
    return true;
}

// The one scenario of a text, which must be valid.
inline Scenario scenario_of(std::string_view text) {
    const ScenarioFile file = read_scenarios(text, "test");
    if (!file.error.empty() || file.entries.size() != 1 || !file.entries[0].scenario) {
        ADD_FAILURE() << "not one valid scenario: " << file.error
                      << (file.entries.empty() ? "" : file.entries[0].error) << "\n" << text;
        return {};
    }
    return *file.entries[0].scenario;
}

// The trace of the tests' runs, allocated once.
inline Trace& shared_trace() {
    static const std::unique_ptr<Trace> trace = std::make_unique<Trace>();
    return *trace;
}

// Replicate k of the scenario, on the shared trace; an unseeded scenario
// runs with drawn_seed.
inline RunOutput run_scenario(const Scenario& scenario, int k = 1, std::uint64_t drawn_seed = 12345) {
    RandomGenerator generator;
    return run_once(scenario.rows, replicate_settings(scenario.settings, k, drawn_seed), shared_trace(), generator,
                    !scenario.settings.use_seed);
}

// The .xy text of a trace.
inline std::string xy_text(const Trace& trace) {
    std::string text;
    write_xy_lines(trace, [&text](const char* data, std::size_t size) {
        text.append(data, size);
        return true;
    });
    return text;
}

}  // namespace elutrix::generate::testing
