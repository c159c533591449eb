#include "engine/inputs.h"

#include <bit>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

namespace {

// The product a b exactly, as hi + lo (Dekker's product: no fused
// multiply-add is assumed).
void exact_product(double a, double b, double& hi, double& lo) {
    constexpr double split = 134217729.0;  // 2^27 + 1
    hi = a * b;
    double t = split * a;
    const double ah = t - (t - a);
    const double al = a - ah;
    t = split * b;
    const double bh = t - (t - b);
    const double bl = b - bh;
    lo = ((ah * bh - hi) + ah * bl + al * bh) + al * bl;
}

// The general form with 15 significant digits of a value of magnitude 1e-4
// to 1e15, exactly as std::to_chars writes it, in about half its time: the
// value times 10^(14 - X) is formed exactly as a double-double and rounded
// to a whole number, half to even, by comparing its parts. nullptr for a
// value outside that range, which to_chars writes.
char* put_fixed_15(char* out, double value) {
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    static constexpr char pairs[] =
        "0001020304050607080910111213141516171819202122232425262728293031323334353637383940414243444546474849"
        "5051525354555657585960616263646566676869707172737475767778798081828384858687888990919293949596979899";
    constexpr std::uint64_t lowest = 100000000000000ULL;  // 10^14
    const double a = std::fabs(value);
    if (!(a >= 1e-4 && a < 1e15)) return nullptr;
    const int e2 = static_cast<int>((std::bit_cast<std::uint64_t>(a) >> 52) & 0x7ff) - 1023;
    int x = (e2 * 78913) >> 18;  // floor(e2 log10(2)): X or one off
    for (int tries = 0; tries < 3; ++tries) {
        const int k = 14 - x;
        if (k < 0 || k > 22) return nullptr;
        double hi = 0.0;
        double lo = 0.0;
        exact_product(a, powers[k], hi, lo);
        const double whole = std::floor(hi);
        const double f = hi - whole;  // exact
        auto n = static_cast<std::uint64_t>(whole);
        // hi + lo lies above whole + 1/2 when f does (f is a multiple of
        // hi's ulp and |lo| at most half of it), or f is 1/2 and lo > 0.
        if (f > 0.5 || (f == 0.5 && (lo > 0.0 || (lo == 0.0 && (n & 1) != 0)))) ++n;
        if (n < lowest) {
            --x;
            continue;
        }
        if (n >= 10 * lowest) {
            if (n != 10 * lowest) {
                ++x;
                continue;
            }
            n = lowest;  // rounded up to the next power of ten
            ++x;
        }
        if (x < -4 || x >= 15) return nullptr;
        char digits[16];
        auto low = static_cast<std::uint32_t>(n % 100000000u);
        auto high = static_cast<std::uint32_t>(n / 100000000u);
        for (int i = 14; i >= 8; i -= 2) {
            std::memcpy(digits + i - 1, pairs + 2 * (low % 100), 2);
            low /= 100;
        }
        for (int i = 6; i >= 1; i -= 2) {
            std::memcpy(digits + i - 1, pairs + 2 * (high % 100), 2);
            high /= 100;
        }
        digits[0] = static_cast<char>('0' + high);
        int last = 14;
        while (last > 0 && digits[last] == '0') --last;
        if (value < 0) *out++ = '-';
        if (x >= 0) {
            for (int i = 0; i <= x; ++i) *out++ = digits[i];
            if (last > x) {
                *out++ = '.';
                for (int i = x + 1; i <= last; ++i) *out++ = digits[i];
            }
        } else {
            *out++ = '0';
            *out++ = '.';
            for (int i = 0; i < -x - 1; ++i) *out++ = '0';
            for (int i = 0; i <= last; ++i) *out++ = digits[i];
        }
        return out;
    }
    return nullptr;
}

}  // namespace

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
    if (char* end = put_fixed_15(out, value)) return end;
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
