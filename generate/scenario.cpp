#include "generate/scenario.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <new>
#include <set>
#include <span>

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

// Keys longer than this get no "did you mean": the known keys are short.
constexpr std::size_t max_suggested_key = 64;

// A text as a JSON string, quoted and escaped (control characters, NUL
// included, as \u0000), cut short at a character boundary when long.
std::string in_quotes(std::string_view text) { return readable_text(text, 60, true); }

// A JSON value as it stands in the file, cut short when long. Values are at
// most max_scenario_depth deep, so writing one out cannot exhaust the stack.
std::string shown(const json& value) {
    if (value.is_string()) return readable_text(value.get_ref<const std::string&>(), 40, true);
    return readable_text(value.dump(-1, ' ', false, json::error_handler_t::replace), 40, false);
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
        // A key far longer than every known one is near none of them; the
        // distance is not worked out for it.
        for (const char* k : key.size() > max_suggested_key ? std::span<const char* const>() : known) {
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
    if (name.empty() || name == "." || name == ".." || name.size() > max_name_bytes) return false;
    return std::none_of(name.begin(), name.end(), [](char c) { return c == '/' || (c >= 0 && c < 0x20) || c == 0x7F; });
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
                path += (path.empty() ? "" : ".") + readable_text(f.key, 60);
            }
        }
        return (path.empty() ? std::string("at the top level") : "in " + path) + scenario;
    }

    std::vector<Frame> frames_;
    std::string found_;
};

// "line 3, column 7" of the 0-based byte offset at.
std::string line_and_column(std::string_view text, std::size_t at) {
    at = std::min(at, text.size());
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + at, '\n'));
    const std::size_t line_start = at == 0 ? std::string_view::npos : text.rfind('\n', at - 1);
    const std::size_t column = line_start == std::string_view::npos ? at + 1 : at - line_start;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// The reason of a parser message, without its "[json.exception...] parse
// error at ...: " opening, as messages show it (the parser quotes what it
// last read, which may be long or not UTF-8).
std::string reason_of(const std::string& what) {
    const std::size_t colon = what.find(": ");
    const std::size_t bracket = what.starts_with("[json.exception") ? what.find("] ") : std::string::npos;
    const std::size_t from = colon != std::string::npos ? colon + 2 : bracket != std::string::npos ? bracket + 2 : 0;
    return readable_text(std::string_view(what).substr(from), 200);
}

// Follows a JSON text byte by byte, telling the bytes inside its strings
// (their quotes included) from those outside.
class JsonStrings {
public:
    bool outside(char c) {
        if (in_string_) {
            if (escaped_) {
                escaped_ = false;
            } else if (c == '\\') {
                escaped_ = true;
            } else if (c == '"') {
                in_string_ = false;
            }
            return false;
        }
        in_string_ = c == '"';
        return !in_string_;
    }

private:
    bool in_string_ = false;
    bool escaped_ = false;
};

// What the parser does not check: a NUL byte (which it takes for the end of
// the text) and nesting deeper than max_scenario_depth, found by one pass
// over the bytes. The message and the byte offset of the first, or an empty
// message.
std::pair<std::string, std::size_t> unparsable_bytes(std::string_view text) {
    JsonStrings strings;
    int depth = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\0') return {"a NUL byte, which no JSON text holds", i};
        if (!strings.outside(c)) continue;
        if (c == '[' || c == '{') {
            if (++depth > max_scenario_depth) {
                return {"too deeply nested: more than " + std::to_string(max_scenario_depth) +
                            " levels of lists and objects",
                        i};
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return {};
}

// The byte offset of the first number outside strings that is spelt as
// token, or npos.
std::size_t number_at(std::string_view text, std::string_view token) {
    JsonStrings strings;
    const auto digits = [&text](std::size_t i) {
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        return i;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!strings.outside(c)) continue;
        if (c == '-' || (c >= '0' && c <= '9')) {
            // The number as the parser reads it: -, digits, a fraction, an exponent.
            std::size_t end = digits(c == '-' ? i + 1 : i);
            if (end < text.size() && text[end] == '.') end = digits(end + 1);
            if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
                ++end;
                if (end < text.size() && (text[end] == '+' || text[end] == '-')) ++end;
                end = digits(end);
            }
            if (text.substr(i, end - i) == token) return i;
            i = std::max(i, end - 1);
        }
    }
    return std::string_view::npos;
}

// A record makes its one run again, with the seed its settings hold; its
// "seed", "replicate" and "replicates" say what that run was, and must
// agree with it, so that an edit of them is not silently left unused.
void check_record(const json& record) {
    const auto whole = [](const json& v) { return v.is_number_integer() || v.is_number_unsigned(); };
    long long replicates = 1;
    if (const auto it = record.find("replicates"); it != record.end()) {
        if (!whole(*it) || it->get<long long>() < 1 || it->get<long long>() > max_replicates) {
            fail("\"replicates\" of a run's record must be a whole number from 1 to " + std::to_string(max_replicates) +
                 ", not " + shown(*it));
        }
        replicates = it->get<long long>();
    }
    if (const auto it = record.find("replicate"); it != record.end()) {
        if (!whole(*it) || it->get<long long>() < 1 || it->get<long long>() > replicates) {
            fail("\"replicate\" of a run's record must be a whole number from 1 to its \"replicates\" (" +
                 std::to_string(replicates) + "), not " + shown(*it) +
                 ". A record makes its one run again; --replicates makes replicates of it");
        }
    }
    const auto seed = record.find("seed");
    if (seed == record.end() || seed->is_null()) return;  // null: the run's seed was not a finite number
    const auto settings = record.find("settings");
    const bool in_settings = settings != record.end() && settings->is_object() && settings->contains("seed");
    const json settings_seed = in_settings ? (*settings)["seed"] : json(SimulationSettings{}.seed);
    const bool agree = seed->is_number() && (settings_seed.is_string() || settings_seed.is_number()) &&
                       (settings_seed.is_string() ? text_value(settings_seed.get<std::string>())
                                                  : settings_seed.get<double>()) == seed->get<double>();
    if (!agree) {
        fail("the record's \"seed\" (" + shown(*seed) + ") is not the seed in its settings (" + shown(settings_seed) +
             "): a record makes its run again with the seed in its settings. Give the seed there alone (or "
             "make both the same)");
    }
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

std::string readable_text(std::string_view text, std::size_t max_bytes, bool quoted) {
    std::string out = quoted ? "\"" : "";
    std::size_t cut = 0;  // where the text is cut when too long: after the last unit that leaves room for "..."
    const auto put = [&](std::string_view unit) {
        out += unit;
        if (out.size() + 3 <= max_bytes) cut = out.size();
    };
    for (std::size_t i = 0; i < text.size() && out.size() <= max_bytes;) {
        const auto c = static_cast<unsigned char>(text[i]);
        // The length of the UTF-8 sequence c begins, 0 when it begins none.
        const std::size_t length = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3
                                                                             : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && length >= 3) {
            // No overlong forms, no surrogates, nothing beyond U+10FFFF.
            const auto second = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xE0 && second < 0xA0) && !(c == 0xED && second > 0x9F) && !(c == 0xF0 && second < 0x90) &&
                    !(c == 0xF4 && second > 0x8F);
        }
        if (!valid) {
            put("\xEF\xBF\xBD");
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7F) {
            static const char* const names[] = {"\\b", "\\t", "\\n", "", "\\f", "\\r"};
            char escaped[8];
            if (c >= 8 && c <= 13 && c != 11) {
                put(names[c - 8]);
            } else {
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                put(escaped);
            }
        } else if (quoted && (c == '"' || c == '\\')) {
            put(c == '"' ? "\\\"" : "\\\\");
        } else {
            put(text.substr(i, length));
        }
        i += length;
    }
    if (quoted) out += '"';
    if (out.size() <= max_bytes) return out;
    out.resize(cut);
    return out + "...";
}

const char* name_of(EfficiencyChoice value) { return enum_name(value); }
const char* name_of(PeakModel value) { return enum_name(value); }
const char* name_of(BaselineShape value) { return enum_name(value); }
const char* name_of(NoiseKind value) { return enum_name(value); }

std::vector<PeakModel> peak_models() {
    std::vector<PeakModel> models;
    for (const EnumName<PeakModel>& entry : model_names) models.push_back(entry.value);
    return models;
}

Scenario scenario_from_json(const json& value, const std::string& default_name) {
    if (!value.is_object()) fail("a scenario must be a JSON object, not " + shown(value));
    // A run's record makes its run again: one run of its name, rows and
    // settings; what the run computed is left aside.
    if (const auto it = value.find("program"); it != value.end() && *it == record_program) {
        check_keys(value, record_keys, Place::top());
        check_record(value);
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
            fail("\"name\" must be a text that can begin a file name (not empty, at most " +
                 std::to_string(max_name_bytes) + " bytes, no \"/\" or control characters, not \".\" or \"..\"), not " +
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

namespace {

ScenarioFile read_scenarios_of(std::string_view text, std::string_view stem) {
    ScenarioFile file;
    json document;
    DuplicateKeys duplicates;
    if (const auto [problem, at] = unparsable_bytes(text); !problem.empty()) {
        file.error = "malformed JSON at " + line_and_column(text, at) + ": " + problem;
        return file;
    }
    try {
        document = json::parse(text.begin(), text.end(), std::ref(duplicates));
    } catch (const json::parse_error& error) {
        file.error = "malformed JSON at " + line_and_column(text, error.byte == 0 ? 0 : error.byte - 1) + ": " +
                     reason_of(error.what());
        return file;
    } catch (const json::exception& error) {
        // A number beyond the range of a double: the parser names it but not
        // where it stands, so the first number spelt so is shown.
        const std::string what = error.what();
        std::string message = "malformed JSON: " + reason_of(what);
        const std::size_t open = what.find('\'');
        const std::size_t close = what.rfind('\'');
        if (open != std::string::npos && close > open) {
            const std::size_t at = number_at(text, std::string_view(what).substr(open + 1, close - open - 1));
            if (at != std::string_view::npos) message += " at " + line_and_column(text, at);
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

}  // namespace

ScenarioFile read_scenarios(std::string_view text, std::string_view stem) {
    try {
        return read_scenarios_of(text, stem);
    } catch (const std::bad_alloc&) {
        ScenarioFile file;
        file.error = "cannot be read: there is not enough memory to read it";
        return file;
    }
}

ScenarioFile read_scenario_file(const std::string& path) {
    ScenarioFile file;
    const auto failed = [&file](const std::string& why) {
        file.error = why;
        return file;
    };
    const auto unreadable = [&failed](int error) { return failed("cannot be read: " + std::string(std::strerror(error))); };
    if (path.find('\0') != std::string::npos) return failed("cannot be read: the path holds a NUL character");
    // Not blocking: a FIFO without a writer would hold the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return unreadable(errno);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) return unreadable(errno);
    if (S_ISDIR(info.st_mode)) return unreadable(EISDIR);
    if (!S_ISREG(info.st_mode)) return failed("cannot be read: it is not a regular file (a pipe, a device or a socket)");
    const auto too_large = [&failed] {
        return failed("cannot be read: it is larger than " + std::to_string(max_scenario_file_bytes >> 20) +
                      " MiB, the most a scenario file may hold");
    };
    if (static_cast<std::uintmax_t>(info.st_size) > max_scenario_file_bytes) return too_large();
    std::string text;
    try {
        // The size may change while the file is read: one byte more than the
        // limit is asked for, to see a file that has grown past it.
        text.resize(static_cast<std::size_t>(info.st_size) + 1);
        std::size_t size = 0;
        for (;;) {
            if (size == text.size()) {
                if (size > max_scenario_file_bytes) return too_large();
                text.resize(std::min(2 * size, max_scenario_file_bytes + 1));
            }
            const ssize_t got = ::read(fd, text.data() + size, text.size() - size);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return unreadable(errno);
            if (got == 0) break;
            size += static_cast<std::size_t>(got);
        }
        text.resize(size);
        return read_scenarios(text, std::filesystem::path(path).stem().string());
    } catch (const std::bad_alloc&) {
        return failed("cannot be read: there is not enough memory to read it");
    }
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
