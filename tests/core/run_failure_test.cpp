// Inputs without a defined result: the run stops with a message naming what
// to change, and leaves the last good trace, export table and picture alone.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "engine/chromatogram.h"
#include "models/gaussian.h"

namespace elutrix {
namespace {

using testing::row;

struct FailureCase {
    const char* name;
    std::function<void(ComponentTable&, SimulationSettings&)> setup;
    std::vector<std::string> message_parts;
};

// Row 1 with a typed time; the setups add to it.
ComponentTable one_peak() {
    ComponentTable rows;
    rows[0] = row(true, "1", "1", "10000");
    return rows;
}

std::vector<FailureCase> failure_cases() {
    using R = ComponentTable;
    using S = SimulationSettings;
    return {
        {"derived time, plate count 0",
         [](R& r, S&) { r[1] = row(true, "", "", "0", "", "1.5"); },
         {"Row 2"}},
        {"derived time, empty plate count",
         [](R& r, S&) { r[1] = row(true, "", "1", "", "", "1.5"); },
         {"Row 2"}},
        {"derived time, negative plate count",
         [](R& r, S&) { r[1] = row(true, "", "1", "-100", "", "1.5"); },
         {"Row 2"}},
        {"resolution equal to the square root of N over 2",
         [](R& r, S&) { r[1] = row(true, "", "1", "10000", "", "50"); },
         {"Row 2"}},
        {"the same in row 5",
         [](R& r, S&) {
             for (int i = 1; i < 4; ++i) r[i] = row(true, std::to_string(i + 1), "1", "10000");
             r[4] = row(true, "0", "1", "2500", "", "25");
         },
         {"Row 5"}},
        {"empty row after a row without time",
         [](R& r, S&) {
             r[0].retention_time = "";
             r[1] = row(true, "", "1", "10000");
         },
         {"Row 2"}},
        {"empty row after a disabled empty row",
         [](R& r, S&) { r[4] = row(true, "", "1", "10000"); },
         {"Row 5"}},
        {"opposite equal times",
         [](R& r, S&) {
             r[0].retention_time = "2";
             r[1] = row(true, "-2", "1", "10000");
         },
         {"Row 2"}},
        {"negative plate count in row 1", [](R& r, S&) { r[0].plates = "-1"; }, {"Row 1"}},
        {"negative plate count in row 4",
         [](R& r, S&) {
             r[1] = row(true, "1.5", "1", "10000");
             r[2] = row(true, "1.8", "1", "10000");
             r[3] = row(true, "2", "1", "-5");
         },
         {"Row 4"}},
        {"too many points",
         [](R& r, S& s) {
             r[0].retention_time = "10";
             s.sampling_rate = "2000";
         },
         {"1800000", "1,000,000", "sampling rate", "latest retention time"}},
        {"one point too many",
         [](R&, S& s) { s.sampling_rate = "11111.12"; },
         {"1000001", "1,000,000", "sampling rate"}},
        {"sampling rate beyond any number", [](R&, S& s) { s.sampling_rate = "1e999"; }, {"sampling rate"}},
        {"point count below the 32-bit range", [](R&, S& s) { s.sampling_rate = "-1e10"; }, {"sampling rate"}},
        {"retention time beyond any number", [](R& r, S&) { r[0].retention_time = "1e999"; }, {"retention time"}},
        {"times beyond any number",
         [](R& r, S& s) {
             r[0].retention_time = "1e307";
             s.sampling_rate = "1e-306";
         },
         {"retention time", "too large"}},
        {"resolution beyond any number",
         [](R& r, S&) { r[1] = row(true, "", "1", "10000", "", "1e999"); },
         {"Row 2", "\"1e999\""}},
        {"negative plate count beyond any number", [](R& r, S&) { r[0].plates = " -1e999 "; }, {"Row 1", "\"-1e999\""}},
        {"relative response beyond any number",
         [](R& r, S&) { r[0].relative_response = "1e999"; },
         {"Row 1", "\"1e999\""}},
        {"subnormal tau: the model has no number after the centre",
         [](R& r, S& s) {
             r[0].tau = "1e-320";
             s.peak_model = PeakModel::ExponentiallyModifiedGaussian;
         },
         {"Row 1", "cannot be computed"}},
        {"response overflows at a narrow peak",
         [](R& r, S&) {
             r[0].relative_response = "1e308";
             r[0].plates = "1000000";
         },
         {"Row 1"}},
        {"response overflows in row 3",
         [](R& r, S&) { r[2] = row(true, "0.5", "1.5e308", "4000000"); },
         {"Row 3"}},
        {"noise value so small that S/N overflows",
         [](R&, S& s) {
             s.noise_kind = NoiseKind::random;
             s.level_by_value = true;
             s.s_to_n_value = "1e-320";
         },
         {"noise value"}},
        {"S/N so small that the noise level overflows",
         [](R&, S& s) {
             s.noise_kind = NoiseKind::random_walk;
             s.level_by_s_to_n = true;
             s.s_to_n_percent = "1e-320";
         },
         {"S/N"}},
        {"noise value beyond any number",
         [](R&, S& s) {
             s.noise_kind = NoiseKind::random;
             s.level_by_value = true;
             s.s_to_n_value = "1e999";
         },
         {"noise value", "\"1e999\""}},
        {"both noise levels at once",
         [](R&, S& s) {
             s.noise_kind = NoiseKind::random;
             s.level_by_value = true;
             s.level_by_s_to_n = true;
             s.s_to_n_value = "0.01";
             s.s_to_n_percent = "100";
         },
         {"Both noise levels"}},
        {"smallest height beyond any number",
         [](R& r, S& s) {
             r[1] = row(true, "1", "-1e308", "1000000");
             s.noise_kind = NoiseKind::random_walk;
             s.level_by_s_to_n = true;
             s.s_to_n_percent = "100";
         },
         {"smallest peak"}},
        {"tallest response too large for the picture's scale",
         [](R& r, S& s) {
             r[0] = row(true, "1", "1.7e308", "22619");
             s.sampling_rate = "2";
         },
         {"too large to draw"}},
        {"responses spanning too wide a range for the picture",
         [](R& r, S& s) {
             r[0] = row(true, "1", "1e308", "22619");
             r[1] = row(true, "1.2", "-1e308", "22619");
             s.sampling_rate = "2";
         },
         {"too large to draw"}},
        {"baseline overflows",
         [](R&, S& s) {
             s.baseline_shape = BaselineShape::quad;
             s.baseline_percentage = "1e306";
         },
         {"baseline"}},
    };
}

TEST(RunFailure, StopsWithAMessageAndKeepsTheLastGoodRun) {
    auto trace = std::make_unique<Trace>();
    RandomGenerator generator;
    for (const FailureCase& c : failure_cases()) {
        SCOPED_TRACE(c.name);
        // A good run first fills the trace, its export table and the picture.
        ComponentTable good = factory_table();
        SimulationSettings good_settings;
        good_settings.sampling_rate = "3";
        testing::RecordingSurface surface;
        ASSERT_TRUE(chromatogram(good, good_settings, *trace, &surface, generator).ok);
        ASSERT_EQ(trace->point_count, 270);
        const std::vector<TracePoint> exported = trace->export_points;

        ComponentTable rows = one_peak();
        SimulationSettings settings = testing::plain_settings();
        c.setup(rows, settings);
        surface = testing::RecordingSurface{};
        const RunResult result = chromatogram(rows, settings, *trace, &surface, generator);

        EXPECT_FALSE(result.ok);
        EXPECT_FALSE(result.message.empty());
        for (const std::string& part : c.message_parts) {
            EXPECT_NE(result.message.find(part), std::string::npos) << "\"" << part << "\" in: " << result.message;
        }
        EXPECT_FALSE(testing::shows_non_number(result.message)) << result.message;
        EXPECT_EQ(trace->point_count, 270);
        EXPECT_TRUE(surface.calls.empty()) << surface.calls.size() << " drawing calls";
        bool same = true;
        for (std::size_t i = 0; i < exported.size() && same; ++i) {
            same = exported[i].time == trace->export_points[i].time &&
                   exported[i].response == trace->export_points[i].response;
        }
        EXPECT_TRUE(same) << "the export table changed";
        for (const auto& [where, text] : testing::all_texts(rows, settings)) {
            EXPECT_FALSE(testing::holds_inf_or_nan(text)) << where << " holds \"" << text << "\"";
        }
    }
}

TEST(RunFailure, CellsWrittenBeforeTheStopKeepTheirValues) {
    auto trace = std::make_unique<Trace>();
    ComponentTable rows = one_peak();
    rows[1] = row(true, "", "", "10000", "", "1.5");
    rows[2] = row(true, "", "", "0", "", "2");
    SimulationSettings settings = testing::plain_settings();
    const RunResult result = chromatogram(rows, settings, *trace, nullptr);
    ASSERT_FALSE(result.ok);
    EXPECT_NE(result.message.find("Row 3"), std::string::npos) << result.message;
    EXPECT_EQ(rows[1].retention_time, value_text(resolution(1.5, 10000, 1, 0)));
    EXPECT_EQ(rows[1].relative_response, "1");
    EXPECT_EQ(rows[2].retention_time, "");
}

TEST(RunFailure, TheLimitItselfIsAccepted) {
    auto trace = std::make_unique<Trace>();
    ComponentTable rows = one_peak();
    SimulationSettings settings = testing::plain_settings("11111.11");
    const RunResult result = chromatogram(rows, settings, *trace, nullptr);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(trace->point_count, 1000000);
    EXPECT_EQ(trace->times[1000000], 90.0);
    EXPECT_EQ(trace->export_points[1000000].time, 90.0);
}

}  // namespace
}  // namespace elutrix
