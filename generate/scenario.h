// Scenario files: the window's inputs, written as JSON, for runs made without
// the window. One scenario holds "rows" (up to ten objects with the fields of
// ComponentRow), "settings" (the fields of SimulationSettings, enumerations
// by their names), "name", "replicates", "seed", "detector" and "suite"
// (SuiteLabel). Texts are given as a user types them; a JSON number stands for the text value_text writes for
// it. What is missing takes the window's factory value: without "rows" the
// factory table, and a row left out of "rows" is empty and unchecked.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/inputs.h"
#include "generate/detector.h"

namespace elutrix::generate {

// The most runs one scenario may ask for.
inline constexpr int max_replicates = 1000000;

// Where a scenario stands in a benchmark suite (suites/): the suite's name
// and version, the series of the suite it belongs to ("equal", "tailing")
// and its level on the suite's ladder (a resolution, an S/N, tau / sigma).
// It is carried into the run's record and the manifest, so that a scorer
// can group runs by level.
struct SuiteLabel {
    std::string name;
    std::string version;
    std::string series;
    double level = 0.0;
};

// The largest scenario file read, and the deepest nesting of lists and
// objects in one: a scenario needs four levels.
inline constexpr std::size_t max_scenario_file_bytes = std::size_t{16} << 20;
inline constexpr int max_scenario_depth = 64;

// The longest "name": with "_0001.components.csv" it still makes a file name.
inline constexpr std::size_t max_name_bytes = 200;

// A text as messages show it: valid UTF-8 (a byte that is not part of a
// character becomes U+FFFD), control characters escaped as JSON escapes
// them, and, when longer than max_bytes, cut at a character or escape
// boundary and ended with "...". quoted writes it as a JSON string (in
// quotes, with \" and \\ escaped).
std::string readable_text(std::string_view text, std::size_t max_bytes, bool quoted = false);

// The longest message of a run that stops, after readable_text.
inline constexpr std::size_t max_message_bytes = 1000;

struct Scenario {
    std::string name;  // "name", or else made from the file's stem
    ComponentTable rows = factory_table();
    SimulationSettings settings;
    std::optional<int> replicates;  // as the file gives it
    std::optional<Detector> detector;  // "detector", when given and not empty
    std::optional<SuiteLabel> suite;  // "suite": {"name", "version", "series", "level"}
};

// One scenario of a file, or why it cannot be run.
struct ScenarioEntry {
    std::string name;  // for messages: the scenario's name, or where it stands
    std::optional<Scenario> scenario;
    std::string error;
};

// A file's scenarios in file order, or why none of them can be read (a
// malformed file, with its line and column).
struct ScenarioFile {
    std::string error;
    std::vector<ScenarioEntry> entries;
};

// Reads the text of a scenario file, which holds one scenario object or a
// list of them. stem names the scenarios that have no "name": the stem
// itself for a file of one scenario, stem-2 for the second of a list.
ScenarioFile read_scenarios(std::string_view text, std::string_view stem);

// Reads the file at path, its stem naming unnamed scenarios.
ScenarioFile read_scenario_file(const std::string& path);

// One scenario from a parsed JSON value; throws ScenarioError when it is
// not a valid scenario. default_name is used when it has no "name".
Scenario scenario_from_json(const nlohmann::json& value, const std::string& default_name);

class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The rows and settings in the scenario form, every field written out, so
// that reading the result gives the same records.
nlohmann::ordered_json rows_json(const ComponentTable& rows);
nlohmann::ordered_json settings_json(const SimulationSettings& settings);
nlohmann::ordered_json suite_json(const SuiteLabel& suite);

// The names of the enumerations as scenario files spell them.
const char* name_of(EfficiencyChoice value);
const char* name_of(PeakModel value);
const char* name_of(BaselineShape value);
const char* name_of(NoiseKind value);

// Every peak model in the enumeration's order.
std::vector<PeakModel> peak_models();

}  // namespace elutrix::generate
