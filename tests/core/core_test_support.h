// Helpers shared by the core test suites: a picture that records what is
// drawn on it, a short way to write a component row, and text checks.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/inputs.h"
#include "engine/plot.h"

namespace elutrix::testing {

// A PlotSurface that keeps every call in order.
class RecordingSurface : public PlotSurface {
public:
    enum class Kind { cls, scale, pset, line, finish };
    struct Call {
        Kind kind;
        double a = 0.0, b = 0.0, c = 0.0, d = 0.0;
    };

    void cls() override { calls.push_back({Kind::cls}); }
    void scale(double x1, double y1, double x2, double y2) override { calls.push_back({Kind::scale, x1, y1, x2, y2}); }
    void pset(double x, double y) override { calls.push_back({Kind::pset, x, y}); }
    void line(double x, double y) override { calls.push_back({Kind::line, x, y}); }
    void finish() override { calls.push_back({Kind::finish}); }

    std::size_t count(Kind kind) const {
        return static_cast<std::size_t>(
            std::count_if(calls.begin(), calls.end(), [kind](const Call& call) { return call.kind == kind; }));
    }
    const Call* first(Kind kind) const {
        for (const Call& call : calls)
            if (call.kind == kind) return &call;
        return nullptr;
    }
    std::vector<Call> all(Kind kind) const {
        std::vector<Call> out;
        for (const Call& call : calls)
            if (call.kind == kind) out.push_back(call);
        return out;
    }

    std::vector<Call> calls;
};

inline ComponentRow row(bool enabled, std::string retention_time, std::string relative_response = "",
                        std::string plates = "", std::string tau = "", std::string resolution = "") {
    ComponentRow r;
    r.enabled = enabled;
    r.retention_time = std::move(retention_time);
    r.relative_response = std::move(relative_response);
    r.plates = std::move(plates);
    r.tau = std::move(tau);
    r.resolution = std::move(resolution);
    return r;
}

// Settings that leave the plate counts as typed and add no noise or baseline.
inline SimulationSettings plain_settings(std::string sampling_rate = "20") {
    SimulationSettings s;
    s.efficiency = EfficiencyChoice::custom_individual;
    s.sampling_rate = std::move(sampling_rate);
    return s;
}

inline std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

inline bool holds_inf_or_nan(std::string_view text) {
    const std::string l = lower(text);
    return l.find("inf") != std::string::npos || l.find("nan") != std::string::npos;
}

// Whether a sentence shows a value that is not a number: "inf", "infinity"
// or "nan" as a word of its own.
inline bool shows_non_number(std::string_view text) {
    const std::string l = lower(text);
    std::size_t i = 0;
    while (i < l.size()) {
        while (i < l.size() && !std::isalpha(static_cast<unsigned char>(l[i]))) ++i;
        std::size_t j = i;
        while (j < l.size() && std::isalpha(static_cast<unsigned char>(l[j]))) ++j;
        const std::string word = l.substr(i, j - i);
        if (word == "inf" || word == "infinity" || word == "nan") return true;
        i = j;
    }
    return false;
}

// Every text of the table and the settings, each with a name for messages.
inline std::vector<std::pair<std::string, std::string>> all_texts(const ComponentTable& rows,
                                                                  const SimulationSettings& s) {
    std::vector<std::pair<std::string, std::string>> out;
    for (int i = 0; i < component_count; ++i) {
        const std::string n = "row " + std::to_string(i + 1) + " ";
        out.push_back({n + "retention_time", rows[i].retention_time});
        out.push_back({n + "relative_response", rows[i].relative_response});
        out.push_back({n + "plates", rows[i].plates});
        out.push_back({n + "tau", rows[i].tau});
        out.push_back({n + "resolution", rows[i].resolution});
    }
    out.push_back({"custom_plates", s.custom_plates});
    out.push_back({"void_minutes", s.void_minutes});
    out.push_back({"sampling_rate", s.sampling_rate});
    out.push_back({"baseline_percentage", s.baseline_percentage});
    out.push_back({"s_to_n_percent", s.s_to_n_percent});
    out.push_back({"s_to_n_value", s.s_to_n_value});
    out.push_back({"seed", s.seed});
    return out;
}

}  // namespace elutrix::testing
