#include "engine/inputs.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace elutrix {

namespace {

bool skipped_inside_number(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// strtod in the "C" locale, whatever locale the program runs under.
double parse_c_locale(const std::string& clean) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return strtod_l(clean.c_str(), nullptr, c_locale);
}

}  // namespace

double text_value(std::string_view text) {
    // Gather the characters of the leading number, without the skipped
    // blanks, into a plain C-locale number text.
    std::string clean;
    std::size_t pos = 0;
    auto next = [&]() -> char {
        while (pos < text.size() && skipped_inside_number(text[pos])) ++pos;
        return pos < text.size() ? text[pos] : '\0';
    };
    char c = next();
    if (c == '+' || c == '-') {
        clean += c;
        ++pos;
        c = next();
    }
    bool any_digit = false;
    while (is_digit(c)) {
        clean += c;
        any_digit = true;
        ++pos;
        c = next();
    }
    if (c == '.') {
        clean += c;
        ++pos;
        c = next();
        while (is_digit(c)) {
            clean += c;
            any_digit = true;
            ++pos;
            c = next();
        }
    }
    if (!any_digit) return 0.0;
    if (c == 'e' || c == 'E') {
        std::string exponent = "e";
        ++pos;
        c = next();
        if (c == '+' || c == '-') {
            exponent += c;
            ++pos;
            c = next();
        }
        bool exponent_digit = false;
        while (is_digit(c)) {
            exponent += c;
            exponent_digit = true;
            ++pos;
            c = next();
        }
        // An exponent letter without digits ends the number before it.
        if (exponent_digit) clean += exponent;
    }
    return parse_c_locale(clean);
}

char* put_number(char* out, double value) {
    if (value == 0.0) {  // also -0
        *out = '0';
        return out + 1;
    }
    // Rounded to 15 digits, the doubles above this would be written as
    // 1.79769313486232e+308, which reads back as infinity: they are written
    // as the largest 15-digit number that reads back.
    constexpr double largest_readable = 1.79769313486231e308;
    if (std::isfinite(value) && std::fabs(value) > largest_readable) value = std::copysign(largest_readable, value);
    return std::to_chars(out, out + number_text_room, value, std::chars_format::general, 15).ptr;
}

std::string value_text(double value) {
    char buffer[number_text_room];
    return std::string(buffer, put_number(buffer, value));
}

BaselineSettings read_baseline(const SimulationSettings& settings) {
    return {settings.baseline_shape, settings.linear_down, settings.quad_down,
            text_value(settings.baseline_percentage)};
}

ComponentTable factory_table() {
    ComponentTable rows;
    rows[0].enabled = true;
    rows[0].retention_time = "1";
    rows[0].relative_response = "1.00";
    rows[0].plates = "10000";
    rows[0].tau = "1";
    return rows;
}

void apply_efficiency(ComponentTable& rows, const SimulationSettings& settings) {
    for (ComponentRow& row : rows) {
        const double r = text_value(row.relative_response);
        const double s = text_value(row.resolution);
        // A row with only a resolution qualifies: its response is supplied
        // when its retention time is derived.
        const bool qualifies = (r != 0.0 || s != 0.0) && row.enabled;
        if (!qualifies) continue;
        switch (settings.efficiency) {
        case EfficiencyChoice::lc: row.plates = std::to_string(lc_plates); break;
        case EfficiencyChoice::gc: row.plates = std::to_string(gc_plates); break;
        case EfficiencyChoice::custom: row.plates = settings.custom_plates; break;
        case EfficiencyChoice::custom_individual: break;
        }
    }
}

}  // namespace elutrix
