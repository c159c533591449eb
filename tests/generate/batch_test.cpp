// Batches: bad input leaves no file of its scenario while the others go on,
// the files and names of every run, the manifest, the record and the
// components table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "engine/version.h"
#include "generate/batch.h"
#include "generate_test_support.h"
#include "models/gaussian.h"

namespace elutrix::generate {
namespace {

using testing::read_all;
using testing::ScratchDir;
using testing::write_all;

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) out.push_back(field);
    return out;
}

struct Batch {
    ScratchDir dir;
    BatchReport report;
    std::string out() const { return dir.file("out"); }

    // Writes the files (name, text) and runs them with the options.
    void run(const std::vector<std::pair<std::string, std::string>>& files, BatchOptions options = {},
             const std::vector<std::string>& more = {}) {
        std::vector<std::string> paths;
        for (const auto& [name, text] : files) {
            write_all(dir.file(name), text);
            paths.push_back(dir.file(name));
        }
        for (const std::string& name : more) paths.push_back(dir.file(name));
        options.out_dir = out();
        report = run_batch(paths, options);
    }
};

const char* const noisy_good = R"({"name": "good", "replicates": 2, "seed": 1,
    "settings": {"noise_kind": "random", "level_by_s_to_n": true, "s_to_n_percent": 100}})";

TEST(Batch, BadInputLeavesNoFileOfItAndTheOthersGoOn) {
    Batch batch;
    batch.run({{"good.json", noisy_good},
               {"toomany.json", R"({"rows": [{"retention_time": 10}], "settings": {"sampling_rate": 2000}})"},
               {"broken.json", "{\n  \"name\": \"x\",,\n}"},
               {"list.json", R"([{"name": "ok2"}, {"name": "typo", "settings": {"sampling_rat": 5}}])"},
               {"clash.json", R"({"name": "good", "replicates": 2})"}},
              {}, {"missing.json"});
    EXPECT_FALSE(batch.report.ok());
    EXPECT_EQ(batch.report.runs_written, 3u);

    const std::string d = batch.dir.path() + "/";
    const std::vector<std::string> expected_failures = {
        d + "broken.json: malformed JSON at line 2, column 15: syntax error",
        d + "missing.json: cannot be read: No such file or directory",
        "\"toomany\" (" + d + "toomany.json): This run asks for 1800000 points",
        "\"typo\" (" + d + "list.json): scenario 2: unknown key \"sampling_rat\" in settings",
        "\"good\" (" + d + "clash.json): its files would take the names of those of scenario \"good\" (" + d +
            "good.json)",
    };
    ASSERT_EQ(batch.report.failures.size(), expected_failures.size());
    for (const std::string& expected : expected_failures) {
        EXPECT_TRUE(std::any_of(batch.report.failures.begin(), batch.report.failures.end(),
                                [&](const std::string& f) { return f.rfind(expected, 0) == 0; }))
            << expected;
    }
    // Only the good scenarios' files, and no temporary file.
    EXPECT_EQ(entries(batch.out()),
              (std::set<std::string>{"good_0001.xy", "good_0001.peaks.csv", "good_0001.json", "good_0002.xy",
                                     "good_0002.peaks.csv", "good_0002.json", "ok2.xy", "ok2.peaks.csv", "ok2.json",
                                     "manifest.csv"}));

    const std::vector<std::string> manifest = lines(read_all(batch.out() + "/manifest.csv"));
    ASSERT_EQ(manifest.size(), 1u + 8u);
    EXPECT_EQ(manifest[0], "source,scenario,replicate,seed,status,message,data,peaks,record,components,suite,suite_version,series,"
                           "level");
    std::map<std::string, int> status;
    for (std::size_t i = 1; i < manifest.size(); ++i) ++status[split(manifest[i])[4]];
    EXPECT_EQ(status["ok"], 3);
    EXPECT_EQ(status["failed"], 5);  // one line each, refused before any run began
    EXPECT_NE(manifest[1].find(",good,1,1,ok,,good_0001.xy,good_0001.peaks.csv,good_0001.json,"), std::string::npos);
    EXPECT_NE(manifest[2].find(",good,2,2,ok,,good_0002.xy"), std::string::npos);
}

TEST(Batch, NamesOfSingleRunsAndReplicates) {
    struct Case {
        const char* json;
        std::optional<int> replicates;  // the option
        std::set<std::string> xy;       // the .xy files made
    };
    const std::vector<Case> cases = {
        {R"({"name": "r", "replicates": 5})", 2, {"r_0001.xy", "r_0002.xy"}},
        {R"({"name": "r", "replicates": 5})", 1, {"r.xy"}},
        {R"({"replicates": 2})", std::nullopt, {"scenario_0001.xy", "scenario_0002.xy"}},
        {R"([{}, {"name": "b"}])", std::nullopt, {"scenario-1.xy", "b.xy"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        Batch batch;
        BatchOptions options;
        options.replicates = c.replicates;
        batch.run({{"scenario.json", c.json}}, options);
        ASSERT_TRUE(batch.report.ok());
        std::set<std::string> xy;
        for (const std::string& name : entries(batch.out()))
            if (name.ends_with(".xy")) xy.insert(name);
        EXPECT_EQ(xy, c.xy);
    }
}

TEST(Batch, AnOutputFolderThatCannotBeMadeFailsEveryScenario) {
    Batch batch;
    write_all(batch.dir.file("out"), "a file where the folder should be");
    batch.run({{"a.json", "{}"}, {"b.json", R"({"name": "b"})"}});
    EXPECT_FALSE(batch.report.ok());
    int folder_failures = 0;
    for (const std::string& f : batch.report.failures) folder_failures += f.find("cannot be made") != std::string::npos;
    EXPECT_EQ(folder_failures, 2);
}

TEST(Batch, TheRecordHoldsTheRunAfterItsWriteBacks) {
    Batch batch;
    batch.run({{"pair.json", R"({"seed": 11, "rows": [{"retention_time": 1}, {"enabled": true, "resolution": 1.5}],
        "settings": {"noise_kind": "random", "level_by_s_to_n": true, "s_to_n_percent": 100}})"}});
    ASSERT_TRUE(batch.report.ok());
    const nlohmann::json record = nlohmann::json::parse(read_all(batch.out() + "/pair.json"));
    EXPECT_EQ(record["program"], "elutrix-generate");
    EXPECT_EQ(record["version"], program_version);
    EXPECT_EQ(record["name"], "pair");
    EXPECT_EQ(record["replicate"], 1);
    EXPECT_EQ(record["seed"], 11);
    EXPECT_EQ(record["seed_drawn"], false);

    // The same inputs run here: the record shows its write-backs.
    const RunOutput run = testing::run_scenario(testing::scenario_of(read_all(batch.dir.file("pair.json"))));
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(record["point_count"], run.point_count);
    EXPECT_EQ(record["time_step_s"].get<double>(), (90.0 * run.placement.latest_tr) / run.point_count);
    EXPECT_EQ(record["rows"][1]["retention_time"], run.rows[1].retention_time);
    EXPECT_EQ(record["rows"][1]["relative_response"], "1");  // written for a derived row
    EXPECT_EQ(record["rows"][1]["plates"], "10000");
    EXPECT_EQ(record["settings"]["s_to_n_value"], value_text(run.placement.ymin / 100.0));
    EXPECT_EQ(record["noise"]["level_u"].get<double>(), run.placement.ymin / 100.0);

    const std::vector<std::string> peaks = lines(read_all(batch.out() + "/pair.peaks.csv"));
    ASSERT_EQ(peaks.size(), 3u);
    EXPECT_EQ(split(peaks[0]).size(), 26u);
    EXPECT_EQ(split(peaks[1])[0], "1");
    EXPECT_EQ(split(peaks[2])[1], "Gaussian");
}

TEST(Batch, TheComponentsTableAddsUpToTheTrace) {
    struct Case {
        const char* json;
        double s_to_n;  // 0: no noise
    };
    const std::vector<Case> cases = {
        {R"({"rows": [{"retention_time": 1, "tau": 2}, {"enabled": true, "retention_time": 1.2, "relative_response": 0.5}],
             "settings": {"peak_model": "ExponentiallyModifiedGaussian", "baseline_shape": "quad", "quad_down": true,
                          "baseline_percentage": 20}})",
         0.0},
        {R"({"seed": 2, "rows": [{"retention_time": 1}, {"enabled": true, "retention_time": 1.2, "relative_response": 0.5}],
             "settings": {"noise_kind": "random", "level_by_s_to_n": true, "s_to_n_percent": 10}})",
         10.0},
    };
    // The smaller peak's height: row 2, sigma = 72 / 100 s.
    const double ymin = 0.5 * gaussian(1.2, 1.2, 0.72);
    for (std::size_t c = 0; c < cases.size(); ++c) {
        SCOPED_TRACE(c);
        Batch batch;
        BatchOptions options;
        options.components = true;
        batch.run({{"parts.json", cases[c].json}}, options);
        ASSERT_TRUE(batch.report.ok());
        const std::vector<std::string> table = lines(read_all(batch.out() + "/parts.components.csv"));
        const std::vector<std::string> xy = lines(read_all(batch.out() + "/parts.xy"));
        ASSERT_EQ(table.size(), xy.size() + 1);
        EXPECT_EQ(table[0], "time_min,response,noise_free,baseline,row_1,row_2");
        const double u = cases[c].s_to_n == 0.0 ? 0.0 : ymin / cases[c].s_to_n;
        for (std::size_t i = 1; i < table.size(); ++i) {
            const std::vector<std::string> f = split(table[i]);
            ASSERT_EQ(f.size(), 6u);
            std::vector<double> v;
            for (const std::string& text : f) v.push_back(std::strtod(text.c_str(), nullptr));
            // The components in row order, then the baseline, as the run sums them.
            EXPECT_EQ(v[2], (0.0 + v[4] + v[5]) + v[3]) << table[i];
            EXPECT_EQ(value_text(v[1]) + "\r", split(xy[i - 1])[1]);
            if (u == 0.0) {
                EXPECT_EQ(v[1], v[2]);
            } else {
                EXPECT_LE(std::fabs(v[1] - v[2]), u / 2.0 * (1.0 + 1e-12));
            }
        }
    }
}

TEST(Batch, TheDataFileInEachFormatLeavesTheOtherFilesAlike) {
    struct Case {
        const char* json;
        std::size_t points;
    };
    const std::vector<Case> cases = {
        {R"({"seed": 1})", 1800},
        {R"({"seed": 5, "rows": [{"retention_time": 1, "tau": -2}], "settings": {"peak_model":
             "ExponentiallyModifiedGaussian", "baseline_shape": "linear", "baseline_percentage": 3,
             "noise_kind": "random_walk", "level_by_value": true, "s_to_n_value": 0.001}})",
         1800},
        {R"({"seed": 1, "settings": {"sampling_rate": 0.01}})", 1},
        {R"({"seed": 1, "settings": {"sampling_rate": 0}})", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        std::map<DataFormat, std::string> data;
        std::set<std::string> others;  // the peak table and record, the same in every format
        for (const DataFormat format : {DataFormat::xy, DataFormat::csv, DataFormat::andi}) {
            Batch batch;
            BatchOptions options;
            options.format = format;
            batch.run({{"f.json", c.json}}, options);
            ASSERT_TRUE(batch.report.ok());
            const std::string file = std::string("f") + extension_of(format);
            EXPECT_EQ(entries(batch.out()), (std::set<std::string>{file, "f.peaks.csv", "f.json", "manifest.csv"}));
            EXPECT_EQ(split(lines(read_all(batch.out() + "/manifest.csv"))[1])[6], file);
            data[format] = read_all(batch.out() + "/" + file);
            others.insert(read_all(batch.out() + "/f.peaks.csv") + read_all(batch.out() + "/f.json"));
        }
        EXPECT_EQ(others.size(), 1u);
        const std::string& xy = data[DataFormat::xy];
        EXPECT_EQ(static_cast<std::size_t>(std::count(xy.begin(), xy.end(), '\n')), c.points);
        std::string csv = "time_min,response\n";
        for (const char ch : xy)
            if (ch != '\r') csv += ch;
        EXPECT_EQ(data[DataFormat::csv], csv);
        EXPECT_EQ(data[DataFormat::andi].substr(0, 4), std::string("CDF\x01", 4));  // classic netCDF
    }
}

TEST(Batch, FormatNames) {
    const std::vector<std::pair<std::string, std::optional<DataFormat>>> cases = {
        {"xy", DataFormat::xy}, {"csv", DataFormat::csv}, {"andi", DataFormat::andi},
        {"", std::nullopt},     {"XY", std::nullopt},     {"cdf", std::nullopt}, {"andi ", std::nullopt},
    };
    for (const auto& [name, format] : cases) {
        EXPECT_EQ(data_format_named(name), format) << name;
        if (format) {
            EXPECT_EQ(name_of(*format), name);
        }
    }
}

struct ClashCase {
    std::vector<std::pair<std::string, std::string>> files;  // scenario files: name, text
    DataFormat format;
    bool components;
    std::string failure;               // the one failure holds it
    std::set<std::string> written;     // the output folder afterwards
    std::pair<std::string, std::string> holds;  // a file, and what it begins with
};

// Any two files of a batch that would take one name, whatever their kinds,
// are refused before anything is written, as is a run file named like the
// manifest.
TEST(Batch, FilesThatWouldTakeOneNameAreRefused) {
    const std::vector<ClashCase> cases = {
        {{{"s.json", R"({"name": "manifest"})"}}, DataFormat::csv, false,
         "its file manifest.csv would be replaced by the batch's manifest", {"manifest.csv"}, {"manifest.csv", "source,"}},
        {{{"s.json", R"([{"name": "a"}, {"name": "a.peaks"}])"}}, DataFormat::csv, false,
         R"("a.peaks" ()", {"a.csv", "a.peaks.csv", "a.json", "manifest.csv"}, {"a.peaks.csv", "row,model,"}},
        {{{"s.json", R"([{"name": "a.peaks"}, {"name": "a"}])"}}, DataFormat::csv, false,
         R"(its file a.peaks.csv would take the name of a file of scenario "a.peaks")",
         {"a.peaks.csv", "a.peaks.peaks.csv", "a.peaks.json", "manifest.csv"}, {"a.peaks.csv", "time_min,response\n"}},
        {{{"s.json", R"({"name": "a"})"}, {"t.json", R"({"name": "a.components"})"}}, DataFormat::csv, true,
         R"(its file a.components.csv would take the name of a file of scenario "a")",
         {"a.csv", "a.peaks.csv", "a.json", "a.components.csv", "manifest.csv"},
         {"a.components.csv", "time_min,response,noise_free"}},
        {{{"s.json", R"([{"name": "a"}, {"name": "a.peaks"}])"}}, DataFormat::xy, false, "",
         {"a.xy", "a.peaks.csv", "a.json", "a.peaks.xy", "a.peaks.peaks.csv", "a.peaks.json", "manifest.csv"},
         {"a.peaks.csv", "row,model,"}},
    };
    for (const ClashCase& c : cases) {
        SCOPED_TRACE(c.files[0].second);
        Batch batch;
        BatchOptions options;
        options.format = c.format;
        options.components = c.components;
        batch.run(c.files, options);
        if (c.failure.empty()) {
            EXPECT_TRUE(batch.report.ok());
        } else {
            ASSERT_EQ(batch.report.failures.size(), 1u);
            EXPECT_NE(batch.report.failures[0].find(c.failure), std::string::npos) << batch.report.failures[0];
        }
        EXPECT_EQ(entries(batch.out()), c.written);
        EXPECT_EQ(read_all(batch.out() + "/" + c.holds.first).rfind(c.holds.second, 0), 0u) << c.holds.first;
    }
}

// A scenario file named manifest.csv in the output folder stops the batch
// before it writes anything.
TEST(Batch, AScenarioFileNamedLikeTheManifestIsNotReplaced) {
    ScratchDir dir;
    const std::string scenario = dir.file("manifest.csv");
    write_all(scenario, R"({"name": "a"})");
    BatchOptions options;
    options.out_dir = dir.path();
    const BatchReport report = run_batch(std::vector<std::string>{scenario}, options);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_NE(report.failures[0].find("manifest.csv would replace the scenario file of that name"), std::string::npos);
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"manifest.csv"});
    EXPECT_EQ(read_all(scenario), R"({"name": "a"})");
}

// While one batch writes into a folder, another is refused and writes nothing.
TEST(Batch, AFolderInUseByAnotherBatchIsRefused) {
    ScratchDir dir;
    const int held = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    write_all(dir.file("manifest.csv"), "the other batch's\n");
    BatchOptions options;
    options.out_dir = dir.path();
    const std::string scenario = dir.file("s.scenario");
    write_all(scenario, R"({"name": "a"})");
    BatchReport report = run_batch(std::vector<std::string>{scenario}, options);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_NE(report.failures[0].find("is in use by another elutrix-generate"), std::string::npos);
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"manifest.csv", "s.scenario"}));
    EXPECT_EQ(read_all(dir.file("manifest.csv")), "the other batch's\n");
    ::close(held);
    report = run_batch(std::vector<std::string>{scenario}, options);
    EXPECT_TRUE(report.ok());
    EXPECT_TRUE(testing::exists(dir.file("a.xy")));
}

// While the batch runs, the manifest lists every run as pending, ok (all its
// files written) or failed; the previous batch's manifest is gone from the
// start.
TEST(Batch, TheManifestTellsTheTruthWhileTheBatchRuns) {
    Batch batch;
    std::filesystem::create_directories(batch.out());
    write_all(batch.out() + "/manifest.csv", "the previous batch's\n");
    BatchOptions options;
    options.threads = 2;
    std::map<std::string, int> seen;  // status -> lines seen over all calls
    int calls = 0;
    options.progress = [&](std::size_t, std::size_t) {
        ++calls;
        const std::vector<std::string> manifest = lines(read_all(batch.out() + "/manifest.csv"));
        ASSERT_FALSE(manifest.empty());
        EXPECT_EQ(manifest[0].rfind("source,", 0), 0u);
        for (std::size_t i = 1; i < manifest.size(); ++i) {
            const std::vector<std::string> f = split(manifest[i]);
            ASSERT_GE(f.size(), 5u);
            ++seen[f[4]];
            if (f[4] == "ok") {
                for (std::size_t j = 6; j < 9; ++j) EXPECT_TRUE(testing::exists(batch.out() + "/" + f[j])) << f[j];
            }
        }
    };
    // Runs of 180,000 points: slow enough for several rewrites.
    batch.run({{"big.json", R"({"name": "big", "replicates": 240, "settings": {"sampling_rate": 2000}})"},
               {"bad.json", R"({"rows": [{"retention_time": 10}], "settings": {"sampling_rate": 2000}})"}},
              options);
    EXPECT_GE(calls, 3);
    EXPECT_GT(seen["pending"], 0);
    EXPECT_GT(seen["ok"], 0);
    const std::vector<std::string> manifest = lines(read_all(batch.out() + "/manifest.csv"));
    ASSERT_EQ(manifest.size(), 1u + 240u + 1u);
    for (std::size_t i = 1; i < manifest.size(); ++i) EXPECT_NE(split(manifest[i])[4], "pending") << manifest[i];
}

// Memory running out in a run is told in plain words.
TEST(Batch, ARunOutOfMemoryIsToldInPlainWords) {
    std::string message;
    for_each_run(
        1, 1, [](std::size_t, Trace&, RandomGenerator&) { throw std::bad_alloc(); },
        [&](std::size_t, const std::string& what) { message = what; });
    EXPECT_EQ(message, "there is not enough memory for it");
}

}  // namespace
}  // namespace elutrix::generate
