// Scenario files: factory values for what is missing, texts and numbers,
// enumeration names, exact messages for every kind of bad input, and the
// written form reading back as the same records over random inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <random>

#include "generate_test_support.h"

namespace elutrix::generate {
namespace {

using testing::fields;
using testing::same_rows;
using testing::scenario_of;

struct ValidCase {
    const char* name;
    const char* json;
    std::function<void(const Scenario&)> check;
};

TEST(ScenarioFile, ValidScenariosTakeFactoryValuesForWhatIsMissing) {
    const ComponentTable factory = factory_table();
    const std::vector<ValidCase> cases = {
        {"empty object: the factory window", "{}",
         [&](const Scenario& s) {
             EXPECT_TRUE(same_rows(s.rows, factory));
             EXPECT_TRUE(fields(s.settings) == fields(SimulationSettings{}));
             EXPECT_EQ(s.name, "test");
             EXPECT_FALSE(s.replicates.has_value());
         }},
        {"empty rows: every row empty and unchecked", R"({"rows": []})",
         [](const Scenario& s) { EXPECT_TRUE(same_rows(s.rows, ComponentTable{})); }},
        {"a listed row keeps its factory cells", R"({"rows": [{"retention_time": "5"}]})",
         [&](const Scenario& s) {
             ComponentTable expected{};
             expected[0] = factory[0];
             expected[0].retention_time = "5";
             EXPECT_TRUE(same_rows(s.rows, expected));
         }},
        {"numbers become the texts value_text writes",
         R"({"rows": [{"retention_time": 2.50, "relative_response": 1.00, "plates": 10000, "tau": -0.5},
                      {"enabled": true, "resolution": 1e-7, "plates": 18446744073709551615}]})",
         [](const Scenario& s) {
             EXPECT_EQ(s.rows[0].retention_time, "2.5");
             EXPECT_EQ(s.rows[0].relative_response, "1");
             EXPECT_EQ(s.rows[0].plates, "10000");
             EXPECT_EQ(s.rows[0].tau, "-0.5");
             EXPECT_EQ(s.rows[1].resolution, value_text(1e-7));
             EXPECT_EQ(s.rows[1].plates, value_text(18446744073709551615.0));
             EXPECT_TRUE(s.rows[1].enabled);
         }},
        {"a top-level seed switches the seed on", R"({"seed": 7})",
         [](const Scenario& s) {
             EXPECT_TRUE(s.settings.use_seed);
             EXPECT_EQ(s.settings.seed, "7");
         }},
        {"a suite label, also from a run's record",
         R"({"program": "elutrix-generate", "suite": {"name": "noise", "version": "1", "series": "one", "level": 30}})",
         [](const Scenario& s) {
             ASSERT_TRUE(s.suite.has_value());
             EXPECT_EQ(s.suite->name + s.suite->version + s.suite->series, "noise1one");
             EXPECT_EQ(s.suite->level, 30.0);
         }},
    };
    for (const ValidCase& c : cases) {
        SCOPED_TRACE(c.name);
        c.check(scenario_of(c.json));
    }
}

struct BadCase {
    const char* json;
    std::vector<std::string> parts;  // the message holds each of them
};

TEST(ScenarioFile, BadScenariosSayWhatAndWhere) {
    const std::vector<BadCase> cases = {
        {R"({"nam": "x"})", {R"(unknown key "nam" at the top level (did you mean "name"?))"}},
        {R"({"rows": [{}, {}, {"retention_tme": 1}]})",
         {R"(unknown key "retention_tme" in rows[2] (row 3) (did you mean "retention_time"?))"}},
        {R"({"settings": {"noise": "random"}})", {R"(unknown key "noise" in settings)"}},
        {R"({"settings": {"peak_model": "gauss"}})",
         {R"("peak_model" in settings must be one of "Gaussian", "ExponentiallyModifiedGaussian", )"
          R"("ExactExponentiallyModifiedGaussian", "ExponentialGaussianHybrid", not "gauss")"}},
        {R"({"settings": {"noise_kind": 1}})", {R"("noise_kind" in settings must be one of)", "not 1"}},
        {R"({"rows": [{"enabled": 1}]})", {R"("enabled" in rows[0] (row 1) must be true or false, not 1)"}},
        {R"({"settings": {"use_seed": "yes"}})", {R"("use_seed" in settings must be true or false, not "yes")"}},
        {R"({"rows": [{"tau": true}]})", {R"("tau" in rows[0] (row 1) must be a text or a number, not true)"}},
        {R"({"rows": [{}, {"plates": null}]})", {R"("plates" in rows[1] (row 2) must be a text or a number, not null)"}},
        {R"({"settings": {"seed": [1]}})", {R"("seed" in settings must be a text or a number, not [1])"}},
        {R"({"rows": [{},{},{},{},{},{},{},{},{},{},{}]})", {R"("rows" must be a list of at most 10 rows)"}},
        {R"({"rows": {"retention_time": 1}})", {R"("rows" must be a list)"}},
        {R"({"rows": [5]})", {"rows[0] must be an object, not 5"}},
        {R"({"settings": []})", {R"("settings" must be an object, not [])"}},
        {R"({"replicates": 0})", {R"("replicates" must be a whole number from 1 to)", "not 0"}},
        {R"({"replicates": 2.5})", {R"("replicates" must be a whole number)", "not 2.5"}},
        {R"({"replicates": 3000000000})", {R"("replicates" must be a whole number from 1 to 1000000)"}},
        {R"({"replicates": 1000001})", {R"("replicates" must be a whole number from 1 to 1000000, not 1000001)"}},
        {R"({"name": "a/b"})", {R"("name" must be a text that can begin a file name)"}},
        {R"({"name": ""})", {R"("name" must be a text)"}},
        {R"({"name": 5})", {R"("name" must be a text)"}},
        {R"({"settings": {"level_by_s_to_n": true, "level_by_value": true}})",
         {R"("level_by_s_to_n" and "level_by_value" in settings cannot both be true)"}},
        {R"({"seed": 3, "settings": {"use_seed": false}})",
         {R"("seed" at the top level and "use_seed" in settings cannot both be given)"}},
        {R"({"seed": 3, "settings": {"seed": "4"}})",
         {R"("seed" at the top level and "seed" in settings cannot both be given)"}},
        {R"({"seed": false})", {R"("seed" at the top level must be a text or a number, not false)"}},
        {R"({"suite": "noise"})", {R"("suite" must be an object, not "noise")"}},
        {R"({"suite": {"name": "a", "version": "1", "series": "s"}})",
         {R"("level" in suite must be a finite number, and it is missing)"}},
        {R"({"suite": {"name": "a", "version": 1, "series": "s", "level": 1}})",
         {R"("version" in suite must be a text that is not empty, not 1)"}},
        {R"({"suite": {"name": "a", "version": "1", "series": "s", "level": 1, "lvl": 2}})",
         {R"(unknown key "lvl" in suite)"}},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.json);
        const ScenarioFile file = read_scenarios(c.json, "test");
        ASSERT_TRUE(file.error.empty()) << file.error;
        ASSERT_EQ(file.entries.size(), 1u);
        EXPECT_FALSE(file.entries[0].scenario.has_value());
        for (const std::string& part : c.parts) EXPECT_NE(file.entries[0].error.find(part), std::string::npos)
            << file.entries[0].error;
    }
}

TEST(ScenarioFile, ABadScenarioOfAListLeavesTheOthersAndIsNamed) {
    const ScenarioFile file = read_scenarios(R"([{"name": "good"}, {"name": "bad", "rows": [{"tua": 1}]}, 3])", "s");
    ASSERT_TRUE(file.error.empty());
    ASSERT_EQ(file.entries.size(), 3u);
    EXPECT_TRUE(file.entries[0].scenario.has_value());
    EXPECT_EQ(file.entries[1].name, "bad");
    EXPECT_EQ(file.entries[1].error, R"(scenario 2: unknown key "tua" in rows[0] (row 1) (did you mean "tau"?))");
    EXPECT_EQ(file.entries[2].name, "s-3");
    EXPECT_EQ(file.entries[2].error, "scenario 3: a scenario must be a JSON object, not 3");
}

TEST(ScenarioFile, MalformedFilesGiveLineAndColumn) {
    const std::vector<BadCase> cases = {
        {"{\n  \"name\": \"a\",\n  \"rows\": [\n    {\"tau\": 1,}\n  ]\n}",
         {"malformed JSON at line 4, column 15: syntax error"}},
        {"", {"malformed JSON at line 1, column 1:", "unexpected end of input"}},
        {"{\"name\": \"a\"", {"malformed JSON at line 1, column 13:"}},
        {"{\n\n   \"tau\": tru}", {"malformed JSON at line 3, column 14:", "invalid literal"}},
        {"{\n  \"tau\": 1e400}", {"number overflow", "1e400", "at line 2, column 10"}},
        {R"({"rows": [{"tau": 1, "tau": 2}]})", {R"(the key "tau" appears twice in rows[0])"}},
        {R"({"name": "a", "name": "b"})", {R"(the key "name" appears twice at the top level)"}},
        {R"([{}, {"settings": {"seed": "1", "seed": "2"}}])", {R"(the key "seed" appears twice in settings of scenario 2)"}},
        {"42", {"a scenario file holds one scenario (a JSON object) or a non-empty list of them, not 42"}},
        {"[]", {"a non-empty list"}},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.json);
        const ScenarioFile file = read_scenarios(c.json, "test");
        EXPECT_TRUE(file.entries.empty());
        for (const std::string& part : c.parts) EXPECT_NE(file.error.find(part), std::string::npos) << file.error;
    }
}

// Random records, written in the scenario form (texts as strings or, for
// numbers, as JSON numbers), read back as the same records. The texts come
// from everything a user can type: empty, blanks, signs, zeros, subnormal
// and huge numbers, leading-number texts, non-numbers, quotes and line
// breaks, non-ASCII letters.
TEST(ScenarioFile, WrittenRecordsReadBackAlikeOverRandomInputs) {
    std::mt19937_64 random(20240611);
    const std::vector<std::pair<const char*, std::vector<std::string>>> text_kinds = {
        {"empty or blank", {"", " ", "\t", "  \n"}},
        {"whole", {"1", "10000", "-3", "+7", "007"}},
        {"zero", {"0", "-0", "0.000", ".0"}},
        {"decimal", {"1.00", "2.5", "-0.25", ".5", "5."}},
        {"exponent", {"1e3", "1E-7", "2.5e+10", "1e-310", "4.9e-324"}},
        {"huge", {"1e308", "-1.7e308", "1e999", "-1e999"}},
        {"leading number", {"2.5 min", " 1,5", "3x", "1e", "1e+"}},
        {"not a number", {"x1", "abc", "-", ".", "e5", "inf", "nan"}},
        {"quotes and breaks", {"\"", "a\\b", "line\nbreak", "{\"json\": 1}"}},
        {"non-ASCII", {"\xc2\xb5s", "\xe2\x80\x93" "1", "\xf0\x9f\x92\xa7"}},
    };
    const std::vector<double> numbers = {0.0, -0.0, 1.0, -2.5, 1e-7, 4.9406564584124654e-324, 2.2250738585072014e-308,
                                         1.7976931348623157e308, -1e300, 16.666666666666668, 123456789012345678.0};
    std::map<std::string, int> covered;

    const auto draw_text = [&](nlohmann::json& out, std::string& expected) {
        if (random() % 4 == 0) {
            double v = numbers[random() % numbers.size()];
            if (random() % 2) v = std::ldexp(static_cast<double>(random() % 1000000) - 500000.0, int(random() % 200) - 100);
            out = v;
            expected = value_text(v);
            ++covered["JSON number"];
            return;
        }
        const auto& [kind, pool] = text_kinds[random() % text_kinds.size()];
        expected = pool[random() % pool.size()];
        out = expected;
        ++covered[kind];
    };
    const auto draw_flag = [&]() { return random() % 2 == 1; };

    for (int round = 0; round < 1500; ++round) {
        nlohmann::json scenario = nlohmann::json::object();
        ComponentTable rows{};
        const std::size_t row_count = random() % (component_count + 1);
        nlohmann::json json_rows = nlohmann::json::array();
        const ComponentTable factory = factory_table();
        for (std::size_t i = 0; i < row_count; ++i) {
            nlohmann::json row = nlohmann::json::object();
            rows[i] = factory[i];
            // Each field given or left out.
            if (draw_flag()) row["enabled"] = rows[i].enabled = draw_flag();
            for (auto [key, member] : {std::pair{"retention_time", &ComponentRow::retention_time},
                                       std::pair{"relative_response", &ComponentRow::relative_response},
                                       std::pair{"plates", &ComponentRow::plates}, std::pair{"tau", &ComponentRow::tau},
                                       std::pair{"resolution", &ComponentRow::resolution}}) {
                if (draw_flag()) draw_text(row[key], rows[i].*member);
            }
            json_rows.push_back(row);
        }
        const bool rows_given = row_count > 0 || draw_flag();
        if (rows_given) scenario["rows"] = json_rows;
        if (!rows_given) rows = factory;

        SimulationSettings settings;
        nlohmann::json json_settings = nlohmann::json::object();
        const auto pick = [&](const char* key, auto& member, auto... values) {
            if (!draw_flag()) return;
            const std::array all{values...};
            member = all[random() % all.size()];
            json_settings[key] = name_of(member);
            ++covered[std::string(key) + "=" + name_of(member)];
        };
        pick("efficiency", settings.efficiency, EfficiencyChoice::lc, EfficiencyChoice::gc, EfficiencyChoice::custom,
             EfficiencyChoice::custom_individual);
        pick("peak_model", settings.peak_model, PeakModel::Gaussian, PeakModel::ExponentiallyModifiedGaussian);
        pick("baseline_shape", settings.baseline_shape, BaselineShape::flat, BaselineShape::linear, BaselineShape::quad);
        pick("noise_kind", settings.noise_kind, NoiseKind::omit, NoiseKind::random, NoiseKind::random_walk);
        for (auto [key, member] : {std::pair{"constant_bandwidth", &SimulationSettings::constant_bandwidth},
                                   std::pair{"linear_down", &SimulationSettings::linear_down},
                                   std::pair{"quad_down", &SimulationSettings::quad_down},
                                   std::pair{"level_by_s_to_n", &SimulationSettings::level_by_s_to_n},
                                   std::pair{"level_by_value", &SimulationSettings::level_by_value},
                                   std::pair{"use_seed", &SimulationSettings::use_seed}}) {
            if (draw_flag()) json_settings[key] = settings.*member = draw_flag();
        }
        for (auto [key, member] : {std::pair{"custom_plates", &SimulationSettings::custom_plates},
                                   std::pair{"void_minutes", &SimulationSettings::void_minutes},
                                   std::pair{"sampling_rate", &SimulationSettings::sampling_rate},
                                   std::pair{"baseline_percentage", &SimulationSettings::baseline_percentage},
                                   std::pair{"s_to_n_percent", &SimulationSettings::s_to_n_percent},
                                   std::pair{"s_to_n_value", &SimulationSettings::s_to_n_value},
                                   std::pair{"seed", &SimulationSettings::seed}}) {
            if (draw_flag()) draw_text(json_settings[key], settings.*member);
        }
        scenario["settings"] = json_settings;

        const ScenarioFile file = read_scenarios(scenario.dump(), "random");
        ASSERT_TRUE(file.error.empty()) << file.error;
        ASSERT_EQ(file.entries.size(), 1u);
        const ScenarioEntry& entry = file.entries[0];
        if (settings.level_by_s_to_n && settings.level_by_value) {
            // The window cannot select both options of a pair.
            EXPECT_FALSE(entry.scenario.has_value());
            ++covered["both level options"];
            continue;
        }
        ASSERT_TRUE(entry.scenario.has_value()) << entry.error << "\n" << scenario.dump();
        EXPECT_TRUE(same_rows(entry.scenario->rows, rows)) << scenario.dump();
        EXPECT_TRUE(fields(entry.scenario->settings) == fields(settings)) << scenario.dump();

        // The full written form of the records reads back alike.
        const nlohmann::ordered_json written = {{"rows", rows_json(rows)}, {"settings", settings_json(settings)}};
        const Scenario again = testing::scenario_of(written.dump());
        EXPECT_TRUE(same_rows(again.rows, rows));
        EXPECT_TRUE(fields(again.settings) == fields(settings));
        ++covered["round"];
    }
    for (const auto& [kind, pool] : text_kinds) EXPECT_GE(covered[kind], 100) << kind;
    EXPECT_GE(covered["JSON number"], 500);
    EXPECT_GE(covered["both level options"], 50);
    EXPECT_GE(covered["round"], 1000);
    for (const char* value : {"efficiency=lc", "efficiency=gc", "efficiency=custom", "efficiency=custom_individual",
                              "peak_model=Gaussian", "peak_model=ExponentiallyModifiedGaussian", "baseline_shape=flat",
                              "baseline_shape=linear", "baseline_shape=quad", "noise_kind=omit", "noise_kind=random",
                              "noise_kind=random_walk"}) {
        EXPECT_GE(covered[value], 50) << value;
    }
}

}  // namespace
}  // namespace elutrix::generate
