// Random texts in every cell and box: a run either completes with finite
// points or stops with a message, and never writes a non-number anywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "core_test_support.h"
#include "engine/chromatogram.h"
#include "reference/run_check.h"

namespace elutrix {
namespace {

class TextSource {
public:
    explicit TextSource(unsigned seed) : engine_(seed) {}

    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(engine_) < p; }
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(engine_); }
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(engine_); }

    // A number in [lo, hi] written with a random number of decimals.
    std::string number(double lo, double hi) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.*f", pick(6), uniform(lo, hi));
        return buffer;
    }

    // Anything a user might type, or not.
    std::string any() {
        static const char* const fixed[] = {"0",     "1",      "-1",     "1e308",  "-1e308", "1.7e308", "1e-320",
                                            "1e999", "-1e999", "1e5",    "1e-300", "x",      "",        " ",
                                            "1,5",   "--1",    ".",      "e5",     "1e",     "+",       " 2.5 min",
                                            "\t3\n", "0.0",    "-0",     "1e-5",   "5e-324", "100000",  "10000"};
        std::string text;
        do {
            switch (pick(6)) {
            case 0: text = fixed[pick(sizeof fixed / sizeof *fixed)]; break;
            case 1: text = number(-100, 100); break;
            case 2: text = number(0, 10); break;
            case 3: {
                char buffer[64];
                std::snprintf(buffer, sizeof buffer, "%.6g", uniform(1, 10) * std::pow(10.0, pick(640) - 330));
                text = (chance(0.3) ? "-" : "") + std::string(buffer);
                break;
            }
            case 4: {
                text.clear();
                const int length = pick(9);
                for (int k = 0; k < length; ++k) text += static_cast<char>(pick(256));
                break;
            }
            default: text = std::to_string(pick(2000000) - 1000000); break;
            }
        } while (testing::holds_inf_or_nan(text));
        return text;
    }

    // Mostly ordinary values, sometimes anything.
    std::string usually(double lo, double hi) { return chance(0.85) ? number(lo, hi) : any(); }

    void fill(ComponentTable& rows, SimulationSettings& s) {
        for (ComponentRow& r : rows) {
            r.enabled = chance(0.6);
            r.retention_time = chance(0.2) ? "" : usually(-1, 20);
            r.relative_response = chance(0.1) ? "" : usually(-2, 10);
            r.plates = chance(0.7) ? std::to_string(100 * (1 + pick(2000))) : any();
            r.tau = chance(0.3) ? "0" : usually(-3, 3);
            r.resolution = chance(0.5) ? "" : usually(-5, 5);
        }
        s.efficiency = static_cast<EfficiencyChoice>(pick(4));
        s.custom_plates = usually(100, 200000);
        s.peak_model = static_cast<PeakModel>(pick(4));
        s.constant_bandwidth = chance(0.3);
        s.void_minutes = chance(0.9) ? "" : any();
        s.sampling_rate = chance(0.9) ? number(0, 3) : any();
        s.baseline_shape = static_cast<BaselineShape>(pick(3));
        s.linear_down = chance(0.5);
        s.quad_down = chance(0.5);
        s.baseline_percentage = usually(-50, 50);
        s.noise_kind = static_cast<NoiseKind>(pick(3));
        const int level = pick(3);
        s.level_by_s_to_n = level == 1;
        s.level_by_value = level == 2;
        s.s_to_n_percent = usually(0, 1000);
        s.s_to_n_value = usually(0, 0.1);
        s.use_seed = chance(0.5);
        s.seed = usually(-1000, 1000);
    }

    // Changes one text of the previous inputs, so that later runs also read
    // what earlier ones wrote.
    void change_one(ComponentTable& rows, SimulationSettings& s) {
        ComponentRow& r = rows[pick(component_count)];
        switch (pick(8)) {
        case 0: r.retention_time = any(); break;
        case 1: r.relative_response = any(); break;
        case 2: r.plates = any(); break;
        case 3: r.tau = any(); break;
        case 4: r.resolution = any(); break;
        case 5: r.enabled = !r.enabled; break;
        case 6: s.s_to_n_value = any(); break;
        default: s.seed = any(); break;
        }
    }

private:
    std::mt19937 engine_;
};

TEST(RandomInputs, RunsEndSoundly) {
    // ELUTRIX_RANDOM_RUNS asks for more runs than the suite's 3,000.
    const char* asked = std::getenv("ELUTRIX_RANDOM_RUNS");
    const int iterations = asked ? std::max(1, std::atoi(asked)) : 3000;
    std::map<std::string, int> kinds;
    auto trace = std::make_unique<Trace>();
    RandomGenerator generator;
    TextSource source(20240607);
    ComponentTable rows;
    SimulationSettings settings;
    int stopped = 0, drawn = 0;
    for (int k = 0; k < iterations; ++k) {
        if (k > 0 && source.chance(0.25)) {
            source.change_one(rows, settings);
        } else {
            source.fill(rows, settings);
        }
        for (const ComponentRow& r : rows) {
            for (const std::string* text : {&r.retention_time, &r.relative_response, &r.plates, &r.tau, &r.resolution})
                ++kinds[checking::text_kind(*text)];
        }
        ++kinds[std::string("model ") + std::to_string(static_cast<int>(settings.peak_model))];
        ++kinds[std::string("noise ") + std::to_string(static_cast<int>(settings.noise_kind))];
        ++kinds[std::string("efficiency ") + std::to_string(static_cast<int>(settings.efficiency))];
        ++kinds[std::string("baseline ") + std::to_string(static_cast<int>(settings.baseline_shape))];
        const std::int32_t count_before = trace->point_count;
        testing::RecordingSurface surface;
        const RunResult result = chromatogram(rows, settings, *trace, &surface, generator);

        if (result.ok) {
            const std::int32_t n = trace->point_count;
            ASSERT_LE(n, 1000000) << "iteration " << k;
            for (std::int32_t i = 1; i <= n; ++i) {
                ASSERT_TRUE(std::isfinite(trace->responses[i]) && std::isfinite(trace->times[i]))
                    << "iteration " << k << " point " << i;
            }
            ASSERT_EQ(surface.calls.size(), n >= 1 ? static_cast<std::size_t>(n) + 4 : 1u) << "iteration " << k;
            for (const auto& call : surface.calls) {
                ASSERT_TRUE(std::isfinite(call.a) && std::isfinite(call.b) && std::isfinite(call.c) &&
                            std::isfinite(call.d))
                    << "iteration " << k << ": a drawing call with a non-finite coordinate";
            }
            if (const auto* scale = surface.first(testing::RecordingSurface::Kind::scale)) {
                ASSERT_TRUE(std::isfinite(scale->d - scale->b) && scale->d > scale->b) << "iteration " << k;
            }
            drawn += n >= 1;
        } else {
            ++stopped;
            ASSERT_FALSE(result.message.empty()) << "iteration " << k;
            ASSERT_EQ(trace->point_count, count_before) << "iteration " << k << ": " << result.message;
            ASSERT_TRUE(surface.calls.empty()) << "iteration " << k;
        }
        for (const auto& [where, text] : testing::all_texts(rows, settings)) {
            ASSERT_FALSE(testing::holds_inf_or_nan(text))
                << "iteration " << k << ": " << where << " holds \"" << text << "\"";
        }
    }
    std::cout << "[ random inputs ] " << iterations << " runs tried, " << stopped << " stopped with a message, "
              << drawn << " drew a trace; texts and choices:";
    for (const auto& [kind, count] : kinds) std::cout << " " << kind << " " << count << ";";
    std::cout << "\n";
    for (const char* kind : {"empty", "not a number", "zero", "subnormal", "huge", "negative", "positive",
                             "model 0", "model 1", "model 2", "model 3", "noise 0", "noise 1", "noise 2",
                             "efficiency 0", "efficiency 1", "efficiency 2", "efficiency 3", "baseline 0",
                             "baseline 1", "baseline 2"}) {
        EXPECT_GT(kinds[kind], 0) << kind;
    }
    EXPECT_GT(stopped, 0);
    EXPECT_GT(drawn, 0);
    ::testing::Test::RecordProperty("runs", iterations);
    ::testing::Test::RecordProperty("stopped_with_message", stopped);
    ::testing::Test::RecordProperty("drew_a_trace", drawn);
}

}  // namespace
}  // namespace elutrix
