// Reading numbers from window texts and writing them back.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <locale>
#include <map>
#include <random>
#include <string>

#include <unistd.h>

#include "core_test_support.h"
#include "engine/inputs.h"
#include "engine/placement.h"

#if defined(__SANITIZE_ADDRESS__)
// The C library keeps the search path of a locale loaded through LOCPATH
// until the process ends; that allocation is not the program's.
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }
#endif

namespace elutrix {
namespace {

const double inf = std::numeric_limits<double>::infinity();

struct ReadCase {
    const char* text;
    double expected;
};

TEST(TextValue, ReadsTheLeadingNumber) {
    const ReadCase cases[] = {
        {"1.00", 1.0},
        {"2.5 min", 2.5},
        {" 2.5 min", 2.5},
        {"   7", 7.0},
        {"1e3", 1000.0},
        {"1E3", 1000.0},
        {"1e+3", 1000.0},
        {"1e-3", 0.001},
        {"2.5E-2", 0.025},
        {"-2.5e1", -25.0},
        {"1,5", 1.0},
        {"x1", 0.0},
        {"", 0.0},
        {" ", 0.0},
        {".", 0.0},
        {"-", 0.0},
        {"+", 0.0},
        {"--1", 0.0},
        {"+-1", 0.0},
        {"e5", 0.0},
        {"E", 0.0},
        {"-2.5", -2.5},
        {"+3", 3.0},
        {"- 5", -5.0},
        {".5", 0.5},
        {"5.", 5.0},
        {"-.25", -0.25},
        {"1.2.3", 1.2},
        {"0.1", 0.1},
        {"007", 7.0},
        {"0", 0.0},
        {"-0", 0.0},
        // Blanks, tabs and line breaks inside a number are skipped.
        {"1 2", 12.0},
        {"1\t2", 12.0},
        {"1\n2", 12.0},
        {"1\r\n5", 15.0},
        {"1 . 5", 1.5},
        {"1 e 3", 1000.0},
        {"1e - 3", 0.001},
        {"2 5 min", 25.0},
        // An exponent letter without digits ends the number before it.
        {"1e", 1.0},
        {"1e+", 1.0},
        {"1e-", 1.0},
        {"1ex", 1.0},
        {"2.5E min", 2.5},
        {"1e3e4", 1000.0},
        // Extremes.
        {"1e999", inf},
        {"-1e999", -inf},
        {"1e-320", 1e-320},
        {"1e-400", 0.0},
        {"1e308", 1e308},
        {"123456789012345678901234567890", 123456789012345678901234567890.0},
        {"0.000000000000000000000000000001", 1e-30},
        {"3.14159265358979323846264338327950288", 3.14159265358979323846264338327950288},
    };
    for (const ReadCase& c : cases) {
        EXPECT_EQ(text_value(c.text), c.expected) << "text \"" << c.text << "\"";
    }
}

struct WriteCase {
    double value;
    const char* expected;
};

TEST(ValueText, WritesTheGeneralForm) {
    const WriteCase cases[] = {
        {50.0 / 3.0, "16.6666666666667"},
        {10000.0, "10000"},
        {100000.0, "100000"},
        {1.0, "1"},
        {0.0, "0"},
        {-0.0, "0"},
        {0.5, "0.5"},
        {-2.5, "-2.5"},
        {-50.0 / 3.0, "-16.6666666666667"},
        {2.0 / 3.0, "0.666666666666667"},
        {-1.0 / 3.0, "-0.333333333333333"},
        {0.1 + 0.2, "0.3"},
        {100.5, "100.5"},
        {1234567.891, "1234567.891"},
        {0.001, "0.001"},
        {0.005, "0.005"},
        {123456789012345.0, "123456789012345"},
        {-123456789012345.0, "-123456789012345"},
        {1.0618556701030928, "1.06185567010309"},
        {0.9417475728155339, "0.941747572815534"},
        {1800000.0, "1800000"},
    };
    for (const WriteCase& c : cases) EXPECT_EQ(value_text(c.value), c.expected) << "value " << c.value;
}

// x rounded to 15 significant digits, by the C library.
double rounded_to_15_digits(double x) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.14e", x);
    return std::strtod(buffer, nullptr);
}

int significant_digits(const std::string& text) {
    std::string mantissa = text.substr(0, text.find_first_of("eE"));
    std::string digits;
    for (char c : mantissa)
        if (c >= '0' && c <= '9') digits += c;
    const auto first = digits.find_first_not_of('0');
    return first == std::string::npos ? 0 : static_cast<int>(digits.size() - first);
}

void expect_round_trip(double x) {
    const std::string text = value_text(x);
    const double back = text_value(text);
    const double expected = rounded_to_15_digits(x);
    EXPECT_EQ(back, expected) << "x = " << x << " written \"" << text << "\"";
    EXPECT_LE(significant_digits(text), 15) << text;
    EXPECT_EQ(text.find(','), std::string::npos) << text;
    const std::string mantissa = text.substr(0, text.find_first_of("eE"));
    if (mantissa.find('.') != std::string::npos) {
        EXPECT_NE(mantissa.back(), '0') << "trailing zero in " << text;
        EXPECT_NE(mantissa.back(), '.') << text;
    }
    // Writing what was read back gives the same text, wherever that value is finite.
    if (std::isfinite(expected)) {
        EXPECT_EQ(value_text(back), text) << "x = " << x;
    }
}

TEST(ValueText, ReadsBackOverATable) {
    const double values[] = {1e15,     1e16,     -1e20,     1.5e-7,   1e-5,    0.0001,  1e-300,
                             1e300,    -1e-300,  1e-320,    5e-324,   1e21,    2e-10,   123456789012345678.0,
                             DBL_MIN,  -DBL_MIN, 1.79769313486231e308, 0.1,   1.0 / 7.0, 9.99999999999999e14,
                             9.999999999999999e14, 999999999999999.5, 0.000123456789012345678};
    for (double x : values) {
        expect_round_trip(x);
        expect_round_trip(-x);
    }
}

TEST(ValueText, ReadsBackRandomDoubles) {
    std::mt19937_64 engine(20240611);
    std::uniform_real_distribution<double> exponent(-320.0, 307.9);
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    for (int k = 0; k < 100000; ++k) {
        double x = 0.0;
        if (k % 2 == 0) {
            // Any finite bit pattern.
            do {
                x = std::bit_cast<double>(engine());
            } while (!std::isfinite(x));
        } else {
            x = mantissa(engine) * std::pow(10.0, exponent(engine));
            if (engine() & 1) x = -x;
        }
        if (!std::isfinite(x)) continue;
        expect_round_trip(x);
        if (::testing::Test::HasFailure()) break;
    }
}

// The digits are those of the C library's general form with 15 digits
// (std::to_chars): over values of every kind, near halfway cases (a whole
// number and a half, a quarter past the 14th digit) and the bounds of the
// fixed form (1e-4, 1e15) included.
TEST(ValueText, DigitsAreThoseOfTheGeneralFormWithFifteenDigits) {
    std::mt19937_64 engine(20261210);
    std::uniform_real_distribution<double> exponent(-6.0, 16.0);
    std::map<std::string, int> kinds;
    const auto check = [&](const char* kind, double x) {
        if (!std::isfinite(x) || x == 0.0) return;
        ++kinds[kind];
        char expected[64];
        char* end = std::to_chars(expected, expected + sizeof expected, x, std::chars_format::general, 15).ptr;
        ASSERT_EQ(value_text(x), std::string(expected, end)) << kind << " " << std::bit_cast<std::uint64_t>(x);
    };
    for (double x : {1e-4, std::nextafter(1e-4, 0.0), 9.99999999999999e14, std::nextafter(1e15, 0.0), 0.5, 1.0,
                     99999999999999.95, 0.00099999999999999995}) {
        check("bounds", x);
        check("bounds", -x);
    }
    for (int k = 0; k < 400000; ++k) {
        const double sign = (engine() & 1) ? -1.0 : 1.0;
        switch (k % 5) {
        case 0: check("bit patterns", std::bit_cast<double>(engine())); break;
        case 1: check("magnitudes 1e-6 to 1e16", sign * std::pow(10.0, exponent(engine))); break;
        case 2:
            check("halves above 1e14",
                  sign * (static_cast<double>(100000000000000ULL + engine() % 900000000000000ULL) + 0.5));
            break;
        case 3:
            check("quarters past the 14th digit",
                  sign * (static_cast<double>(10000000000000ULL + engine() % 90000000000000ULL) + 0.25));
            break;
        default: check("noise on a signal", 0.5 + std::ldexp(static_cast<double>(engine() >> 11), -53) * 0.01);
        }
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_EQ(kinds.size(), 6u);
    for (const auto& [kind, count] : kinds) EXPECT_GE(count, 16) << kind;
}

TEST(ValueText, LargestDoublesReadBackFinite) {
    // Rounded to 15 digits these would pass the largest double; what is
    // written must still read back as a number near them.
    for (double x : {DBL_MAX, std::nextafter(DBL_MAX, 0.0), 1.7976931348623155e308}) {
        for (double v : {x, -x}) {
            const std::string text = value_text(v);
            const double back = text_value(text);
            EXPECT_TRUE(std::isfinite(back)) << "\"" << text << "\"";
            EXPECT_NEAR(back / v, 1.0, 1e-14) << "\"" << text << "\"";
            EXPECT_LE(significant_digits(text), 15) << text;
            EXPECT_EQ(value_text(back), text);
        }
    }
}

// Switches the whole process to a locale whose decimal point is a comma for
// the life of the object, generating one with localedef if the system has
// none; restores the "C" locale afterwards.
class CommaLocale {
public:
    CommaLocale() {
        if (select()) return;
        const char* previous = std::getenv("LOCPATH");
        if (previous) saved_locpath_ = previous;
        had_locpath_ = previous != nullptr;
        dir_ = std::filesystem::temp_directory_path() / ("elutrix-locale-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        const std::string command =
            "localedef -i de_DE -f UTF-8 '" + (dir_ / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
        const int rc = std::system(command.c_str());
        if (rc == -1) reason_ = "could not start localedef";
        ::setenv("LOCPATH", dir_.c_str(), 1);
        if (!select() && reason_.empty())
            reason_ = "no locale with a decimal comma is installed and localedef could not make de_DE.UTF-8";
    }
    ~CommaLocale() {
        std::setlocale(LC_ALL, "C");
        std::locale::global(std::locale::classic());
        if (!dir_.empty()) {
            if (had_locpath_) ::setenv("LOCPATH", saved_locpath_.c_str(), 1);
            else ::unsetenv("LOCPATH");
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }
    bool active() const { return !name_.empty(); }
    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }

private:
    bool select() {
        for (const char* candidate : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8",
                                      "es_ES.UTF-8", "it_IT.UTF-8", "ru_RU.UTF-8"}) {
            if (std::setlocale(LC_ALL, candidate) && std::string(std::localeconv()->decimal_point) == ",") {
                try {
                    std::locale::global(std::locale(candidate));
                } catch (const std::runtime_error&) {
                    // The C library knows the locale; the C++ one is optional here.
                }
                std::setlocale(LC_ALL, candidate);
                name_ = candidate;
                return true;
            }
        }
        std::setlocale(LC_ALL, "C");
        return false;
    }

    std::string name_;
    std::string reason_;
    std::filesystem::path dir_;
    std::string saved_locpath_;
    bool had_locpath_ = false;
};

TEST(TextConversion, UseAPeriodUnderACommaLocale) {
    CommaLocale locale;
    if (!locale.active()) GTEST_SKIP() << locale.reason();
    ASSERT_STREQ(std::localeconv()->decimal_point, ",") << locale.name();

    EXPECT_EQ(text_value("2.5"), 2.5);
    EXPECT_EQ(text_value("1,5"), 1.0);
    EXPECT_EQ(text_value("-1.25e1"), -12.5);
    EXPECT_EQ(text_value("2 . 5 min"), 2.5);
    EXPECT_EQ(value_text(2.5), "2.5");
    EXPECT_EQ(value_text(50.0 / 3.0), "16.6666666666667");
    EXPECT_EQ(value_text(-0.005), "-0.005");
    EXPECT_EQ(text_value(value_text(1.5e-7)), 1.5e-7);

    // A run writes its derived values with a period as well.
    ComponentTable rows;
    rows[0] = testing::row(true, "1", "1", "10000");
    rows[1] = testing::row(true, "2", "1", "10000");
    SimulationSettings settings = testing::plain_settings();
    place_peaks(rows, settings);
    EXPECT_EQ(rows[1].resolution, "16.6666666666667");
}

}  // namespace
}  // namespace elutrix
