#include "generate/scenario.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <span>
#include <sstream>

namespace elutrix::generate {

using nlohmann::json;

namespace {

// ---------------------------------------------------------------- names

template <class E>
struct EnumName {
    E value;
    const char* name;
};

constexpr EnumName<EfficiencyChoice> efficiency_names[] = {{EfficiencyChoice::lc, "lc"},
                                                           {EfficiencyChoice::gc, "gc"},
                                                           {EfficiencyChoice::custom, "custom"},
                                                           {EfficiencyChoice::custom_individual, "custom_individual"}};
constexpr EnumName<PeakModel> model_names[] = {
    {PeakModel::Gaussian, "Gaussian"},
    {PeakModel::ExponentiallyModifiedGaussian, "ExponentiallyModifiedGaussian"},
    {PeakModel::ExactExponentiallyModifiedGaussian, "ExactExponentiallyModifiedGaussian"},
    {PeakModel::ExponentialGaussianHybrid, "ExponentialGaussianHybrid"}};
constexpr EnumName<BaselineShape> shape_names[] = {
    {BaselineShape::flat, "flat"}, {BaselineShape::linear, "linear"}, {BaselineShape::quad, "quad"}};
constexpr EnumName<NoiseKind> noise_names[] = {
    {NoiseKind::omit, "omit"}, {NoiseKind::random, "random"}, {NoiseKind::random_walk, "random_walk"}};

std::span<const EnumName<EfficiencyChoice>> names(EfficiencyChoice) { return efficiency_names; }
std::span<const EnumName<PeakModel>> names(PeakModel) { return model_names; }
std::span<const EnumName<BaselineShape>> names(BaselineShape) { return shape_names; }
std::span<const EnumName<NoiseKind>> names(NoiseKind) { return noise_names; }

template <class E>
const char* enum_name(E value) {
    for (const EnumName<E>& entry : names(value))
        if (entry.value == value) return entry.name;
    return "?";
}

// ---------------------------------------------------------------- messages

std::string in_quotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

// A JSON value as it stands in the file, cut short when long.
std::string shown(const json& value) {
    std::string text = value.dump();
    if (text.size() > 40) text = text.substr(0, 37) + "...";
    return text;
}

std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Where a value stands, for messages: "at the top level", "in settings",
// "in rows[2] (row 3)".
struct Place {
    std::string text;
    static Place top() { return {"at the top level"}; }
    static Place settings() { return {"in settings"}; }
    static Place row(std::size_t i) {
        return {"in rows[" + std::to_string(i) + "] (row " + std::to_string(i + 1) + ")"};
    }
};

[[noreturn]] void fail(const std::string& message) { throw ScenarioError(message); }

// Every key of the object must be one of the known keys.
void check_keys(const json& object, std::span<const char* const> known, const Place& place) {
    for (const auto& item : object.items()) {
        const std::string& key = item.key();
        if (std::find_if(known.begin(), known.end(), [&](const char* k) { return key == k; }) != known.end()) continue;
        std::string message = "unknown key " + in_quotes(key) + " " + place.text;
        const char* nearest = nullptr;
        std::size_t best = std::max<std::size_t>(2, key.size() / 3) + 1;
        for (const char* k : known) {
            const std::size_t d = edit_distance(key, k);
            if (d < best) {
                best = d;
                nearest = k;
            }
        }
        if (nearest) message += " (did you mean " + in_quotes(nearest) + "?)";
        fail(message);
    }
}

// ---------------------------------------------------------------- values

// A text field: a string as it stands, or a number as value_text writes it.
std::string text_of(const json& value, const std::string& key, const Place& place) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_number()) return value_text(value.get<double>());
    fail(in_quotes(key) + " " + place.text + " must be a text or a number, not " + shown(value));
}

bool flag_of(const json& value, const std::string& key, const Place& place) {
    if (value.is_boolean()) return value.get<bool>();
    fail(in_quotes(key) + " " + place.text + " must be true or false, not " + shown(value));
}

template <class E>
E enum_of(const json& value, const std::string& key, const Place& place) {
    std::string choices;
    for (const EnumName<E>& entry : names(E{})) {
        if (value.is_string() && value.get<std::string>() == entry.name) return entry.value;
        choices += (choices.empty() ? "" : ", ") + in_quotes(entry.name);
    }
    fail(in_quotes(key) + " " + place.text + " must be one of " + choices + ", not " + shown(value));
}

// ---------------------------------------------------------------- fields

// One field of a record: a text, a flag, or an enumeration read and written
// through a pair of functions.
template <class Record>
struct Field {
    const char* key;
    std::string Record::* text = nullptr;
    bool Record::* flag = nullptr;
    void (*read_enum)(const json&, Record&, const std::string&, const Place&) = nullptr;
    const char* (*write_enum)(const Record&) = nullptr;
};

template <class E, E SimulationSettings::* Member>
void read_enum_field(const json& value, SimulationSettings& s, const std::string& key, const Place& place) {
    s.*Member = enum_of<E>(value, key, place);
}

template <class E, E SimulationSettings::* Member>
const char* write_enum_field(const SimulationSettings& s) {
    return enum_name(s.*Member);
}

template <class E, E SimulationSettings::* Member>
constexpr Field<SimulationSettings> enum_field(const char* key) {
    return {key, nullptr, nullptr, &read_enum_field<E, Member>, &write_enum_field<E, Member>};
}

using S = SimulationSettings;
const Field<S> settings_fields[] = {
    enum_field<EfficiencyChoice, &S::efficiency>("efficiency"),
    {"custom_plates", &S::custom_plates},
    enum_field<PeakModel, &S::peak_model>("peak_model"),
    {"constant_bandwidth", nullptr, &S::constant_bandwidth},
    {"void_minutes", &S::void_minutes},
    {"sampling_rate", &S::sampling_rate},
    enum_field<BaselineShape, &S::baseline_shape>("baseline_shape"),
    {"linear_down", nullptr, &S::linear_down},
    {"quad_down", nullptr, &S::quad_down},
    {"baseline_percentage", &S::baseline_percentage},
    enum_field<NoiseKind, &S::noise_kind>("noise_kind"),
    {"level_by_s_to_n", nullptr, &S::level_by_s_to_n},
    {"level_by_value", nullptr, &S::level_by_value},
    {"s_to_n_percent", &S::s_to_n_percent},
    {"s_to_n_value", &S::s_to_n_value},
    {"use_seed", nullptr, &S::use_seed},
    {"seed", &S::seed},
};

using R = ComponentRow;
const Field<R> row_fields[] = {
    {"enabled", nullptr, &R::enabled},        {"retention_time", &R::retention_time},
    {"relative_response", &R::relative_response}, {"plates", &R::plates},
    {"tau", &R::tau},                         {"resolution", &R::resolution},
};

template <class Record, std::size_t N>
std::vector<const char*> keys_of(const Field<Record> (&fields)[N]) {
    std::vector<const char*> keys;
    for (const Field<Record>& f : fields) keys.push_back(f.key);
    return keys;
}

// Reads the fields the object gives into record; the others keep their values.
template <class Record, std::size_t N>
void read_fields(const json& object, const Field<Record> (&fields)[N], Record& record, const Place& place) {
    check_keys(object, keys_of(fields), place);
    for (const Field<Record>& f : fields) {
        const auto it = object.find(f.key);
        if (it == object.end()) continue;
        if (f.text) record.*f.text = text_of(*it, f.key, place);
        if (f.flag) record.*f.flag = flag_of(*it, f.key, place);
        if (f.read_enum) f.read_enum(*it, record, f.key, place);
    }
}

template <class Record, std::size_t N>
nlohmann::ordered_json write_fields(const Record& record, const Field<Record> (&fields)[N]) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const Field<Record>& f : fields) {
        if (f.text) out[f.key] = record.*f.text;
        if (f.flag) out[f.key] = record.*f.flag;
        if (f.write_enum) out[f.key] = f.write_enum(record);
    }
    return out;
}

// ---------------------------------------------------------------- scenario

constexpr const char* top_keys[] = {"name", "replicates", "seed", "rows", "settings", "detector", "suite"};
constexpr const char* suite_keys[] = {"name", "version", "series", "level"};
// A run's record (NAME.json) holds these; its rows and settings, after the
// run's write-backs, hold every input, the seed included.
constexpr const char* record_keys[] = {"program",     "version",     "name",          "replicate", "replicates",
                                       "seed",        "seed_drawn",  "point_count",   "time_step_s",
                                       "time_step_min", "noise",     "rows",          "settings",
                                       "detector",      "detector_realised", "suite"};
constexpr const char* record_program = "elutrix-generate";

// A name that can begin a file name in the output folder.
bool usable_name(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    return std::none_of(name.begin(), name.end(), [](char c) { return c == '/' || c == '\0'; });
}

std::string given_name(const json& value) {
    if (!value.is_object()) return {};
    const auto it = value.find("name");
    if (it == value.end() || !it->is_string() || !usable_name(it->get<std::string>())) return {};
    return it->get<std::string>();
}

// Duplicate keys would leave all but the last silently unused: they are
// found while parsing, with the object they stand in.
class DuplicateKeys {
public:
    bool operator()(int, json::parse_event_t event, json& parsed) {
        switch (event) {
        case json::parse_event_t::object_start: frames_.emplace_back().array = false; break;
        case json::parse_event_t::array_start: frames_.emplace_back().array = true; break;
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            frames_.pop_back();
            element_done();
            break;
        case json::parse_event_t::key: {
            Frame& frame = frames_.back();
            frame.key = parsed.get<std::string>();
            if (!frame.keys.insert(frame.key).second && found_.empty()) {
                found_ = "the key " + in_quotes(frame.key) + " appears twice " + place();
            }
            break;
        }
        case json::parse_event_t::value: element_done(); break;
        }
        return true;
    }
    const std::string& found() const { return found_; }

private:
    struct Frame {
        bool array = false;
        std::size_t index = 0;  // of the element being read, in an array
        std::string key;        // being read, in an object
        std::set<std::string> keys;
    };

    void element_done() {
        if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
    }

    // Where the innermost object stands: "in rows[0] of scenario 2".
    std::string place() const {
        std::string path;
        std::string scenario;
        const std::size_t inner = frames_.size() - 1;
        for (std::size_t i = 0; i < inner; ++i) {
            const Frame& f = frames_[i];
            if (f.array && i == 0) {
                scenario = " of scenario " + std::to_string(f.index + 1);
            } else if (f.array) {
                path += "[" + std::to_string(f.index) + "]";
            } else {
                path += (path.empty() ? "" : ".") + f.key;
            }
        }
        return (path.empty() ? std::string("at the top level") : "in " + path) + scenario;
    }

    std::vector<Frame> frames_;
    std::string found_;
};

// "line 3, column 7" of the 1-based byte position of a parse error.
std::string line_and_column(std::string_view text, std::size_t byte) {
    const std::size_t at = std::min(byte == 0 ? 0 : byte - 1, text.size());
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + at, '\n'));
    const std::size_t line_start = text.rfind('\n', at == 0 ? std::string_view::npos : at - 1);
    const std::size_t column = line_start == std::string_view::npos ? at + 1 : at - line_start;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// The reason of a parser message, without its "[json.exception...] parse
// error at ...: " opening.
std::string reason_of(const std::string& what) {
    const std::size_t colon = what.find(": ");
    return colon == std::string::npos ? what : what.substr(colon + 2);
}

// "suite": {"name": text, "version": text, "series": text, "level": number},
// every member required.
SuiteLabel suite_from_json(const json& value) {
    const Place place{"in suite"};
    if (!value.is_object()) fail("\"suite\" must be an object, not " + shown(value));
    check_keys(value, suite_keys, place);
    SuiteLabel suite;
    for (const auto& [key, member] : {std::pair{"name", &suite.name}, std::pair{"version", &suite.version},
                                      std::pair{"series", &suite.series}}) {
        const auto it = value.find(key);
        if (it == value.end() || !it->is_string() || it->get<std::string>().empty()) {
            fail(in_quotes(key) + " " + place.text + " must be a text that is not empty" +
                 (it == value.end() ? std::string(", and it is missing") : ", not " + shown(*it)));
        }
        *member = it->get<std::string>();
    }
    const auto level = value.find("level");
    if (level == value.end() || !level->is_number() || !std::isfinite(level->get<double>())) {
        fail("\"level\" " + place.text + " must be a finite number" +
             (level == value.end() ? std::string(", and it is missing") : ", not " + shown(*level)));
    }
    suite.level = level->get<double>();
    return suite;
}

}  // namespace

const char* name_of(EfficiencyChoice value) { return enum_name(value); }
const char* name_of(PeakModel value) { return enum_name(value); }
const char* name_of(BaselineShape value) { return enum_name(value); }
const char* name_of(NoiseKind value) { return enum_name(value); }

Scenario scenario_from_json(const json& value, const std::string& default_name) {
    if (!value.is_object()) fail("a scenario must be a JSON object, not " + shown(value));
    // A run's record makes its run again: one run of its name, rows and
    // settings; what the run computed is left aside.
    if (const auto it = value.find("program"); it != value.end() && *it == record_program) {
        check_keys(value, record_keys, Place::top());
        json scenario = json::object();
        for (const char* key : {"name", "rows", "settings", "detector", "suite"}) {
            if (const auto field = value.find(key); field != value.end()) scenario[key] = *field;
        }
        return scenario_from_json(scenario, default_name);
    }
    check_keys(value, top_keys, Place::top());
    Scenario scenario;
    scenario.name = default_name;

    if (const auto it = value.find("name"); it != value.end()) {
        if (!it->is_string() || !usable_name(it->get<std::string>())) {
            fail("\"name\" must be a text that can begin a file name (not empty, no \"/\", not \".\" or \"..\"), not " +
                 shown(*it));
        }
        scenario.name = it->get<std::string>();
    }
    if (const auto it = value.find("replicates"); it != value.end()) {
        const bool whole = it->is_number_integer() || it->is_number_unsigned();
        if (!whole || it->get<long long>() < 1 || it->get<long long>() > max_replicates) {
            fail("\"replicates\" must be a whole number from 1 to " + std::to_string(max_replicates) + ", not " +
                 shown(*it));
        }
        scenario.replicates = static_cast<int>(it->get<long long>());
    }
    if (const auto it = value.find("suite"); it != value.end()) scenario.suite = suite_from_json(*it);
    if (const auto it = value.find("rows"); it != value.end()) {
        if (!it->is_array() || it->size() > static_cast<std::size_t>(component_count)) {
            fail("\"rows\" must be a list of at most " + std::to_string(component_count) + " rows, not " + shown(*it));
        }
        // Rows left out are empty and unchecked; the fields a listed row
        // leaves out keep that row's factory value.
        const ComponentTable factory = factory_table();
        scenario.rows = ComponentTable{};
        for (std::size_t i = 0; i < it->size(); ++i) {
            const json& row = (*it)[i];
            if (!row.is_object()) fail("rows[" + std::to_string(i) + "] must be an object, not " + shown(row));
            scenario.rows[i] = factory[i];
            read_fields(row, row_fields, scenario.rows[i], Place::row(i));
        }
    }
    if (const auto it = value.find("settings"); it != value.end()) {
        if (!it->is_object()) fail("\"settings\" must be an object, not " + shown(*it));
        read_fields(*it, settings_fields, scenario.settings, Place::settings());
    }
    SimulationSettings& s = scenario.settings;
    if (s.level_by_s_to_n && s.level_by_value) {
        fail("\"level_by_s_to_n\" and \"level_by_value\" in settings cannot both be true: they are the two choices "
             "of one option pair (\"S/N   =\" and \"value =\")");
    }
    if (const auto it = value.find("seed"); it != value.end()) {
        const auto settings = value.find("settings");
        for (const char* key : {"seed", "use_seed"}) {
            if (settings != value.end() && settings->contains(key)) {
                fail("\"seed\" at the top level and " + in_quotes(key) +
                     " in settings cannot both be given: the top-level seed stands for \"use_seed\": true with that "
                     "\"seed\"");
            }
        }
        s.use_seed = true;
        s.seed = text_of(*it, "seed", Place::top());
    }
    if (const auto it = value.find("detector"); it != value.end()) {
        Detector detector = detector_from_json(*it);
        if (!detector.empty()) scenario.detector = detector;
    }
    return scenario;
}

ScenarioFile read_scenarios(std::string_view text, std::string_view stem) {
    ScenarioFile file;
    json document;
    DuplicateKeys duplicates;
    try {
        document = json::parse(text.begin(), text.end(), std::ref(duplicates));
    } catch (const json::parse_error& error) {
        file.error = "malformed JSON at " + line_and_column(text, error.byte) + ": " + reason_of(error.what());
        return file;
    } catch (const json::exception& error) {
        // A number beyond the range of a double: the parser names it but not
        // where it stands, so the first occurrence of its text is shown.
        std::string message = "malformed JSON: " + reason_of(error.what());
        const std::size_t open = message.find('\'');
        const std::size_t close = message.rfind('\'');
        if (open != std::string::npos && close > open) {
            const std::size_t at = text.find(message.substr(open + 1, close - open - 1));
            if (at != std::string_view::npos) message += " at " + line_and_column(text, at + 1);
        }
        file.error = message;
        return file;
    }
    if (!duplicates.found().empty()) {
        file.error = duplicates.found();
        return file;
    }

    std::vector<const json*> values;
    if (document.is_object()) {
        values.push_back(&document);
    } else if (document.is_array() && !document.empty()) {
        for (const json& value : document) values.push_back(&value);
    } else {
        file.error = "a scenario file holds one scenario (a JSON object) or a non-empty list of them, not " +
                     shown(document);
        return file;
    }
    for (std::size_t k = 0; k < values.size(); ++k) {
        const std::string default_name =
            values.size() == 1 ? std::string(stem) : std::string(stem) + "-" + std::to_string(k + 1);
        ScenarioEntry entry;
        const std::string name = given_name(*values[k]);
        entry.name = name.empty() ? default_name : name;
        try {
            entry.scenario = scenario_from_json(*values[k], default_name);
        } catch (const ScenarioError& error) {
            entry.error = values.size() == 1 ? error.what()
                                             : "scenario " + std::to_string(k + 1) + ": " + error.what();
        }
        file.entries.push_back(std::move(entry));
    }
    return file;
}

ScenarioFile read_scenario_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    if (!in || in.bad() || std::filesystem::is_directory(path)) {
        ScenarioFile file;
        file.error = "cannot be read";
        return file;
    }
    return read_scenarios(text.str(), std::filesystem::path(path).stem().string());
}

nlohmann::ordered_json rows_json(const ComponentTable& rows) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const ComponentRow& row : rows) out.push_back(write_fields(row, row_fields));
    return out;
}

nlohmann::ordered_json settings_json(const SimulationSettings& settings) {
    return write_fields(settings, settings_fields);
}

nlohmann::ordered_json suite_json(const SuiteLabel& suite) {
    nlohmann::ordered_json out;
    out["name"] = suite.name;
    out["version"] = suite.version;
    out["series"] = suite.series;
    out["level"] = suite.level;
    return out;
}

}  // namespace elutrix::generate
