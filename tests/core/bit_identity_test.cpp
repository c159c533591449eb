// The synthesis skips, hoists and reorders work, but every double it gives
// must be the one the plain loop gives, to the last bit and the sign of zero.
// These tests hold each shortcut against a plain evaluation: the models
// against a second plain copy of them, fast::erf against erf, each term
// evaluator against relative response x model at every grid point, the
// term sums against the left-to-right sum, and whole runs against the plain
// point-by-point loop. Set ELUTRIX_SANITIZED in the environment to run a
// quarter of the random cases (for slow instrumented builds).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <iostream>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/inputs.h"
#include "engine/placement.h"
#include "engine/run_error.h"
#include "engine/synthesis.h"
#include "models/emg.h"
#include "models/fast_models.h"
#include "models/float_bits.h"
#include "models/gamma.h"
#include "models/gaussian.h"
#include "reference/literal_models.h"
#include "reference/literal_synthesis.h"
#include "reference/run_check.h"
#include "reference/scenarios.h"
#include "core_test_support.h"

namespace elutrix {
namespace {

bool sanitized() { return std::getenv("ELUTRIX_SANITIZED") != nullptr; }

// Full count in an optimised build, a quarter (at least 1) under instrumentation.
long long scaled(long long full) { return sanitized() ? std::max(1LL, full / 4) : full; }

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Equal as bit patterns: +0 and -0 differ, and so would two NaNs of other payloads.
#define EXPECT_SAME_BITS(fast, plain, context)                                                                 \
    EXPECT_EQ(bits(fast), bits(plain)) << (context) << ": " << std::hexfloat << (fast) << " vs " << (plain) \
                                       << std::defaultfloat

std::string describe(const char* what, std::initializer_list<double> args) {
    std::string s = what;
    s += "(";
    bool first = true;
    for (double a : args) {
        if (!first) s += ", ";
        first = false;
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.17g", a);
        s += buffer;
    }
    return s + ")";
}

// ---------------------------------------------------------------------------
// models/ against the plain copy

TEST(ReferenceModels, IncompleteGammaRoutinesAgreeWithPlainCopy) {
    const double xs[] = {0.0, 1e-300, 1e-10, 0.3, 1.0, 1.4999, 1.5, 2.0, 3.0, 3.5, 8.0, 10.0, 36.0, 100.0, 700.0, 800.0, 1e5};
    for (const literal::LnGammaValue& value : literal::ln_gamma_values) {
        const double a = value.a;
        EXPECT_SAME_BITS(gammln(a), literal::gammln(a), describe("gammln", {a}));
        // The Lanczos sum is within 2e-10 of ln Gamma for a > 0.
        EXPECT_NEAR(value.ln_gamma, std::lgamma(a), 2e-10) << describe("gammln", {a});
        for (double x : xs) {
            double gln_model = 1.0;
            double gln_plain = 2.0;
            if (x < a + 1.0) {
                EXPECT_SAME_BITS(gser(a, x, gln_model), literal::gser(a, x, gln_plain), describe("gser", {a, x}));
            } else {
                EXPECT_SAME_BITS(gcf(a, x, gln_model), literal::gcf(a, x, gln_plain), describe("gcf", {a, x}));
            }
            EXPECT_SAME_BITS(gln_model, gln_plain, describe("gln", {a, x}));
            EXPECT_SAME_BITS(gammp(a, x), literal::gammp(a, x), describe("gammp", {a, x}));
        }
    }
}

TEST(ReferenceModels, PeakModelsAgreeWithPlainCopy) {
    struct Case {
        double x, peak, sigma, tau;
    };
    const Case cases[] = {
        {60, 60, 0.6, 1},   {61, 60, 0.6, 1},    {59, 60, 0.6, -1},  {60, 60, 1, 0.02},  {60, 60, 1, 0.1},
        {62, 60, 1, 0.1},   {60, 60, 1, 0.2},    {0.5, 1, 2, 3},     {-5, -3, 0.7, -2},  {1800, 60, 0.6, 25},
        {30, 600, 6, 10},   {600, 600, 6, -10},  {1e-3, 0, 1e-3, 1}, {400, 60, 0.05, 1}, {60, 60, -0.6, 1},
    };
    for (const Case& c : cases) {
        EXPECT_SAME_BITS(emg(c.x, c.peak, c.sigma, c.tau), literal::emg(c.x, c.peak, c.sigma, c.tau),
                         describe("emg", {c.x, c.peak, c.sigma, c.tau}));
        EXPECT_SAME_BITS(gaussian(c.x, c.peak, c.sigma), literal::gaussian(c.x, c.peak, c.sigma),
                         describe("gaussian", {c.x, c.peak, c.sigma}));
    }
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> place(0.0, 2000.0), width(0.01, 30.0), decay(-25.0, 25.0), unit(-8.0, 8.0);
    for (long long k = 0; k < scaled(20000); ++k) {
        const double peak = place(random), sigma = width(random), tau = decay(random);
        const double x = peak + sigma * unit(random) * 5.0;
        ASSERT_EQ(bits(emg(x, peak, sigma, tau)), bits(literal::emg(x, peak, sigma, tau)))
            << describe("emg", {x, peak, sigma, tau});
        ASSERT_EQ(bits(gaussian(x, peak, sigma)), bits(literal::gaussian(x, peak, sigma)))
            << describe("gaussian", {x, peak, sigma});
        const double z = unit(random);
        ASSERT_EQ(bits(erf(z)), bits(literal::erf(z))) << describe("erf", {z});
    }
}

// ---------------------------------------------------------------------------
// fast::erf and the saturation it relies on

void expect_erf_matches(double z) {
    ASSERT_EQ(bits(fast::erf(z)), bits(literal::erf(z))) << describe("erf", {z});
}

TEST(FastErf, MatchesPlainErfOnDenseGridAndRandomValues) {
    const long long steps = scaled(160000);
    for (long long k = -steps; k <= steps; ++k) expect_erf_matches(8.0 * static_cast<double>(k) / steps);
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> wide(-10.0, 10.0);
    std::uniform_real_distribution<double> decades(-320.0, 2.0);
    for (long long k = 0; k < scaled(100000); ++k) {
        expect_erf_matches(wide(random));
        const double tiny = std::pow(10.0, decades(random));
        expect_erf_matches(tiny);
        expect_erf_matches(-tiny);
    }
    for (double z : {0.0, -0.0, DBL_MIN, -DBL_MIN, 4.9e-324, -4.9e-324, 1e154, -1e154, 1e300, DBL_MAX, -DBL_MAX}) {
        expect_erf_matches(z);
    }
}

TEST(FastErf, MatchesPlainErfWhereTheEvaluationChangesAndWhereItSaturates) {
    // The series gives way to the continued fraction at z^2 = 1.5.
    const double boundary = std::sqrt(1.5);
    for (double sign : {1.0, -1.0}) {
        double up = boundary;
        double down = boundary;
        for (int k = 0; k < 2000; ++k) {
            expect_erf_matches(sign * up);
            expect_erf_matches(sign * down);
            up = std::nextafter(up, 2.0);
            down = std::nextafter(down, 0.0);
        }
        const long long steps = scaled(200000);
        for (long long k = 0; k <= steps; ++k) {
            expect_erf_matches(sign * (1.2 + 0.05 * static_cast<double>(k) / steps));
        }
        // Around |z| = 6, where the term evaluators stop calling erf.
        for (long long k = 0; k <= steps * 2; ++k) {
            expect_erf_matches(sign * (5.9 + 0.2 * static_cast<double>(k) / (steps * 2)));
        }
    }
}

// erf_many interleaves evaluations; each must come out as erf alone gives it,
// whatever mix of series and fraction values, signs and zeros it is given.
TEST(FastErf, ManyAtOnceMatchesPlainErf) {
    std::mt19937_64 random(77);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> z;
    for (long long k = 0; k < scaled(200000); ++k) {
        const double pick = unit(random);
        const double v = pick < 0.4   ? 1.2247 * unit(random)             // series
                         : pick < 0.8 ? 1.2247 + 5.0 * unit(random)       // fraction
                         : pick < 0.9 ? 1.2247448713915889 + 1e-12 * unit(random)
                         : pick < 0.95 ? 0.0
                                       : std::pow(10.0, -300.0 * unit(random));
        z.push_back(unit(random) < 0.5 ? -v : v);
    }
    std::vector<double> out(z.size());
    std::size_t at = 0;
    for (std::size_t chunk = 0; at < z.size(); chunk = (chunk + 1) % 40) {
        const std::size_t count = std::min(chunk, z.size() - at);
        fast::erf_many(&z[at], &out[at], count);
        at += count;
    }
    for (std::size_t k = 0; k < z.size(); ++k) {
        ASSERT_EQ(bits(out[k]), bits(literal::erf(z[k]))) << describe("erf_many", {z[k]});
    }
}

// erf(z) = +-P(0.5, z^2), and z >= 6 gives z^2 >= 36 (rounding is monotone),
// so P(0.5, X) = 1 for every X >= 36 is what lets the evaluators take
// erf(z) = +-1 for |z| >= 6. Q(0.5, X) falls with X, so a dense scan up to
// the point where the fraction's exponential underflows, and a sparse one
// beyond (where the exponential is exactly 0), covers every X.
TEST(Saturation, IncompleteGammaOfOneHalfIsExactlyOneFrom36On) {
    const long long per_unit = scaled(50000);
    for (long long k = 36 * per_unit; k <= 800 * per_unit; ++k) {
        const double X = static_cast<double>(k) / per_unit;
        ASSERT_EQ(literal::gammp(0.5, X), 1.0) << describe("gammp", {0.5, X});
    }
    double X = 36.0;
    for (int k = 0; k < 100000; ++k) {
        ASSERT_EQ(literal::gammp(0.5, X), 1.0) << describe("gammp", {0.5, X});
        X = std::nextafter(X, 100.0);
    }
    // The fraction's exponential is 0 from here on.
    EXPECT_EQ(std::exp((-800.0 + 0.5 * std::log(800.0)) - literal::gammln(0.5)), 0.0);
    for (double e = 2.9; e < 308.3; e += 0.01) {
        const double big = std::pow(10.0, e);
        ASSERT_EQ(literal::gammp(0.5, big), 1.0) << describe("gammp", {0.5, big});
    }
    for (double big : {DBL_MAX, HUGE_VAL}) EXPECT_EQ(literal::gammp(0.5, big), 1.0) << big;
    EXPECT_EQ(literal::erf(6.0), 1.0);
    EXPECT_EQ(literal::erf(-6.0), -1.0);
}

TEST(Saturation, PowerOfStoredEIsExactlyZeroBelowMinus746) {
    const double e = 2.71828182845905;
    EXPECT_EQ(std::pow(e, -746.0), 0.0);
    const long long per_unit = scaled(100000);
    for (long long k = 0; k <= 60 * per_unit; ++k) {
        const double y = -746.0 - static_cast<double>(k) / per_unit;
        ASSERT_EQ(bits(std::pow(e, y)), bits(0.0)) << y;
    }
    for (double d = 2.9; d < 308.3; d += 0.001) {
        const double y = -std::pow(10.0, d);
        ASSERT_EQ(bits(std::pow(e, y)), bits(0.0)) << y;
    }
    EXPECT_EQ(bits(std::pow(e, -DBL_MAX)), bits(0.0));
    EXPECT_EQ(bits(std::pow(e, -HUGE_VAL)), bits(0.0));
    // And not much earlier: just above -745 the power is still a subnormal.
    EXPECT_GT(std::pow(e, -745.0), 0.0);
}

// ---------------------------------------------------------------------------
// The term evaluators at every grid point

struct GridCase {
    double latest_tr;  // minutes
    long long n;
};

double grid_time(long long i, const GridCase& g) {
    return (((static_cast<double>(i) / static_cast<double>(g.n)) * 60.0) * 1.5) * g.latest_tr;
}

fast::Grid grid_of(const GridCase& g) { return {g.n, (90.0 * g.latest_tr) / static_cast<double>(g.n)}; }

// 2^low < |v| < 2^high, where 0 is below every 2^high and no low may be
// given for it. A NaN high is no bound at all (a term evaluated the plain
// way); an infinite or NaN value needs a high of at least 2^1024, so that no
// sum ever absorbs it.
bool within(double v, fast::MagnitudeBounds b) {
    if (std::isnan(b.high)) return b.low == -HUGE_VAL;
    if (!std::isfinite(v)) return b.high >= 1024.0;
    const double m = std::fabs(v);
    if (m == 0.0) return b.low == -HUGE_VAL;
    const double l = std::log2(m);  // exact for powers of 2, subnormal ones included
    return l < b.high && (b.low == -HUGE_VAL || l > b.low);
}

template <class Term, class Plain>
void check_term(const Term& term, Plain plain, const GridCase& g, const std::string& name) {
    long long mismatches = 0;
    for (long long i = 1; i <= g.n; ++i) {
        const double x = grid_time(i, g);
        const double want = plain(x);
        const double got = term(x);
        if (bits(got) != bits(want) && ++mismatches <= 5) {
            ADD_FAILURE() << name << " at point " << i << " (x = " << x << "): " << std::hexfloat << got << " vs "
                          << want;
        }
        if (!term.range.contains(i) && want != 0.0 && ++mismatches <= 5) {
            ADD_FAILURE() << name << " is " << want << " at point " << i << ", outside its range";
        }
        const fast::MagnitudeBounds b = term.log2_bounds(x);
        if (!within(want, b)) {
            if (++mismatches <= 5) {
                ADD_FAILURE() << name << " at point " << i << ": " << want << " outside 2^" << b.low << " .. 2^"
                              << b.high;
            }
        }
    }
    // Bounds over short intervals hold at every point inside.
    std::mt19937_64 random(static_cast<std::uint64_t>(g.n));
    std::uniform_int_distribution<long long> start(1, g.n);
    std::uniform_int_distribution<long long> length(0, 40);
    for (int k = 0; k < 2000; ++k) {
        const long long i0 = start(random);
        const long long i1 = std::min(g.n, i0 + length(random));
        const fast::MagnitudeBounds b = term.log2_bounds(grid_time(i0, g), grid_time(i1, g));
        for (long long i = i0; i <= i1; ++i) {
            const double v = plain(grid_time(i, g));
            if (!within(v, b)) {
                if (++mismatches <= 5) {
                    ADD_FAILURE() << name << " at point " << i << " of [" << i0 << ", " << i1 << "]: " << v
                                  << " outside 2^" << b.low << " .. 2^" << b.high;
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0) << name;
}

struct TermCase {
    double a, peak, sigma, tau;  // seconds; tau 0 means a Gaussian term
    GridCase grid;
};

const TermCase term_cases[] = {
    {1.0, 60.0, 0.6, 1.0, {1.0, 1800}},          // the factory peak
    {-2.5, 300.0, 3.0, 5.0, {10.0, 20000}},      // a negative response
    {1e-3, 5.0, 0.01, 0.5, {0.2, 100000}},       // narrow peak on a dense grid
    {7.0, 1000.0, 40.0, 25.0, {30.0, 5000}},     // wide peak, long tail
    {3.0, 500.0, 200.0, 10.0, {10.0, 9000}},     // wider than the run
    {1.0, 60.0, -0.6, 1.0, {1.0, 1800}},         // negative bandwidth
    {0.0, 60.0, 0.6, 1.0, {1.0, 1800}},          // zero response: signed zeros only
    {-0.0, 60.0, 0.6, -1.0, {1.0, 1800}},        // negative zero response
    {1.0, -30.0, 2.0, 3.0, {1.0, 1000}},         // centre before the run
    {1.0, 1.0, 2.0, 3.0, {1.0, 3000}},           // centre near time 0: erf(w) < 1
    {2.0, 60.0, 1.0, 0.02, {1.5, 20000}},        // exponent limit at the centre
    {2.0, 60.0, 1.0, 0.1, {1.5, 20000}},         // blanked by erf rounding
    {2.0, 60.0, 1.0, 0.2, {1.5, 20000}},
    {1.0, 600.0, 6.0, -10.0, {10.0, 50000}},     // fronting
    {1.0, 120.0, 0.3, -25.0, {2.0, 40000}},      // long front
    {1e12, 90.0, 0.5, 1e-3, {1.0, 30000}},       // huge response, sharp decay
    {1e-250, 90.0, 0.5, 2.0, {1.0, 30000}},      // values near the subnormals
    {4.0, 0.05, 0.02, 0.01, {0.01, 10000}},      // a run of under a second
    // Negative bandwidths: a negative retention time, or constant bandwidth
    // set by a first row at a negative time.
    {1.0, -60.0, -0.6, -5.0, {15.0, 18000}},     // centre and bandwidth negative, fronting: huge values
    {1.0, -19.8, -0.198, -0.33, {15.0, 18000}},
    {1.0, -30.0, -2.0, 3.0, {1.0, 1000}},        // the same, tailing
    {1.0, 60.0, -0.6, -1.0, {1.0, 1800}},        // negative bandwidth, centre in the run, fronting
    {-2.0, 300.0, -3.0, 5.0, {10.0, 20000}},     // and a negative response
    {1.0, 0.0, -0.6, 1.0, {1.0, 1800}},          // centre at 0
    {1.0, -3000.0, -30.0, -5.0, {1.0, 1800}},    // far before the run: exactly 0 throughout
    // Beyond the range the shortcuts are proven for: evaluated plainly.
    {1.0, 60.0, 2.7e161, 1.0, {1.0, 1800}},      // plate count 5e-320
    {1.0, 60.0, 1e-200, 1.0, {1.0, 1800}},       // bandwidth whose square vanishes
    {1.0, 60.0, 0.6, 1e300, {1.0, 1800}},        // huge tau
    {1.0, 60.0, 0.6, HUGE_VAL, {1.0, 1800}},     // tau beyond the doubles
    {1.0, 60.0, 0.6, 1e-200, {1.0, 1800}},       // tau so small that the exponent's offset overflows
    {1.0, 60.0, 0.6, 1e-320, {1.0, 1800}},       // subnormal tau: NaN after the centre
    {5e-324, 60.0, 0.6, 1.0, {1.0, 1800}},       // subnormal response
    {1e300, 60.0, 0.006, 1.0, {1.0, 1800}},      // response that overflows near the centre
    {1.0, HUGE_VAL, 0.6, 1.0, {1.0, 1800}},      // centre beyond the doubles
};

TEST(Terms, GaussianTermMatchesResponseTimesGaussianAtEveryPoint) {
    for (const TermCase& c : term_cases) {
        const fast::GaussianTerm term(c.a, c.peak, c.sigma, grid_of(c.grid));
        check_term(term, [&](double x) { return c.a * literal::gaussian(x, c.peak, c.sigma); }, c.grid,
                   describe("gaussian term", {c.a, c.peak, c.sigma}));
    }
}

TEST(Terms, EmgTermMatchesResponseTimesEmgAtEveryPoint) {
    for (const TermCase& c : term_cases) {
        const fast::EmgTerm term(c.a, c.peak, c.sigma, c.tau, grid_of(c.grid));
        check_term(term, [&](double x) { return c.a * literal::emg(x, c.peak, c.sigma, c.tau); }, c.grid,
                   describe("emg term", {c.a, c.peak, c.sigma, c.tau}));
    }
}

// ---------------------------------------------------------------------------
// Term sums against the left-to-right sum

struct PlainTerm {
    bool emg;
    double a, peak, sigma, tau;
    double operator()(double x) const {
        return emg ? a * literal::emg(x, peak, sigma, tau) : a * literal::gaussian(x, peak, sigma);
    }
};

// A sum may skip a term that provably rounds away; absorbs decides that
// from the sum's exponent. The largest terms it lets pass must leave the
// sum unchanged, and (for normal sums) one binade more must not.
TEST(TermSums, SkipOnlyTermsThatRoundAway) {
    struct Case {
        double sum;
        double bound;
        bool absorbs;
        bool next_binade_changes;  // some |t| < 2^(bound + 1) changes the sum
    };
    const Case cases[] = {
        {1.0, -54, true, true},            // a power of 2: the double below is 2^-53 away
        {-1.0, -54, true, true},
        {1.5, -53, true, true},            // elsewhere both neighbours are 2^-52 away
        {-1.75, -53, true, true},
        {0x1.fffffffffffffp0, -53, true, true},
        {0x1p-1022, -1076, true, false},   // smallest normal
        {0x1.8p-1022, -1075, true, false},
        {0x1p-1030, -1076, true, false},   // subnormal: only zeros are let through
        {DBL_MAX, 970, true, true},
        {0x1p100, 46, true, true},
        {0x1p100, 46.5, false, false},
        {1.5, -52.5, false, false},
        {0.0, -1e9, false, false},
        {HUGE_VAL, 0.0, false, false},
        {-HUGE_VAL, 0.0, false, false},
        {std::nan(""), -1e9, false, false},
    };
    for (const Case& c : cases) {
        const std::string name = describe("absorbs", {c.sum, c.bound});
        EXPECT_EQ(fast::absorbs(c.sum, c.bound), c.absorbs) << name;
        if (c.absorbs) {
            const double t = std::nextafter(std::ldexp(1.0, static_cast<int>(c.bound)), 0.0);
            EXPECT_SAME_BITS(c.sum + t, c.sum, name);
            EXPECT_SAME_BITS(c.sum - t, c.sum, name);
            EXPECT_FALSE(fast::absorbs(c.sum, c.bound + 1.0)) << name;
        }
        if (c.next_binade_changes) {
            const double t = std::nextafter(std::ldexp(1.0, static_cast<int>(c.bound) + 1), 0.0);
            EXPECT_TRUE(c.sum + t != c.sum || c.sum - t != c.sum) << name;
        }
    }
}

// Overlapping peaks of very different sizes and signs, cancelling pairs and
// long tails: the cases in which a sum may skip a term.
TEST(TermSums, EqualTheLeftToRightSumAtEveryPoint) {
    std::mt19937_64 random(2024);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const long long sets = scaled(600);
    for (long long set = 0; set < sets; ++set) {
        const GridCase g{0.2 + 3.0 * unit(random), 200 + static_cast<long long>(6000 * unit(random))};
        const fast::Grid grid = grid_of(g);
        const double run = 90.0 * g.latest_tr;
        const int count = 1 + static_cast<int>(10 * unit(random)) % 10;
        std::vector<PlainTerm> plain;
        // Every third set leaves leading terms out on trial far more readily.
        fast::TermSum sum(set % 3 == 0 ? 55.0 : fast::TermSum::default_trial_margin);
        for (int k = 0; k < count; ++k) {
            PlainTerm t{};
            t.emg = unit(random) < 0.5;
            t.a = (unit(random) < 0.3 ? -1.0 : 1.0) * std::pow(10.0, -12.0 + 24.0 * unit(random));
            if (unit(random) < 0.1) t.a = 1.0;
            t.peak = run * (unit(random) * 0.8);
            t.sigma = run * std::pow(10.0, -3.0 + 2.5 * unit(random));
            t.tau = (unit(random) < 0.5 ? -1.0 : 1.0) * run * std::pow(10.0, -4.0 + 3.5 * unit(random));
            if (!plain.empty() && unit(random) < 0.15) {  // cancels the previous term exactly
                t = plain.back();
                t.a = -t.a;
            }
            // Negative bandwidths come with a negative centre, or with a
            // centre in the run under constant bandwidth.
            if (unit(random) < 0.25) {
                t.sigma = -t.sigma;
                if (unit(random) < 0.5) t.peak = -t.peak;
            }
            plain.push_back(t);
            if (t.emg) {
                sum.add(fast::EmgTerm(t.a, t.peak, t.sigma, t.tau, grid));
            } else {
                sum.add(fast::GaussianTerm(t.a, t.peak, t.sigma, grid));
            }
        }
        std::vector<double> x(static_cast<std::size_t>(g.n) + 1);
        std::vector<double> got(static_cast<std::size_t>(g.n) + 1);
        for (long long i = 1; i <= g.n; ++i) x[i] = grid_time(i, g);
        // Blocks of every size up to the largest, so block edges fall everywhere.
        const std::size_t block = 1 + static_cast<std::size_t>(set) % fast::TermSum::block_points;
        for (long long i = 1; i <= g.n; i += static_cast<long long>(block)) {
            const std::size_t c = static_cast<std::size_t>(std::min<long long>(static_cast<long long>(block), g.n - i + 1));
            sum.sum_block(i, c, &x[i], &got[i]);
        }
        long long mismatches = 0;
        for (long long i = 1; i <= g.n; ++i) {
            double want = 0.0;
            for (const PlainTerm& t : plain) want += t(x[i]);
            if (bits(got[i]) != bits(want) && ++mismatches <= 3) {
                ADD_FAILURE() << "set " << set << " point " << i << ": " << std::hexfloat << got[i] << " vs " << want;
            }
            if (i % 97 == 0 && bits(sum.at(i, x[i])) != bits(want) && ++mismatches <= 3) {
                ADD_FAILURE() << "set " << set << " point " << i << " alone differs";
            }
        }
        ASSERT_EQ(mismatches, 0) << "set " << set;
    }
}

// Long overlapping tails, each peak taller than the last: at every point
// the earlier tails reach far below the latest peak, the case in which the
// sums leave leading terms out on trial and must check the rounding. Small
// trial margins make the check fail, and the point be summed again, often.
TEST(TermSums, EqualTheLeftToRightSumUnderOverlappingTails) {
    std::mt19937_64 random(99);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double margins[] = {fast::TermSum::default_trial_margin, 60.0, 56.0, 54.5, 50.0, 30.0};
    for (long long set = 0; set < scaled(18); ++set) {
        const double margin = margins[set % 6];
        const GridCase g{3.0 + 7.0 * unit(random), 20000 + static_cast<long long>(20000 * unit(random))};
        const fast::Grid grid = grid_of(g);
        const double run = 90.0 * g.latest_tr;
        std::vector<PlainTerm> plain;
        fast::TermSum sum(margin);
        for (int k = 0; k < 10; ++k) {
            PlainTerm t{true, (unit(random) < 0.2 ? -1.0 : 1.0) * (0.5 + unit(random)), run * (0.05 + 0.06 * k),
                        run * 0.001 * (1.0 + 3.0 * unit(random)), run * 0.002 * (1.0 + 10.0 * unit(random))};
            plain.push_back(t);
            sum.add(fast::EmgTerm(t.a, t.peak, t.sigma, t.tau, grid));
        }
        std::vector<double> x(static_cast<std::size_t>(g.n) + 1);
        std::vector<double> got(static_cast<std::size_t>(g.n) + 1);
        for (long long i = 1; i <= g.n; ++i) x[i] = grid_time(i, g);
        for (long long i = 1; i <= g.n; i += 32) {
            sum.sum_block(i, static_cast<std::size_t>(std::min<long long>(32, g.n - i + 1)), &x[i], &got[i]);
        }
        long long mismatches = 0;
        for (long long i = 1; i <= g.n; ++i) {
            double want = 0.0;
            for (const PlainTerm& t : plain) want += t(x[i]);
            if (bits(got[i]) != bits(want) && ++mismatches <= 3) {
                ADD_FAILURE() << "set " << set << " (margin " << margin << ") point " << i << ": " << std::hexfloat
                              << got[i] << " vs " << want;
            }
        }
        ASSERT_EQ(mismatches, 0) << "set " << set;
    }
}

// ---------------------------------------------------------------------------
// Whole runs against the plain loop

using checking::Stage;

std::string failure_of(const checking::Checked& c, const std::string& name) {
    return c.failure.empty() ? std::string() : name + ": " + c.failure;
}

// An enabled row as typed.
ComponentRow typed(std::string t, std::string a, std::string N, std::string tau, std::string r = "") {
    return testing::row(true, std::move(t), std::move(a), std::move(N), std::move(tau), std::move(r));
}

// Every sign of bandwidth and decay constant, and magnitudes beyond what the
// shortcuts are proven for. A run either gives the plain loop's numbers
// (the first response where it is given) or stops where they are not finite.
TEST(Synthesis, MatchesPlainLoopForEverySignAndMagnitude) {
    struct Case {
        const char* name;
        std::vector<ComponentRow> rows;
        bool gaussian = false;
        bool constant_bandwidth = false;
        bool stops = false;
        const char* first_response = nullptr;  // value_text of the plain loop's first point
    };
    const ComponentRow tall = typed("10", "1", "10000", "1");
    const Case cases[] = {
        {"negative time and tau", {tall, typed("-1", "1", "10000", "-5")}, false, false, false, "37367.0405129087"},
        {"negative time and tau, closer to 0", {tall, typed("-0.33", "1", "10000", "-0.33")}, false, false, false,
         "5.43982883258031e+26"},
        {"negative time, positive tau", {tall, typed("-1", "1", "10000", "5")}},
        {"negative time, Gaussian", {tall, typed("-1", "1", "10000", "5")}, true},
        {"negative responses", {typed("10", "-2", "10000", "1"), typed("-1", "-1", "10000", "-5")}},
        {"constant bandwidth from a negative first row", {typed("5", "1", "10000", "1"), typed("-1", "1", "10000", "2")},
         false, true},
        {"the same, fronting", {typed("5", "1", "10000", "-1"), typed("-1", "1", "10000", "-2")}, false, true},
        {"the same, Gaussian", {typed("5", "1", "10000", "1"), typed("-1", "1", "10000", "2")}, true, true},
        {"time derived from a resolution above sqrt(N)/2",
         {typed("1", "1", "10000", "1"), typed("", "1", "10000", "-0.5", "60")}},
        {"far before the run", {typed("-1000", "1", "10000", "-5"), typed("1", "1", "10000", "1")}},
        {"plate count 5e-320", {typed("1", "1", "5e-320", "1")}},
        {"plate count 5e-320, Gaussian", {typed("1", "1", "5e-320", "1")}, true, false, false, "1.48676182058214e-162"},
        {"tau beyond the doubles", {tall, typed("2", "1", "10000", "1e999")}},
        {"huge tau", {tall, typed("2", "1", "10000", "1e300")}},
        {"tiny tau", {tall, typed("2", "1", "10000", "1e-200")}},
        {"subnormal tau", {tall, typed("2", "1", "10000", "1e-320")}, false, false, true},
        {"subnormal response", {typed("1", "5e-324", "10000", "1")}},
        {"subnormal response, Gaussian", {typed("1", "5e-324", "10000", "1")}, true},
        {"huge plate count", {typed("1", "1", "1e300", "1")}},
        {"huge plate count, Gaussian", {typed("1", "1", "1e300", "1")}, true},
        {"response overflowing", {typed("1", "1e308", "1000000", "1")}, true, false, true},
    };
    const std::unique_ptr<Trace> trace = std::make_unique<Trace>();
    for (const Case& c : cases) {
        ComponentTable rows;
        for (std::size_t j = 0; j < c.rows.size(); ++j) rows[j] = c.rows[j];
        SimulationSettings settings;
        settings.efficiency = EfficiencyChoice::custom_individual;
        settings.peak_model = c.gaussian ? PeakModel::Gaussian : PeakModel::ExponentiallyModifiedGaussian;
        settings.constant_bandwidth = c.constant_bandwidth;
        const checking::Checked checked = checking::check_run(rows, settings, *trace, Trace::capacity);
        EXPECT_EQ(checked.failure, "") << c.name;
        EXPECT_EQ(checked.stage, c.stops ? Stage::stopped_non_finite : Stage::completed)
            << c.name << ": " << checked.message;
        if (c.first_response != nullptr) {
            EXPECT_EQ(value_text(trace->responses[1]), c.first_response) << c.name;
        }
    }
}

// A text from anywhere in what a user can type into a cell: the ordinary
// value given, or a negative, zero, subnormal, huge, too large or
// non-numeric one.
class CellTexts {
public:
    explicit CellTexts(std::mt19937_64& random) : random_(random) {}
    double unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(random_); }
    double log_uniform(double lo, double hi) { return lo * std::pow(hi / lo, unit()); }
    bool chance(double p) { return unit() < p; }

    std::string special() {
        static const char* const texts[] = {
            "0",      "-0",      "",       " ",       "x",       "abc",   ".",      "-",       "1,5",     " 2.5 min",
            "5e-324", "-5e-324", "1e-310", "-1e-310", "2e-308",  "1e-200", "1e200", "-1e200", "1e300",   "-1e300",
            "1e308",  "-1.7e308", "1e999", "-1e999",  "1e-999", "1e5",    "-1e5",   "0.0001",  "-0.0001", "100000000"};
        return texts[std::uniform_int_distribution<std::size_t>(0, std::size(texts) - 1)(random_)];
    }
    // ordinary in 1 - p_special of the draws, negated in p_negative of those.
    std::string cell(double ordinary, double p_special = 0.04, double p_negative = 0.0) {
        if (chance(p_special)) return special();
        return value_text(chance(p_negative) ? -ordinary : ordinary);
    }

private:
    std::mt19937_64& random_;
};

struct RunInputs {
    ComponentTable rows;
    SimulationSettings settings;
    bool large = false;
};

// Random inputs over the whole domain of the window, each setting in every
// state and every cell sometimes holding any of the special texts.
RunInputs random_run(std::mt19937_64& random, long long set) {
    CellTexts text(random);
    RunInputs run;
    ComponentTable& rows = run.rows;
    SimulationSettings& s = run.settings;
    s.efficiency = static_cast<EfficiencyChoice>(std::uniform_int_distribution<int>(0, 3)(random));
    if (text.chance(0.7)) s.efficiency = EfficiencyChoice::custom_individual;
    s.custom_plates = text.cell(std::round(text.log_uniform(500.0, 200000.0)), 0.1);
    s.peak_model = text.chance(0.5) ? PeakModel::Gaussian : PeakModel::ExponentiallyModifiedGaussian;
    s.constant_bandwidth = text.chance(0.25);
    // Three shapes, and now and then a group with none selected.
    const int shapes = text.chance(0.05) ? 4 : 3;
    s.baseline_shape = static_cast<BaselineShape>(std::uniform_int_distribution<int>(0, shapes - 1)(random));
    s.linear_down = text.chance(0.5);
    s.quad_down = text.chance(0.5);
    s.baseline_percentage = text.chance(0.1) ? "" : text.cell(150.0 * text.unit(), 0.1, 0.3);
    // Three modes, and now and then a group with none selected.
    s.noise_kind = static_cast<NoiseKind>(std::uniform_int_distribution<int>(0, text.chance(0.05) ? 3 : 2)(random));
    const double level = text.unit();
    s.level_by_value = level < 0.4;
    s.level_by_s_to_n = level >= 0.4 && level < 0.85;
    s.s_to_n_value = text.cell(text.log_uniform(1e-5, 2.0), 0.1, 0.1);
    s.s_to_n_percent = text.cell(text.log_uniform(1.0, 5000.0), 0.1, 0.1);
    s.use_seed = !text.chance(0.05);
    s.seed = text.cell(std::floor(1000.0 * text.unit()), 0.1, 0.3);

    bool any = false;
    for (int j = 0; j < component_count; ++j) {
        ComponentRow& row = rows[j];
        row.enabled = text.chance(0.55);
        const double N = std::round(text.log_uniform(500.0, 200000.0));
        row.retention_time = text.cell(0.1 + 29.9 * text.unit(), 0.03, 0.1);
        row.relative_response = text.chance(0.05) ? "0" : text.cell(text.log_uniform(1e-3, 100.0), 0.03, 0.2);
        row.plates = text.cell(N, 0.03);
        row.tau = text.chance(0.1) ? "0" : text.cell(text.log_uniform(1e-3, 25.0), 0.03, 0.5);
        // A row placed by its resolution from the previous one; now and then
        // one above sqrt(N)/2, which places it at a negative time.
        if (j > 0 && row.enabled && text.chance(0.2)) {
            row.retention_time = "";
            const double r = text.chance(0.15) ? std::sqrt(N) / 2.0 * (1.01 + 2.0 * text.unit())
                                               : 0.2 + 3.0 * text.unit();
            row.resolution = text.cell(r, 0.03, 0.3);
        }
        any = any || row.enabled;
    }
    if (!any) rows[set % component_count].enabled = true;

    // Mostly short runs; every 150th has 100,000 to 1,000,000 points (the
    // plain EMG loop is slow, so those use the Gaussian model).
    double points = std::exp(std::log(4000.0) * text.unit());
    run.large = set % 150 == 0;
    if (run.large) {
        points = set % 300 == 0 ? 1e6 : 1e5 * std::pow(10.0, text.unit());
        s.peak_model = PeakModel::Gaussian;
    }
    if (!checking::set_point_count(rows, s, points) || text.chance(0.02)) s.sampling_rate = text.special();
    return run;
}

// The kinds of input a compared run held, for the counts below.
std::vector<std::string> kinds_of(const checking::Checked& c, const ComponentTable& typed_rows) {
    std::vector<std::string> kinds;
    const SimulationSettings& s = c.settings;
    const bool gaussian = s.peak_model == PeakModel::Gaussian;
    kinds.push_back(gaussian ? "Gaussian model" : "EMG model");
    kinds.push_back(s.noise_kind == NoiseKind::omit     ? "no noise"
                    : s.noise_kind == NoiseKind::random ? "random noise"
                    : s.noise_kind == NoiseKind::random_walk ? "drift"
                                                             : "noise group without a choice");
    if (s.noise_kind != NoiseKind::omit && s.level_by_value) kinds.push_back("noise level by value");
    if (s.noise_kind != NoiseKind::omit && s.level_by_s_to_n) kinds.push_back("noise level by S/N");
    if (!c.noise_compared) kinds.push_back("unseeded noise");
    static const char* const shapes[] = {"flat baseline", "linear baseline", "quadratic baseline",
                                         "baseline without a choice"};
    kinds.push_back(shapes[static_cast<int>(s.baseline_shape)]);
    if (s.baseline_shape == BaselineShape::linear && s.linear_down) kinds.push_back("falling linear baseline");
    if (s.baseline_shape == BaselineShape::quad && s.quad_down) kinds.push_back("falling quadratic baseline");
    static const char* const efficiencies[] = {"LC plates", "GC plates", "custom plates", "plates by row"};
    kinds.push_back(efficiencies[static_cast<int>(s.efficiency)]);
    if (s.constant_bandwidth) {
        const double t = text_value(c.rows[c.placement.first_row].retention_time);
        kinds.push_back(t < 0.0    ? "constant bandwidth, first row negative"
                        : t == 0.0 ? "constant bandwidth, first row at 0"
                                   : "constant bandwidth, first row positive");
    }
    const fast::Grid grid{c.points, c.points > 0 ? 90.0 * c.placement.latest_tr / static_cast<double>(c.points) : 1.0};
    for (int j = 0; j < component_count; ++j) {
        const ComponentRow& row = c.rows[j];
        if (!row.enabled) continue;
        const double t = text_value(row.retention_time);
        const bool derived = text_value(typed_rows[j].retention_time) == 0.0 && t != 0.0;
        if (t < 0.0) kinds.push_back(derived ? "derived negative time" : "typed negative time");
        const PlacedPeak& p = c.placement.peaks[j];
        if (p.sigma == 0.0) continue;
        const double a = text_value(row.relative_response);
        if (a < 0.0) kinds.push_back("negative response");
        const bool emg = !gaussian && p.tau != 0.0;
        const std::string sign = std::string(p.sigma < 0.0 ? "sigma < 0" : "sigma > 0");
        kinds.push_back(emg ? "EMG " + sign + (p.tau < 0.0 ? ", tau < 0" : ", tau > 0") : "Gaussian " + sign);
        if (c.points > 0 && std::isfinite(a)) {
            const bool plain = emg ? fast::EmgTerm(a, p.peak, p.sigma, p.tau, grid).plain()
                                   : fast::GaussianTerm(a, p.peak, p.sigma, grid).plain();
            if (plain) kinds.push_back("term evaluated plainly");
        }
    }
    // Texts of the kinds a user can type, anywhere in the inputs.
    for (const auto& [where, text] : testing::all_texts(typed_rows, c.settings)) {
        const double v = text_value(text);
        if (text_value(text) == 0.0 && !text.empty() && text.find_first_of("123456789") == std::string::npos) {
            kinds.push_back("non-numeric or zero text");
        }
        if (v != 0.0 && std::fabs(v) < DBL_MIN) kinds.push_back("subnormal text");
        if (std::fabs(v) >= 1e200 && std::isfinite(v)) kinds.push_back("huge text");
        if (std::isinf(v)) kinds.push_back("text beyond the doubles");
    }
    std::sort(kinds.begin(), kinds.end());
    kinds.erase(std::unique(kinds.begin(), kinds.end()), kinds.end());
    return kinds;
}

TEST(Synthesis, MatchesPlainLoopOverRandomInputs) {
    const std::unique_ptr<Trace> trace = std::make_unique<Trace>();
    std::mt19937_64 random(1987);
    const long long wanted = sanitized() ? 2500 : 10000;
    long long compared = 0;
    long long large = 0;
    std::map<std::string, long long> kinds;
    std::map<Stage, long long> stages;
    for (long long set = 0; compared < wanted && set < wanted * 3; ++set) {
        const RunInputs run = random_run(random, set);
        const checking::Checked c = checking::check_run(run.rows, run.settings, *trace, Trace::capacity);
        ASSERT_EQ(failure_of(c, "set " + std::to_string(set)), "");
        ++stages[c.stage];
        if (c.stage != Stage::completed) continue;
        ++compared;
        if (run.large) ++large;
        for (const std::string& kind : kinds_of(c, run.rows)) ++kinds[kind];
    }
    std::cout << "[ random runs ] " << compared << " compared point by point";
    for (const auto& [stage, count] : stages) std::cout << "; " << checking::stage_name(stage) << ": " << count;
    std::cout << "\n";
    for (const auto& [kind, count] : kinds) std::cout << "    " << kind << ": " << count << "\n";
    EXPECT_GE(compared, wanted);
    EXPECT_GE(large, sanitized() ? 12 : 50);
    // Every kind of input took part in the runs compared.
    for (const char* kind :
         {"EMG model", "Gaussian model", "no noise", "random noise", "drift", "noise group without a choice",
          "noise level by value", "noise level by S/N", "unseeded noise", "flat baseline", "linear baseline",
          "quadratic baseline", "baseline without a choice", "falling linear baseline", "falling quadratic baseline",
          "LC plates", "GC plates", "custom plates", "plates by row", "constant bandwidth, first row negative",
          "constant bandwidth, first row at 0", "constant bandwidth, first row positive", "typed negative time",
          "derived negative time", "negative response", "EMG sigma < 0, tau < 0", "EMG sigma < 0, tau > 0",
          "EMG sigma > 0, tau < 0", "EMG sigma > 0, tau > 0", "Gaussian sigma < 0", "Gaussian sigma > 0",
          "term evaluated plainly", "non-numeric or zero text", "subnormal text", "huge text",
          "text beyond the doubles"}) {
        EXPECT_GE(kinds[kind], sanitized() ? 2 : 10) << kind;
    }
    // And runs stopped where the plain evaluation has no finite result.
    for (Stage stage : {Stage::stopped_in_placement, Stage::stopped_without_count, Stage::stopped_non_finite}) {
        EXPECT_GE(stages[stage], sanitized() ? 2 : 10) << checking::stage_name(stage);
    }
}

TEST(Synthesis, MatchesPlainLoopOnTheBenchmarkRuns) {
    const std::unique_ptr<Trace> trace = std::make_unique<Trace>();
    for (int k = 0; k < scenarios::count; ++k) {
        const scenarios::Scenario s = scenarios::make(k);
        const checking::Checked c = checking::check_run(s.rows, s.settings, *trace, Trace::capacity);
        EXPECT_EQ(failure_of(c, s.name), "");
        EXPECT_EQ(c.stage, Stage::completed) << s.name;
    }
}

}  // namespace
}  // namespace elutrix
