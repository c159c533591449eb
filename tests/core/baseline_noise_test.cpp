// The baseline ramp and the uniform noise with its generator.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine/inputs.h"
#include "models/baseline.h"
#include "models/noise.h"

namespace elutrix {
namespace {

struct BaselineCase {
    BaselineShape shape;
    bool down;
    const char* percentage;
    double x, ymax, maxtime;
    double expected;
};

TEST(Baseline, ReferenceValues) {
    using B = BaselineShape;
    const BaselineCase cases[] = {
        {B::flat, false, "10", 500, 2, 1000, 0.0},
        {B::flat, true, "10", 1000, 2, 1000, 0.0},
        {B::linear, false, "10", 500, 2, 1000, 0.1},
        {B::linear, false, "10", 1000, 2, 1000, 0.2},
        {B::linear, true, "10", 1000, 2, 1000, -0.2},
        {B::linear, true, "10", 500, 2, 1000, -0.1},
        {B::quad, false, "10", 500, 2, 1000, 0.05},
        {B::quad, false, "10", 1000, 2, 1000, 0.2},
        {B::quad, true, "10", 1000, 2, 1000, -0.2},
        {B::quad, true, "10", 500, 2, 1000, -0.05},
        // The percentage is read as a number; no number means no baseline.
        {B::linear, false, "", 1000, 2, 1000, 0.0},
        {B::quad, true, "", 1000, 2, 1000, 0.0},
        {B::linear, false, "x5", 1000, 2, 1000, 0.0},
        {B::linear, false, "10 %", 1000, 2, 1000, 0.2},
        // A negative percentage reverses the direction.
        {B::linear, false, "-10", 1000, 2, 1000, -0.2},
        {B::quad, true, "-10", 1000, 2, 1000, 0.2},
        // No qualifying peak: ymax 0.
        {B::linear, false, "10", 700, 0, 1000, 0.0},
        {B::quad, false, "50", 700, 0, 1000, 0.0},
        // The index scale reaches 1,000,000 points.
        {B::quad, false, "100", 1e6, 1, 1e6, 1.0},
        {B::linear, false, "100", 1, 3, 4, 0.75},
    };
    for (const BaselineCase& c : cases) {
        SimulationSettings s;
        s.baseline_shape = c.shape;
        s.linear_down = c.shape == B::linear && c.down;
        s.quad_down = c.shape == B::quad && c.down;
        s.baseline_percentage = c.percentage;
        const double value = baseline(c.x, c.ymax, c.maxtime, read_baseline(s));
        EXPECT_DOUBLE_EQ(value, c.expected) << "shape " << static_cast<int>(c.shape) << " down " << c.down << " p \""
                                            << c.percentage << "\" x " << c.x;
    }
}

TEST(Baseline, OnlyTheSelectedDirectionCounts) {
    // The direction of the other shape's pair is ignored.
    SimulationSettings s;
    s.baseline_percentage = "10";
    s.baseline_shape = BaselineShape::linear;
    s.quad_down = true;
    EXPECT_DOUBLE_EQ(baseline(1000, 2, 1000, read_baseline(s)), 0.2);
    s.baseline_shape = BaselineShape::quad;
    s.quad_down = false;
    s.linear_down = true;
    EXPECT_DOUBLE_EQ(baseline(1000, 2, 1000, read_baseline(s)), 0.2);
}

TEST(RandomGenerator, ValuesAreSingleGrainedInUnitInterval) {
    RandomGenerator g;
    g.reseed(-7);
    bool saw_small = false, saw_large = false;
    for (int k = 0; k < 200000; ++k) {
        const double v = g.next();
        ASSERT_GE(v, 0.0);
        ASSERT_LT(v, 1.0);
        const double scaled = v * 16777216.0;  // 2^24
        ASSERT_EQ(scaled, std::floor(scaled)) << v;
        saw_small = saw_small || v < 0.01;
        saw_large = saw_large || v > 0.99;
    }
    EXPECT_TRUE(saw_small && saw_large) << "values should spread over [0, 1)";
}

TEST(RandomGenerator, SameNegativeSeedSameSequence) {
    for (double seed : {-1.0, -12345.0, -0.5, -1e300}) {
        RandomGenerator a, b;
        a.reseed(seed);
        b.next();  // a different state before reseeding
        b.reseed(seed);
        for (int k = 0; k < 1000; ++k) ASSERT_EQ(a.next(), b.next()) << "seed " << seed << " draw " << k;
    }
    RandomGenerator a, b;
    a.reseed(-1);
    b.reseed(-2);
    int equal = 0;
    for (int k = 0; k < 100; ++k) equal += a.next() == b.next();
    EXPECT_LT(equal, 5) << "different seeds should give different sequences";
}

// The generator draws what std::mt19937 seeded with std::seed_seq{low word,
// high word} of the seed's bits draws: checked over seeds of every kind a
// user can type and over random bit patterns.
TEST(RandomGenerator, DrawsWhatTheStandardTwisterDrawsFromTheStandardSeedSequence) {
    std::mt19937_64 bits(20261209);
    std::vector<double> seeds = {0.0, -0.0, 1.0, -1.0, 4.9e-324, -2.2e-308, 1.7976931348623157e308, -1e300,
                                 std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
                                 281474976710656.0, 12345.678};
    int patterns = 0;
    while (patterns < 200) {
        const double v = std::bit_cast<double>(bits());
        seeds.push_back(v);
        ++patterns;
    }
    int finite = 0, special = 0;
    for (double seed : seeds) {
        (std::isfinite(seed) ? finite : special)++;
        RandomGenerator ours;
        ours.reseed(seed);
        const auto b = std::bit_cast<std::uint64_t>(seed == 0.0 ? 0.0 : seed);
        std::seed_seq seq{static_cast<std::uint32_t>(b), static_cast<std::uint32_t>(b >> 32)};
        std::mt19937 standard(seq);
        for (int k = 0; k < 2000; ++k) {  // past three twists of the state
            ASSERT_EQ(ours.next(), static_cast<double>(standard() >> 8) * 0x1p-24) << "seed " << seed << " draw " << k;
        }
    }
    EXPECT_GE(finite, 200);
    EXPECT_GE(special, 2);
}

TEST(Noise, ValueIsWidthTimesHalfMinusDraw) {
    for (double u : {0.1, 0.005, 2.0, -0.3}) {
        RandomGenerator g, twin;
        g.reseed(-3);
        twin.reseed(-3);
        const double low = -std::fabs(u) / 2, high = std::fabs(u) / 2;
        for (int k = 0; k < 20000; ++k) {
            const double value = noise(u, g);
            ASSERT_EQ(value, u * (0.5 - twin.next())) << "u " << u;
            // (-u/2, u/2] for a positive u, mirrored for a negative one.
            if (u > 0) {
                ASSERT_TRUE(value > low && value <= high) << value;
            } else {
                ASSERT_TRUE(value >= low && value < high) << value;
            }
        }
    }
}

// That omitted noise draws nothing, whatever the level, is the run's
// business: see Runs.NoNoiseDrawsNoValue.
TEST(Noise, ZeroWidthStillDraws) {
    RandomGenerator g, twin;
    g.reseed(-11);
    twin.reseed(-11);
    EXPECT_EQ(noise(0.0, g), 0.0);
    twin.next();
    EXPECT_EQ(g.next(), twin.next()) << "u = 0 still takes one value";
}

}  // namespace
}  // namespace elutrix
