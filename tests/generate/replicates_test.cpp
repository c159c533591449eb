// Replicates and seeds: replicate 1 is the window's run, replicate k reseeds
// with seed + k - 1, and every run, seeded or not, can be made again from
// the seed its record keeps.
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "engine/chromatogram.h"
#include "generate/batch.h"
#include "generate_test_support.h"

namespace elutrix::generate {
namespace {

using testing::read_all;
using testing::run_scenario;
using testing::scenario_of;
using testing::xy_text;

struct SeedCase {
    bool use_seed;
    const char* seed;
    int k;
    std::uint64_t drawn;
    const char* expected;
};

TEST(Replicates, SeedOfEachReplicate) {
    const std::vector<SeedCase> cases = {
        {true, "7", 1, 0, "7"},      {true, "7", 3, 0, "9"},    {true, "7.0", 1, 0, "7.0"}, {true, "7.0", 2, 0, "8"},
        {true, "-2", 2, 0, "-1"},    {true, "2.5", 2, 0, "3.5"}, {true, "abc", 3, 0, "2"},  {false, "1", 1, 99, "99"},
        {false, "1", 5, 123, "123"},
    };
    for (const SeedCase& c : cases) {
        SimulationSettings s;
        s.use_seed = c.use_seed;
        s.seed = c.seed;
        const SimulationSettings r = replicate_settings(s, c.k, c.drawn);
        EXPECT_TRUE(r.use_seed);
        EXPECT_EQ(r.seed, c.expected) << c.seed << " replicate " << c.k;
    }
}

TEST(Replicates, ReplicateOneIsTheWindowsRunAndLaterOnesReseed) {
    const Scenario scenario = scenario_of(
        R"({"seed": 7, "rows": [{"retention_time": 1, "tau": 2}, {"enabled": true, "resolution": 1.2, "tau": 1}],
            "settings": {"peak_model": "ExponentiallyModifiedGaussian", "noise_kind": "random_walk",
                         "level_by_s_to_n": true, "s_to_n_percent": 50}})");
    const auto window_trace = std::make_unique<Trace>();
    std::set<std::string> seen;
    for (int k = 1; k <= 3; ++k) {
        SCOPED_TRACE(k);
        const RunOutput run = run_scenario(scenario, k);
        ASSERT_TRUE(run.ok) << run.message;
        const std::string xy = xy_text(testing::shared_trace());
        // What "Update" does with these inputs and the seed 7 + k - 1,
        // through the program-wide generator.
        ComponentTable rows = scenario.rows;
        SimulationSettings settings = scenario.settings;
        settings.seed = std::to_string(7 + k - 1);
        ASSERT_TRUE(update_run(rows, settings, *window_trace, nullptr).ok);
        EXPECT_EQ(xy, xy_text(*window_trace));
        EXPECT_TRUE(testing::same_rows(run.rows, rows));
        EXPECT_TRUE(testing::fields(run.settings) == testing::fields(settings));
        EXPECT_TRUE(seen.insert(xy).second) << "a replicate repeats another's noise";
    }
}

TEST(Replicates, EveryUnseededRunCanBeMadeAgainFromItsRecord) {
    const testing::ScratchDir dir;
    testing::write_all(dir.file("noisy.json"), R"({"replicates": 3, "settings": {"noise_kind": "random",
        "level_by_s_to_n": true, "s_to_n_percent": 20}})");
    BatchOptions options;
    options.out_dir = dir.path();
    ASSERT_TRUE(run_batch(std::vector<std::string>{dir.file("noisy.json")}, options).ok());
    std::set<std::string> seen;
    for (const char* stem : {"noisy_0001", "noisy_0002", "noisy_0003"}) {
        SCOPED_TRACE(stem);
        const std::string xy = read_all(dir.file(std::string(stem) + ".xy"));
        EXPECT_TRUE(seen.insert(xy).second);
        const nlohmann::json record = nlohmann::json::parse(read_all(dir.file(std::string(stem) + ".json")));
        EXPECT_TRUE(record["seed_drawn"].get<bool>());
        // The record's inputs as a scenario, and the first scenario with the
        // record's seed, make the same file.
        const nlohmann::json again = {{"rows", record["rows"]}, {"settings", record["settings"]}};
        ASSERT_TRUE(run_scenario(scenario_of(again.dump())).ok);
        EXPECT_EQ(xy_text(testing::shared_trace()), xy);
        // The record itself, read as a scenario, is one run of the same file.
        const Scenario from_record = scenario_of(record.dump());
        EXPECT_FALSE(from_record.replicates.has_value());
        ASSERT_TRUE(run_scenario(from_record).ok);
        EXPECT_EQ(xy_text(testing::shared_trace()), xy);
        const nlohmann::json reseeded = {{"seed", record["seed"]},
                                         {"settings", {{"noise_kind", "random"}, {"level_by_s_to_n", true},
                                                       {"s_to_n_percent", 20}}}};
        ASSERT_TRUE(run_scenario(scenario_of(reseeded.dump())).ok);
        EXPECT_EQ(xy_text(testing::shared_trace()), xy);
    }
}

struct RepeatCase {
    const char* seed;  // nullptr: unseeded
    int replicates;
    NoiseKind noise;
    const char* problem;  // nullptr: none
};

TEST(Replicates, SeedsThatWouldRepeatANoiseSequenceAreRefused) {
    const std::vector<RepeatCase> cases = {
        {"3", 5, NoiseKind::random, nullptr},
        {"-5", 3, NoiseKind::random, nullptr},
        {"-2", 5, NoiseKind::random, "replicates 2 and 4 would draw the same noise: their seeds (seed + replicate - 1) are -1 and 1"},
        {"-0.5", 2, NoiseKind::random_walk, "replicates 1 and 2"},
        {"1e17", 2, NoiseKind::random, "replicates 1 and 2"},
        {"-2", 5, NoiseKind::omit, nullptr},
        {nullptr, 5, NoiseKind::random, nullptr},
        {"1e999", 2, NoiseKind::random, "the seed 1e999 is too large"},
        {"-1e999", 2, NoiseKind::random_walk, "the seed -1e999 is too large"},
        {"-5", 1000000, NoiseKind::random, "replicates 5 and 7 would draw the same noise: their seeds (seed + replicate - 1) are -1 and 1"},
        {"-5abc", 7, NoiseKind::random, "replicates 5 and 7"},
        {"-5", 6, NoiseKind::random, nullptr},
        {"999999999500000", 1000000, NoiseKind::random, "replicates 500001 and 500002 would draw the same noise"},
        {"1e15", 3, NoiseKind::random, "replicates 1 and 2"},
        {"999999999999990", 10, NoiseKind::random, nullptr},
        {"0", 1000000, NoiseKind::random, nullptr},
    };
    for (const RepeatCase& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        SimulationSettings s;
        s.use_seed = c.seed != nullptr;
        if (c.seed) s.seed = c.seed;
        s.noise_kind = c.noise;
        const std::string problem = repeated_seed_problem(s, c.replicates);
        if (!c.problem) {
            EXPECT_EQ(problem, "") << (c.seed ? c.seed : "unseeded");
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << c.seed << ": " << problem;
        }
        // Refused, or let through, at once, whatever the count.
        EXPECT_LT(std::chrono::steady_clock::now() - start, testing::prompt()) << c.seed << " " << c.replicates;
    }
}

}  // namespace
}  // namespace elutrix::generate
