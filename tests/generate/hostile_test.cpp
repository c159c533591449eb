// Scenario files as a hostile or careless user makes them: NUL bytes, deep
// nesting, numbers beyond a double, long and non-UTF-8 texts, edited run
// records, and paths that are not regular files. Every one ends in a message
// that says where, in valid UTF-8 and of bounded length, and none crashes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "generate_test_support.h"

namespace elutrix::generate {
namespace {

using testing::ScratchDir;
using testing::write_all;

// The one message of a file that does not give one valid scenario.
std::string message_of(const ScenarioFile& file) {
    if (!file.error.empty()) return file.error;
    if (file.entries.size() == 1 && !file.entries[0].scenario) return file.entries[0].error;
    return "";
}

void expect_readable(const std::string& message) {
    EXPECT_LE(message.size(), 1024u);
    EXPECT_EQ(readable_text(message, message.size() + 4), message) << "not valid UTF-8, or a control character";
}

struct HostileFile {
    const char* file;                // in tests/generate/hostile
    std::vector<std::string> parts;  // the message holds each of them
};

TEST(HostileScenarios, FilesGiveALocatedReadableMessage) {
    const std::vector<HostileFile> cases = {
        {"nul_after_object.json", {"malformed JSON at line 1, column 14: a NUL byte"}},
        {"nul_in_string.json", {"malformed JSON at line 1, column 12: a NUL byte"}},
        {"nested_65_in_rows.json", {"malformed JSON at line 1, column 73: too deeply nested: more than 64 levels"}},
        {"first_line_error.json", {"malformed JSON at line 1, column 14: syntax error"}},
        {"overflow_after_name.json", {"number overflow parsing '1e400' at line 2, column 19"}},
        {"long_non_ascii_value.json", {R"("peak_model" in settings must be one of)", R"(not "éééééééééééé)", "é..."}},
        {"long_non_ascii_key.json", {R"(unknown key "€€€€€€€€€€)", "€... at the top level", "at the top level"}},
        {"nul_in_key.json", {R"(unknown key "na\u0000me" at the top level (did you mean "name"?))"}},
        {"record_seed_conflict.json", {R"(the record's "seed" (999) is not the seed in its settings ("1"))"}},
        {"record_replicate_beyond.json", {R"("replicate" of a run's record must be a whole number from 1 to its "replicates" (2), not 3)"}},
        {"name_with_line_break.json", {R"("name" must be a text that can begin a file name)", R"(not "a\nb")"}},
        {"name_too_long.json", {"at most 200 bytes", R"(not "nnnnnnnnnnnnnnnnnnnn)", "n..."}},
        {"not_utf8.json", {"malformed JSON at line 1, column 13:", "ill-formed UTF-8"}},
        {"not_utf8_long.json", {"malformed JSON at line 1, column 5012:", "ill-formed UTF-8", "..."}},
    };
    for (const HostileFile& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string message = message_of(read_scenario_file(std::string(ELUTRIX_HOSTILE_DIR) + "/" + c.file));
        for (const std::string& part : c.parts) EXPECT_NE(message.find(part), std::string::npos) << message;
        expect_readable(message);
    }
}

// Inputs too large to keep as files: made here, each read at once.
TEST(HostileScenarios, HugeNestingAndKeysAreRefusedAtOnce) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::string huge_key(10 << 20, 'k');
    std::string non_ascii;
    for (int i = 0; i < (2 << 20); ++i) non_ascii += "\xc3\xa9";
    struct Case {
        std::string json;
        std::vector<std::string> parts;
    };
    const std::vector<Case> cases = {
        {R"({"rows": )" + deep + "}", {"line 1, column 73: too deeply nested"}},
        {R"({"name": )" + deep + "}", {"line 1, column 73: too deeply nested"}},
        {R"({"seed": )" + deep + "}", {"line 1, column 73: too deeply nested"}},
        {R"({"program": "elutrix-generate", "settings": {"seed": )" + deep + "}}", {"too deeply nested"}},
        {deep, {"line 1, column 65: too deeply nested"}},
        {"{\"" + huge_key + "\": 1}", {R"(unknown key "kkkkkkkkkk)", "kkk... at the top level"}},
        {R"({"settings": {"seed": ")" + huge_key + "\", \"" + huge_key + "\": 0}}",
         {R"(unknown key "kkkkk)", "kkk... in settings"}},
        {R"({"settings": {"noise_kind": ")" + non_ascii + "\"}}", {R"(not "éééé)", "..."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json.substr(0, 60));
        const auto start = std::chrono::steady_clock::now();
        const std::string message = message_of(read_scenarios(c.json, "test"));
        EXPECT_LT(std::chrono::steady_clock::now() - start, testing::prompt());
        for (const std::string& part : c.parts) EXPECT_NE(message.find(part), std::string::npos) << message.substr(0, 300);
        expect_readable(message);
    }
}

// What is not a regular file of a readable size is refused with the system's
// reason, without waiting on it or reading it whole.
TEST(HostileScenarios, PathsThatAreNoScenarioFileSayWhy) {
    ScratchDir dir;
    const std::string fifo = dir.file("fifo.json");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string large = dir.file("large.json");
    write_all(large, "{}");
    ASSERT_EQ(::truncate(large.c_str(), static_cast<off_t>(max_scenario_file_bytes) + 1), 0);
    const std::string locked = dir.file("locked.json");
    write_all(locked, "{}");
    ::chmod(locked.c_str(), 0);
    struct Case {
        std::string path;
        std::string message;
    };
    std::vector<Case> cases = {
        {dir.file("missing.json"), "cannot be read: No such file or directory"},
        {locked + "/s.json", "cannot be read: Not a directory"},
        {dir.path(), "cannot be read: Is a directory"},
        {fifo, "cannot be read: it is not a regular file (a pipe, a device or a socket)"},
        {"/dev/zero", "cannot be read: it is not a regular file (a pipe, a device or a socket)"},
        {large, "cannot be read: it is larger than 16 MiB, the most a scenario file may hold"},
        {dir.file("missing.json") + std::string(1, '\0') + "x", "cannot be read: the path holds a NUL character"},
    };
    // The superuser reads every file.
    if (::geteuid() != 0) cases.push_back({locked, "cannot be read: Permission denied"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto start = std::chrono::steady_clock::now();
        const ScenarioFile file = read_scenario_file(c.path);
        EXPECT_LT(std::chrono::steady_clock::now() - start, testing::prompt());
        EXPECT_EQ(file.error, c.message);
        EXPECT_TRUE(file.entries.empty());
    }
}

// The texts a run's message quotes as typed, and the seed a seed message
// quotes, are shown escaped and bounded.
TEST(HostileScenarios, MessagesQuoteTypedTextsReadably) {
    const Scenario stops = testing::scenario_of(std::string(R"({"rows": [{"enabled": true, "relative_response": ")") +
                                                R"(1e999\t)" + std::string(5000, 'x') + "\"}]}");
    const RunOutput out = testing::run_scenario(stops);
    ASSERT_FALSE(out.ok);
    EXPECT_EQ(out.message.rfind(R"(Row 1: the relative response "1e999\txxxx)", 0), 0u) << out.message.substr(0, 100);
    EXPECT_LE(out.message.size(), max_message_bytes);
    expect_readable(out.message);

    SimulationSettings s;
    s.use_seed = true;
    s.noise_kind = NoiseKind::random;
    for (const std::string& seed : {std::string("91e99##\0##", 11), "1e999" + std::string(5000, '\x01')}) {
        s.seed = seed;
        const std::string problem = repeated_seed_problem(s, 2);
        EXPECT_NE(problem, "");
        expect_readable(problem);
    }
}

// Messages are cut at a character boundary and escape what a terminal would
// act on; valid text passes unchanged.
TEST(HostileScenarios, ReadableTextCutsAtCharactersAndEscapes) {
    struct Case {
        std::string text;
        std::size_t max;
        bool quoted;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"plain", 40, false, "plain"},
        {"tab\there", 40, true, R"("tab\there")"},
        {std::string("a\0b", 3), 40, true, R"("a\u0000b")"},
        {"\x1b[2J", 40, false, R"(\u001b[2J)"},
        {"quote \" and \\", 40, true, R"("quote \" and \\")"},
        {"ab\xff\xfe", 40, false, "ab\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xed\xa0\x80", 40, false, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate
        {"\xc0\xaf", 40, false, "\xef\xbf\xbd\xef\xbf\xbd"},                  // overlong "/"
        {"\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac", 10, false, "\xe2\x82\xac\xe2\x82\xac..."},
        {"abcdefghij\x01", 10, false, "abcdefg..."},
        {"abcdef\x01xyz", 12, false, "abcdef..."},  // not inside the escape
        {"abcdefghij", 10, false, "abcdefghij"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(readable_text(c.text, c.max, c.quoted), c.shown);
    }
}

}  // namespace
}  // namespace elutrix::generate
