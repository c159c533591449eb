// Gaussian, resolution, erf, the exponentially modified Gaussian and the
// incomplete gamma functions beneath it, against their reference values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>

#include "models/emg.h"
#include "models/gamma.h"
#include "models/gaussian.h"

namespace elutrix {
namespace {

// A value printed to some digits: the number and half a unit of its last
// printed digit, so that every double that prints the same passes.
struct Printed {
    double value;
    double tolerance;
};

Printed printed(const std::string& text) {
    const auto e = text.find_first_of("eE");
    const std::string mantissa = text.substr(0, e);
    const int exponent = e == std::string::npos ? 0 : std::atoi(text.c_str() + e + 1);
    const auto point = mantissa.find('.');
    const int decimals = point == std::string::npos ? 0 : static_cast<int>(mantissa.size() - point - 1);
    const double value = std::strtod(text.c_str(), nullptr);
    const double magnitude = std::fabs(value);
    const double ulp = std::nextafter(magnitude, std::numeric_limits<double>::infinity()) - magnitude;
    return {value, 0.5 * std::pow(10.0, exponent - decimals) + 2.0 * ulp};
}

#define EXPECT_PRINTS(actual, text)                                            \
    do {                                                                       \
        const Printed p_ = printed(text);                                      \
        EXPECT_NEAR((actual), p_.value, p_.tolerance) << #actual " vs " << (text); \
    } while (0)

// Composite Simpson rule over [a, b] with an even number of steps.
double integrate(const std::function<double(double)>& f, double a, double b, int steps) {
    const double h = (b - a) / steps;
    double sum = f(a) + f(b);
    for (int k = 1; k < steps; ++k) sum += (k % 2 ? 4.0 : 2.0) * f(a + k * h);
    return sum * h / 3.0;
}

TEST(Gaussian, ReferenceValues) {
    EXPECT_PRINTS(gaussian(0, 0, 1), "0.398942280342705");
    EXPECT_PRINTS(gaussian(1, 0, 1), "0.241970724483523");
    EXPECT_PRINTS(gaussian(-1, 0, 1), "0.241970724483523");
    EXPECT_PRINTS(gaussian(61, 60, 1), "0.241970724483523");
}

TEST(Gaussian, CentreFarFieldAndSign) {
    struct Shape {
        double peak, sigma;
    };
    const Shape shapes[] = {{0, 1}, {60, 0.6}, {1, 0.6}, {300, 2.4}, {-5, 3}, {1e6, 1e-3}, {0.5, 1e4}};
    for (const Shape& s : shapes) {
        SCOPED_TRACE(::testing::Message() << "peak " << s.peak << " sigma " << s.sigma);
        // The height is the normalising factor, whatever the unit of x and peak.
        EXPECT_EQ(gaussian(s.peak, s.peak, s.sigma), 1.0 / (s.sigma * 2.506628275));
        EXPECT_EQ(gaussian(s.peak + 1000 * s.sigma, s.peak, s.sigma), 0.0);
        EXPECT_EQ(gaussian(s.peak - 1000 * s.sigma, s.peak, s.sigma), 0.0);
        // A negative sigma gives the negated curve.
        for (double d : {0.0, 0.3, -1.7, 2.0}) {
            const double x = s.peak + d * s.sigma;
            EXPECT_EQ(gaussian(x, s.peak, -s.sigma), -gaussian(x, s.peak, s.sigma));
        }
    }
}

TEST(Gaussian, AreaIsOne) {
    for (double sigma : {0.05, 0.6, 2.4, 30.0}) {
        const double peak = 500.0;
        const double area = integrate([&](double x) { return gaussian(x, peak, sigma); }, peak - 12 * sigma,
                                      peak + 12 * sigma, 4000);
        // The stored root of two pi is short by about 4.6e-10.
        EXPECT_NEAR(area, 1.0, 1e-9) << "sigma " << sigma;
    }
}

TEST(Resolution, ReferenceValues) {
    EXPECT_PRINTS(resolution(1.5, 10000, 1, 0), "1.06185567010309");
    EXPECT_PRINTS(resolution(-1.5, 10000, 1, 0), "0.941747572815534");
    EXPECT_EQ(resolution(0, 10000, 1, 0), 1.0);
    EXPECT_EQ(resolution(0, 2500, 7.25, 0), 7.25);
    // A resolution beyond sqrt(N)/2 gives a negative time, returned as it is.
    EXPECT_NEAR(resolution(60, 10000, 1, 0), -11.0, 1e-12);
}

TEST(Resolution, RecomputedResolutionGivesTheEntryBack) {
    for (double N : {2500.0, 10000.0, 100000.0}) {
        for (double tr : {0.5, 1.0, 7.25}) {
            for (double r : {0.5, 1.5, -1.5, 3.0, -3.0, 10.0, -20.0, 24.0}) {
                const double t = resolution(r, N, tr, 0);
                if (r < 0) {
                    EXPECT_LT(t, tr);
                } else {
                    EXPECT_GT(t, tr);
                }
                const double back = (std::sqrt(N) / 2) * (t - tr) / (t + tr);
                EXPECT_NEAR(back, r, 1e-12 * std::fabs(r) * std::sqrt(N)) << "N " << N << " tr " << tr << " r " << r;
            }
        }
    }
}

TEST(Erf, ReferenceValuesAndOddness) {
    EXPECT_EQ(erf(0.0), 0.0);
    EXPECT_PRINTS(erf(1.0), "0.842700792959251");
    for (double x : {1.0, 0.1, 0.5, 1.2247, 1.2248, 2.0, 3.7, 5.9, 6.5, 27.0}) {
        EXPECT_EQ(erf(-x), -erf(x)) << x;
        // Close to the true error function (the series and the fraction stop at 3e-7).
        EXPECT_NEAR(erf(x), std::erf(x), 1e-7) << x;
    }
}

struct EmgCase {
    double x, peak, sigma, tau;
    const char* expected;
};

TEST(Emg, ReferenceValues) {
    const EmgCase cases[] = {
        {60, 60, 0.6, 1, "0.37049268648"},
        {61, 60, 0.6, 1, "0.42587622433"},
        {59, 60, 0.6, -1, "0.42587622433"},
        {62, 60, 1, 0.1, "0.0736"},
        {60, 60, 1, 0.2, "0.43397"},
    };
    for (const EmgCase& c : cases) EXPECT_PRINTS(emg(c.x, c.peak, c.sigma, c.tau), c.expected);
}

TEST(Emg, NarrowTauBlanksThePeak) {
    struct Zero {
        double x, peak, sigma, tau;
    };
    const Zero zeros[] = {
        // Exponent above the limit (E = 1250 at the centre).
        {60, 60, 1, 0.02},    {59.5, 60, 1, 0.02},  {59.9, 60, 1, 0.02},  {60.1, 60, 1, 0.02},
        {60.5, 60, 1, 0.02},  {60, 60, 1, -0.02},   {60.3, 60, 1, -0.02},
        // erf(w) + erf(z) rounds to 0.
        {59, 60, 1, 0.1},     {60, 60, 1, 0.1},     {60.5, 60, 1, 0.1},   {61, 60, 1, 0.1},
        {61, 60, 1, -0.1},    {59.5, 60, 1, -0.1},
    };
    for (const Zero& z : zeros) {
        EXPECT_EQ(emg(z.x, z.peak, z.sigma, z.tau), 0.0)
            << "x " << z.x << " peak " << z.peak << " sigma " << z.sigma << " tau " << z.tau;
    }
}

TEST(Emg, ModerateTauAgreesWithTheExactFormula) {
    // (1 + erf(z)) e^E / (sqrt(pi) tau) with library functions.
    const double peak = 60, sigma = 1, tau = 0.2;
    for (double x : {59.0, 60.0, 61.0, 62.0}) {
        const double E = sigma * sigma / (2 * tau * tau) - (x - peak) / tau;
        const double z = ((x - peak) / sigma - sigma / tau) / std::sqrt(2.0);
        const double exact = std::erfc(-z) * std::exp(E) / (std::sqrt(M_PI) * tau);
        EXPECT_NEAR(emg(x, peak, sigma, tau) / exact, 1.0, 1e-7) << "x " << x;
    }
}

TEST(Emg, NegativeTauMirrorsThePeak) {
    for (double sigma : {0.6, 1.0, 3.0}) {
        for (double tau : {0.5, 1.0, 4.0}) {
            for (double d : {0.0, 0.4, 1.0, 2.5, 7.0, -1.0, -3.0}) {
                const double a = emg(60 - d, 60, sigma, -tau);
                const double b = emg(60 + d, 60, sigma, tau);
                EXPECT_NEAR(a, b, 1e-13 + 1e-12 * std::fabs(b)) << "sigma " << sigma << " tau " << tau << " d " << d;
            }
        }
    }
}

TEST(Emg, AreaIsTwoOverRootPi) {
    const double sigma = 1.0, peak = 300.0;
    for (double tau : {0.3, 1.0, 2.5, 5.0, -1.0, -2.5}) {
        const double reach = 20 * sigma + 40 * std::fabs(tau);
        const double area = integrate([&](double x) { return emg(x, peak, sigma, tau); }, peak - reach, peak + reach,
                                      static_cast<int>(2 * reach / 0.02) & ~1);
        EXPECT_PRINTS(area, "1.128379");
        EXPECT_NEAR(area, 2 / 1.772453851, 1e-7) << "tau " << tau;
    }
}

struct GammaCase {
    double a, x;
    const char* expected;
};

TEST(IncompleteGamma, ReferenceValues) {
    EXPECT_EQ(gammp(0.5, 0.0), 0.0);
    const GammaCase cases[] = {
        {0.5, 1.0, "0.842700792959251"},     // series
        {0.5, 1.5, "0.916735459603475"},     // continued fraction (x < a + 1 is strict)
        {0.5, 1.4999, "0.916725203972889"},  // series
        {1.0, 1.0, "0.632120558850135"},
        {1.0, 3.0, "0.950212931630437"},
    };
    for (const GammaCase& c : cases) EXPECT_PRINTS(gammp(c.a, c.x), c.expected);
}

TEST(IncompleteGamma, LogGamma) {
    EXPECT_PRINTS(gammln(0.5), "0.572364942913382");
    EXPECT_PRINTS(gammln(1.0), "-3.4136e-11");
    EXPECT_NE(gammln(1.0), 0.0);
    EXPECT_PRINTS(gammln(5.0), "3.17805383019031");
}

TEST(IncompleteGamma, HelpersHandBackLogGamma) {
    double gln = 123.0;
    EXPECT_PRINTS(gcf(0.5, 2.0, gln), "0.045500270496158");
    EXPECT_PRINTS(gln, "0.572364942913382");

    // Written first, on every path, including x = 0.
    gln = 123.0;
    EXPECT_EQ(gser(0.5, 0.0, gln), 0.0);
    EXPECT_PRINTS(gln, "0.572364942913382");
    gln = 123.0;
    EXPECT_PRINTS(gser(0.5, 1.0, gln), "0.842700792959251");
    EXPECT_EQ(gln, gammln(0.5));
}

}  // namespace
}  // namespace elutrix
