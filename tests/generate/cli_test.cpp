// The program elutrix-generate itself: its options, exit status and
// messages, and the progress bar that shows only on a terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sstream>

#include "engine/version.h"
#include "generate/progress_bar.h"
#include "generate_test_support.h"

extern char** environ;

namespace elutrix::generate {
namespace {

using testing::exists;
using testing::read_all;

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::vector<char*> argv_of(std::vector<std::string>& args) {
    args.insert(args.begin(), ELUTRIX_GENERATE_PROGRAM);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

int wait_for(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Runs the program in folder cwd with standard output and error in files.
Outcome run_program(std::vector<std::string> args, const testing::ScratchDir& dir) {
    const std::string out = dir.file("stdout"), err = dir.file("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv = argv_of(args);
    pid_t pid = 0;
    Outcome outcome;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) outcome.status = wait_for(pid);
    posix_spawn_file_actions_destroy(&actions);
    outcome.out = read_all(out);
    outcome.err = read_all(err);
    return outcome;
}

// Runs the program with its standard error on a terminal; returns what the
// terminal received.
std::string run_on_terminal(std::vector<std::string> args, const testing::ScratchDir& dir, unsigned short columns = 80) {
    int terminal = -1, device = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    if (openpty(&terminal, &device, nullptr, nullptr, &size) != 0) return "<no terminal>";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, device, 2);
    posix_spawn_file_actions_addclose(&actions, terminal);
    std::vector<char*> argv = argv_of(args);
    pid_t pid = 0;
    const bool started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(device);
    std::string shown;
    char buffer[4096];
    for (ssize_t got; started && (got = ::read(terminal, buffer, sizeof buffer)) > 0;) shown.append(buffer, got);
    ::close(terminal);
    if (started) wait_for(pid);
    return shown;
}

struct CliCase {
    std::vector<std::string> args;  // OUT stands for the output folder
    int status;
    std::string out;                  // standard output holds it
    std::string err;                  // standard error holds it; empty: standard error is empty
    std::vector<std::string> made = {};    // files in the output folder
    std::vector<std::string> absent = {};  // files that must not be there
};

TEST(Program, OptionsExitStatusAndMessages) {
    const std::string usage =
        "Usage: elutrix-generate [--out DIR] [--replicates N] [--format xy|csv|andi|dataset] [--compress] [--components]\n";
    const std::vector<CliCase> cases = {
        {{"--help"}, 0, usage, ""},
        {{"--version"}, 0, std::string("elutrix-generate ") + program_version + "\n", ""},
        {{}, 2, "", "elutrix-generate: no scenario file given\n" + usage},
        {{"--bogus", "a.json"}, 2, "", "unknown option --bogus"},
        {{"--replicates", "0", "a.json"}, 2, "", "--replicates needs a whole number from 1 to 1000000"},
        {{"--replicates", "1000001", "a.json"}, 2, "", "--replicates needs a whole number"},
        {{"--replicates=2x", "a.json"}, 2, "", "--replicates needs a whole number"},
        {{"--out"}, 2, "", "--out needs a folder"},
        {{"--format", "ANDI", "a.json"}, 2, "", "--format needs xy, csv, andi or dataset"},
        {{"--format=", "a.json"}, 2, "", "--format needs xy, csv, andi or dataset"},
        {{"a.json", "--format"}, 2, "", "--format needs xy, csv, andi or dataset"},
        {{"--out", "OUT", "--format", "andi", "a.json"}, 0, "", "", {"OUT/a.cdf", "OUT/a.peaks.csv"}, {"OUT/a.xy"}},
        {{"--out=OUT", "--format=csv", "--format=xy", "a.json"}, 0, "", "", {"OUT/a.xy"}, {"OUT/a.csv"}},
        // The record a.json would replace the scenario file.
        {{"a.json"}, 1, "", "its file a.json would replace the scenario file of that name in .", {"manifest.csv"},
         {"a.xy"}},
        {{"--out", "OUT/..", "a.json"}, 1, "", "its file a.json would replace the scenario file", {}, {"a.xy"}},
        {{"--out", "OUT", "a.json"}, 0, "", "", {"OUT/a.xy", "OUT/manifest.csv"}, {"OUT/a.components.csv"}},
        {{"--out=OUT", "--replicates=2", "--components", "--quiet", "a.json"},
         0, "", "", {"OUT/a_0001.xy", "OUT/a_0002.components.csv"}, {"OUT/a.xy"}},
        {{"--out", "OUT", "bad.json", "missing.json", "a.json"},
         1, "",
         "elutrix-generate: \"bad\" (bad.json): This run asks for 1800000 points",
         {"OUT/a.xy"}, {"OUT/bad.xy", "OUT/bad.json"}},
        {{"--out", "OUT", "missing.json", "a.json"}, 1, "", "elutrix-generate: missing.json: cannot be read: No such file or directory\n",
         {"OUT/a.xy"}},
        {{"--out", "OUT", "--", "--odd.json"}, 0, "", "", {"OUT/--odd.xy"}},
        {{"--andi-precision", "single", "a.json"}, 2, "", "--andi-precision needs float or double"},
        {{"--out=", "a.json"}, 2, "", "--out needs a folder"},
        {{"--replicates=", "a.json"}, 2, "", "--replicates needs a whole number"},
        {{"--quiet=yes", "a.json"}, 2, "", "unknown option --quiet=yes"},
        {{"--format=andi", "a.json", "--andi-precision"}, 2, "", "--andi-precision needs float or double"},
        {{"--out=OUT", "--format=andi", "--andi-precision=double", "a.json"}, 0, "", "", {"OUT/a.cdf"}},
        {{"--out", "OUT", "seed.json"}, 1, "", "\"seed\" (seed.json): the seed 1e999 is too large", {"OUT/manifest.csv"},
         {"OUT/seed_0001.xy"}},
        {{"--out", "OUT", "negative.json"}, 1, "", "replicates 5 and 7 would draw the same noise", {"OUT/manifest.csv"}},
        {{"--out", "OUT", "deep.json", "a.json"}, 1, "", "deep.json: malformed JSON at line 1, column 65: too deeply nested",
         {"OUT/a.xy"}},
        // One dataset file per scenario, and no file per run.
        {{"--out", "OUT", "--format", "dataset", "--replicates", "3", "--components", "a.json"}, 0, "", "",
         {"OUT/a.nc", "OUT/manifest.csv"}, {"OUT/a_0001.xy", "OUT/a_0001.peaks.csv", "OUT/a_0001.json", "OUT/a.json"}},
        {{"--out", "OUT", "--format=dataset", "--compress", "bad.json", "a.json", "seed.json"}, 1, "",
         "elutrix-generate: \"bad\" (bad.json): This run asks for 1800000 points", {"OUT/a.nc"},
         {"OUT/bad.nc", "OUT/seed.nc"}},
        {{"--compress", "a.json"}, 2, "", "--compress is for --format dataset"},
    };
    for (const CliCase& c : cases) {
        const testing::ScratchDir dir;
        testing::write_all(dir.file("a.json"), "{}");
        testing::write_all(dir.file("--odd.json"), "{}");
        testing::write_all(dir.file("seed.json"), R"({"seed": "1e999", "replicates": 2, "settings": {"noise_kind": "random"}})");
        testing::write_all(dir.file("negative.json"),
                           R"({"seed": -5, "replicates": 1000000, "settings": {"noise_kind": "random"}})");
        testing::write_all(dir.file("deep.json"), std::string(100000, '[') + std::string(100000, ']'));
        testing::write_all(dir.file("bad.json"), R"({"rows": [{"retention_time": 10}], "settings": {"sampling_rate": 2000}})");
        std::vector<std::string> args = c.args;
        for (std::string& a : args) {
            if (a == "OUT") a = dir.file("out");
            if (a == "OUT/..") a = dir.file("out/..");
            if (a == "--out=OUT") a = "--out=" + dir.file("out");
        }
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        SCOPED_TRACE(shown);
        const auto start = std::chrono::steady_clock::now();
        const Outcome o = run_program(args, dir);
        // Refusals come at once, whatever the scenario asks for.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3 * testing::prompt());
        EXPECT_EQ(o.status, c.status);
        EXPECT_NE(o.out.find(c.out), std::string::npos) << o.out;
        if (c.err.empty()) {
            EXPECT_EQ(o.err, "");
        } else {
            EXPECT_NE(o.err.find(c.err), std::string::npos) << o.err;
        }
        const auto path = [&](const std::string& name) {
            return name.rfind("OUT/", 0) == 0 ? dir.file("out/" + name.substr(4)) : dir.file(name);
        };
        for (const std::string& name : c.made) EXPECT_TRUE(exists(path(name))) << name;
        for (const std::string& name : c.absent) EXPECT_FALSE(exists(path(name))) << name;
    }
}

// Killed in the middle of a batch, the program leaves a manifest whose "ok"
// runs all have their files, and which marks the rest as pending.
TEST(Program, AKilledBatchLeavesATruthfulManifest) {
    const testing::ScratchDir dir;
    testing::write_all(dir.file("big.json"), R"({"name": "big", "replicates": 300, "settings": {"sampling_rate": 2000}})");
    std::filesystem::create_directories(dir.file("out"));
    testing::write_all(dir.file("out/manifest.csv"), "the previous batch's\n");
    std::vector<std::string> args = {"--quiet", "--out", dir.file("out"), dir.file("big.json")};
    std::vector<char*> argv = argv_of(args);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    // Killed once the manifest names some runs ok.
    std::string manifest;
    for (int i = 0; i < 600 && count(manifest, ",ok,") < 3; ++i) {
        ::usleep(50000);
        manifest = read_all(dir.file("out/manifest.csv"));
    }
    // Meanwhile a second generator on the same folder is refused.
    const Outcome second = run_program({"--out", dir.file("out"), dir.file("big.json")}, dir);
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("is in use by another elutrix-generate"), std::string::npos) << second.err;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    manifest = read_all(dir.file("out/manifest.csv"));
    ASSERT_EQ(manifest.rfind("source,scenario,replicate,seed,status,", 0), 0u) << manifest.substr(0, 100);
    EXPECT_GE(count(manifest, ",ok,"), 3u);
    EXPECT_GT(count(manifest, ",pending,"), 0u);
    EXPECT_EQ(count(manifest, ",ok,") + count(manifest, ",pending,"), 300u);
    std::istringstream lines(manifest);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(",ok,") == std::string::npos) continue;
        for (const char* ending : {".xy", ".peaks.csv", ".json"}) {
            const std::size_t at = line.find(std::string(",big_"));
            ASSERT_NE(at, std::string::npos);
            const std::string stem = line.substr(at + 1, 8);
            EXPECT_TRUE(exists(dir.file("out/" + stem + ending))) << stem << ending;
        }
    }
}

TEST(Program, ShowsProgressOnATerminalUnlessQuiet) {
    const testing::ScratchDir dir;
    testing::write_all(dir.file("a.json"), "{}");
    const std::string bar = run_on_terminal({"--out", dir.file("out"), "--replicates", "40", "a.json"}, dir);
    EXPECT_NE(bar.find("\r["), std::string::npos) << bar;
    EXPECT_NE(bar.find("] 40/40 runs"), std::string::npos) << bar;
    EXPECT_NE(bar.find(" left"), std::string::npos) << bar;
    EXPECT_EQ(run_on_terminal({"--quiet", "--out", dir.file("out"), "--replicates", "40", "a.json"}, dir), "");
}

// On a narrow terminal every redraw stays within one line.
TEST(Program, TheProgressBarFitsTheTerminal) {
    const testing::ScratchDir dir;
    testing::write_all(dir.file("a.json"), "{}");
    for (const unsigned short columns : {20, 45, 200}) {
        SCOPED_TRACE(columns);
        const std::string shown = run_on_terminal({"--out", dir.file("out"), "--replicates", "40", "a.json"}, dir, columns);
        std::size_t redraws = 0;
        for (std::size_t at = shown.find('\r'); at != std::string::npos; at = shown.find('\r', at + 1)) {
            if (shown.compare(at, 2, "\r\n") == 0) continue;  // the terminal's line end
            const std::size_t end = shown.find("\033[K", at);
            ASSERT_NE(end, std::string::npos);
            EXPECT_LT(end - at - 1, columns) << shown.substr(at + 1, end - at - 1);
            ++redraws;
        }
        EXPECT_GE(redraws, 2u);
        EXPECT_NE(shown.find("40/40 runs"), std::string::npos) << shown;
    }
}

TEST(Program, ProgressLinesNarrowToTheColumns) {
    struct Case {
        std::size_t columns;
        std::string line;
    };
    const std::vector<Case> cases = {
        {0, "[###############---------------] 500/1000 runs  100 runs/s  0:05 left"},
        {80, "[###############---------------] 500/1000 runs  100 runs/s  0:05 left"},
        {50, "[#####-----] 500/1000 runs  100 runs/s  0:05 left"},
        {45, "[##---] 500/1000 runs  100 runs/s  0:05 left"},
        {44, "500/1000 runs  100 runs/s  0:05 left"},
        {30, "500/1000 runs  100 runs/s"},
        {20, "500/1000 runs"},
        {10, "500/1000 "},
        {1, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(progress_line(500, 1000, 5.0, c.columns), c.line) << c.columns;
        if (c.columns != 0) {
            EXPECT_LT(c.line.size(), c.columns);
        }
    }
}

}  // namespace
}  // namespace elutrix::generate
