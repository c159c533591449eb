// The ground truth: Gaussian peaks against their closed forms, exponentially
// modified peaks against a dense numeric scan of the model made here, and
// the noise figures against the trace.
#include <gtest/gtest.h>

#include <limits>

#include <cmath>
#include <numbers>

#include "generate/ground_truth.h"
#include "generate_test_support.h"
#include "models/emg.h"
#include "models/gaussian.h"

namespace elutrix::generate {
namespace {

using testing::run_scenario;
using testing::scenario_of;

void expect_relative(double got, double want, double tolerance, const char* what) {
    EXPECT_LE(std::fabs(got - want), tolerance * std::fabs(want)) << what << ": " << got << " against " << want;
}

// Half-widths of a Gaussian at a fraction f of its height: sigma sqrt(2 ln(1/f)).
double gaussian_half_width(double sigma, double f) { return sigma * std::sqrt(2.0 * std::log(1.0 / f)); }

struct GaussianCase {
    const char* name;
    const char* json;
    int row;           // 0-based row of the peak checked
    double a;          // relative response
    double tr;         // retention time, min
    double plates;     // N
};

TEST(GroundTruth, GaussianPeaksMeetTheirClosedForms) {
    const std::vector<GaussianCase> cases = {
        {"factory", "{}", 0, 1.0, 1.0, 10000},
        {"typical GC, later and larger",
         R"({"rows": [{"retention_time": 5, "relative_response": 2.5}], "settings": {"efficiency": "gc"}})", 0, 2.5,
         5.0, 100000},
        {"a dip", R"({"rows": [{"retention_time": 2, "relative_response": -1}]})", 0, -1.0, 2.0, 10000},
        {"tau 0 under the exponentially modified model",
         R"({"rows": [{"tau": 0}], "settings": {"peak_model": "ExponentiallyModifiedGaussian"}})", 0, 1.0, 1.0, 10000},
        {"the later of two, custom plates",
         R"({"rows": [{"retention_time": 1}, {"enabled": true, "retention_time": 3, "relative_response": 0.5}],
             "settings": {"efficiency": "custom", "custom_plates": "2500"}})",
         1, 0.5, 3.0, 2500},
    };
    for (const GaussianCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RunOutput run = run_scenario(scenario_of(c.json));
        ASSERT_TRUE(run.ok) << run.message;
        const auto peak = std::find_if(run.peaks.begin(), run.peaks.end(), [&](const PeakTruth& p) { return p.row == c.row; });
        ASSERT_NE(peak, run.peaks.end());
        const PeakTruth& p = *peak;
        const double sigma = c.tr * 60.0 / std::sqrt(c.plates);
        EXPECT_EQ(p.model, PeakModel::Gaussian);
        expect_relative(p.sigma_s, sigma, 1e-15, "sigma");
        ASSERT_TRUE(p.has_apex);
        EXPECT_EQ(p.apex_time_min, c.tr);
        expect_relative(p.apex_height, c.a / (sigma * 2.506628275), 1e-15, "height");
        const double w50 = 2.0 * gaussian_half_width(sigma, 0.5) / 60.0;
        expect_relative(p.widths[0].width(), w50, 1e-9, "half-height width");
        expect_relative(p.widths[0].width(), 2.35482 * sigma / 60.0, 1e-5, "half-height width as 2.35482 sigma");
        expect_relative(p.widths[1].width(), 2.0 * gaussian_half_width(sigma, 0.1) / 60.0, 1e-9, "10 % width");
        expect_relative(p.widths[2].width(), 2.0 * gaussian_half_width(sigma, 0.05) / 60.0, 1e-9, "5 % width");
        for (const PeakWidth& w : p.widths) expect_relative(w.lead, w.trail, 1e-9, "symmetry");
        EXPECT_NEAR(p.tailing, 1.0, 1e-9);
        EXPECT_NEAR(p.asymmetry, 1.0, 1e-9);
        expect_relative(p.plates, 5.54 * c.plates / (8.0 * std::log(2.0)), 1e-9, "plates");
        expect_relative(p.area_model, c.a / 60.0, 1e-9, "model area");
        expect_relative(p.area_trapezoid, c.a / 60.0, 1e-9, "area over the grid");
        EXPECT_EQ(p.baseline_at_apex, 0.0);
    }
}

TEST(GroundTruth, ResolutionAndBaselineOfGaussians) {
    // Row 2 placed at resolution 1.5 from row 1: the window's resolution is
    // dt / (2 (sigma1 + sigma2)), the integrator's 1.18 dt / (W1 + W2).
    const RunOutput run = run_scenario(scenario_of(
        R"({"rows": [{"retention_time": 2}, {"enabled": true, "resolution": 1.5}],
            "settings": {"baseline_shape": "linear", "baseline_percentage": 10}})"));
    ASSERT_TRUE(run.ok) << run.message;
    ASSERT_EQ(run.peaks.size(), 2u);
    EXPECT_FALSE(run.peaks[0].resolution.has_value());
    ASSERT_TRUE(run.peaks[1].resolution.has_value());
    expect_relative(*run.peaks[1].resolution, 1.5 * 2.0 * 1.18 / (2.0 * std::sqrt(2.0 * std::log(2.0))), 1e-9,
                    "resolution");
    // A linear baseline rises by 10 % of the tallest peak over the unrounded
    // point count M: at an apex, 10 % times the apex's point index over M.
    const double M = 1.5 * ((run.peaks[1].retention_time_min * 60.0) * 20.0);
    ASSERT_TRUE(run.time_step_s.has_value());
    for (const PeakTruth& p : run.peaks) {
        ASSERT_TRUE(p.baseline_at_apex.has_value());
        const double index = p.apex_time_min * 60.0 / *run.time_step_s;
        expect_relative(*p.baseline_at_apex, run.placement.ymax * 0.1 * index / M, 1e-12, "baseline at the apex");
    }
}

// What a dense scan of a x emg(x, peak, sigma, tau) finds: the top, the
// crossings of each fraction of it, and the area.
struct Scan {
    double apex = 0.0, height = 0.0;
    double lead[3] = {}, trail[3] = {};
    double area = 0.0;
};

Scan dense_scan(double a, double peak, double sigma, double tau, double lo, double hi) {
    const auto f = [&](double x) { return a * emg(x, peak, sigma, tau); };
    const auto h = [&](double x) { return a < 0 ? -f(x) : f(x); };
    Scan s;
    // The top: every 1/100 000 of the span, then every 1/20 000 of the
    // best sample's neighbourhood.
    double best = lo;
    const double coarse = (hi - lo) / 100000.0;
    for (double x = lo; x <= hi; x += coarse)
        if (h(x) > h(best)) best = x;
    const double fine = 4.0 * coarse / 20000.0;
    for (double x = best - 2.0 * coarse, from = best; x <= from + 2.0 * coarse; x += fine)
        if (h(x) > h(best)) best = x;
    s.apex = best;
    s.height = f(best);
    // Crossings: walking out in steps of sigma / 5000, interpolated linearly.
    const double fractions[] = {0.5, 0.1, 0.05};
    const double step = sigma / 5000.0;
    for (int k = 0; k < 3; ++k) {
        const double target = fractions[k] * h(best);
        for (int side = 0; side < 2; ++side) {
            const double direction = side == 0 ? -1.0 : 1.0;
            double d = 0.0;
            while (h(best + direction * (d + step)) >= target) d += step;
            const double inside = h(best + direction * d);
            const double outside = h(best + direction * (d + step));
            const double crossing = d + step * (inside - target) / (inside - outside);
            (side == 0 ? s.lead : s.trail)[k] = crossing;
        }
    }
    // The area, by the trapezoid rule in 200 000 steps.
    const int steps = 200000;
    const double dx = (hi - lo) / steps;
    for (int i = 0; i < steps; ++i) s.area += (f(lo + i * dx) + f(lo + (i + 1) * dx)) * dx / 2.0;
    return s;
}

struct EmgCase {
    const char* name;
    double tr;      // min
    double plates;  // N
    double tau;     // s
    double a;
};

TEST(GroundTruth, ExponentiallyModifiedPeaksAgreeWithADenseScanToSixDigits) {
    const std::vector<EmgCase> cases = {
        {"tailing", 2.0, 10000, 2.0, 1.0},
        {"fronting", 2.0, 10000, -1.5, 0.7},
        {"long tail", 10.0, 10000, 25.0, 3.0},
        {"short tau", 1.0, 3600, 0.5, 1.0},
        {"near time 0, where the decay starts", 0.02, 4, 1.0, 1.0},
        {"a tailing dip", 3.0, 5000, 4.0, -2.0},
    };
    for (const EmgCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string json = "{\"rows\": [{\"retention_time\": " + value_text(c.tr) +
                                 ", \"relative_response\": " + value_text(c.a) + ", \"plates\": " + value_text(c.plates) +
                                 ", \"tau\": " + value_text(c.tau) +
                                 "}], \"settings\": {\"efficiency\": \"custom_individual\", \"peak_model\": "
                                 "\"ExponentiallyModifiedGaussian\", \"sampling_rate\": 50}}";
        const RunOutput run = run_scenario(scenario_of(json));
        ASSERT_TRUE(run.ok) << run.message;
        ASSERT_EQ(run.peaks.size(), 1u);
        const PeakTruth& p = run.peaks[0];
        EXPECT_EQ(p.model, PeakModel::ExponentiallyModifiedGaussian);
        const double peak = c.tr * 60.0;
        const double sigma = peak / std::sqrt(c.plates);
        const double reach = 40.0 * sigma + 60.0 * std::fabs(c.tau);
        // The model's decay starts at time 0: its area counts from there.
        const double lo = c.tau > 0 ? std::max(0.0, peak - reach) : peak - reach;
        const Scan s = dense_scan(c.a, peak, sigma, c.tau, lo, c.tau > 0 ? peak + reach : std::min(2.0 * peak, peak + reach));
        ASSERT_TRUE(p.has_apex);
        expect_relative(p.apex_time_min, s.apex / 60.0, 1e-6, "apex time");
        expect_relative(p.apex_height, s.height, 1e-6, "apex height");
        EXPECT_NE(p.apex_time_min, c.tr) << "the apex of an exponentially modified peak is off its retention time";
        for (int k = 0; k < 3; ++k) {
            expect_relative(p.widths[k].lead, s.lead[k] / 60.0, 1e-6, "leading half-width");
            expect_relative(p.widths[k].trail, s.trail[k] / 60.0, 1e-6, "trailing half-width");
        }
        expect_relative(p.tailing, (s.lead[2] + s.trail[2]) / (2.0 * s.lead[2]), 1e-6, "tailing factor");
        expect_relative(p.asymmetry, s.trail[1] / s.lead[1], 1e-6, "asymmetry factor");
        const double w50 = (s.lead[0] + s.trail[0]) / 60.0;
        expect_relative(p.plates, 5.54 * (s.apex / 60.0 / w50) * (s.apex / 60.0 / w50), 1e-6, "plates");
        expect_relative(p.area_model, s.area / 60.0, 1e-6, "model area");
        if (peak > 20.0 * sigma) {
            expect_relative(p.area_model, c.a * 2.0 / 1.772453851 / 60.0, 1e-9, "2 / 1.772453851");
        }

        // The grid area, from the plain model at the run's own times.
        const Trace& trace = testing::shared_trace();
        double grid_area = 0.0;
        for (std::int32_t i = 1; i < run.point_count; ++i) {
            const double f0 = c.a * emg(trace.times[i], peak, sigma, c.tau);
            const double f1 = c.a * emg(trace.times[i + 1], peak, sigma, c.tau);
            grid_area += (f0 + f1) * (trace.times[i + 1] / 60.0 - trace.times[i] / 60.0) / 2.0;
        }
        expect_relative(p.area_trapezoid, grid_area, 1e-12, "area over the grid");
    }
}

TEST(GroundTruth, FollowsTheModelAsEvaluatedWhereAShortTauBlanksItsRise) {
    // With sigma 1 s and tau 0.1 s the model gives exactly 0 from before the
    // centre to 61 s, where its sum of error functions rounds to 0, and
    // about 0.0736 at 62 s: the apex lies after 61 s.
    const RunOutput run = run_scenario(scenario_of(
        R"({"rows": [{"retention_time": 1, "plates": 3600, "tau": 0.1}],
            "settings": {"peak_model": "ExponentiallyModifiedGaussian", "efficiency": "custom_individual"}})"));
    ASSERT_TRUE(run.ok) << run.message;
    ASSERT_EQ(run.peaks.size(), 1u);
    const PeakTruth& p = run.peaks[0];
    ASSERT_TRUE(p.has_apex);
    EXPECT_EQ(emg(61.0, 60.0, 1.0, 0.1), 0.0);
    EXPECT_GT(p.apex_time_min * 60.0, 61.0);
    EXPECT_GE(p.apex_height, emg(62.0, 60.0, 1.0, 0.1));
    expect_relative(p.apex_height, emg(p.apex_time_min * 60.0, 60.0, 1.0, 0.1), 1e-12, "the model at the apex");
}

TEST(GroundTruth, ATermThatIsZeroEverywhereHasNoApex) {
    const std::vector<const char*> cases = {
        R"({"rows": [{"relative_response": 0, "resolution": 0}, {"enabled": true, "retention_time": 2, "relative_response": 1}]})",
        // sigma / tau far beyond sqrt(1200): the exponent limit blanks the peak.
        R"({"rows": [{"retention_time": 1, "plates": 3600, "tau": 0.02}],
            "settings": {"peak_model": "ExponentiallyModifiedGaussian", "efficiency": "custom_individual"}})",
    };
    for (const char* json : cases) {
        SCOPED_TRACE(json);
        const RunOutput run = run_scenario(scenario_of(json));
        ASSERT_TRUE(run.ok) << run.message;
        ASSERT_FALSE(run.peaks.empty());
        EXPECT_FALSE(run.peaks[0].has_apex);
        EXPECT_EQ(run.peaks[0].area_trapezoid, 0.0);
    }
}

// A retention time of the least double gives a sigma of the least double,
// which has no quarter to step out from. With no width to speak of, an
// exponentially modified peak is its decay alone, a e^(-t / tau) / tau
// from time 0: it falls to the fraction f of its apex after tau ln(1 / f).
// A Gaussian that narrow is infinitely high, and has no apex.
TEST(GroundTruth, ASubnormalBandwidthHasItsWidths) {
    const RunOutput emg_run = run_scenario(scenario_of(
        R"({"rows": [{"retention_time": 5e-324, "tau": 2}], "settings": {"peak_model": "ExponentiallyModifiedGaussian"}})"));
    ASSERT_TRUE(emg_run.ok) << emg_run.message;
    ASSERT_EQ(emg_run.peaks.size(), 1u);
    const PeakTruth& p = emg_run.peaks[0];
    EXPECT_EQ(p.sigma_s, std::numeric_limits<double>::denorm_min());
    ASSERT_TRUE(p.has_apex);
    for (const PeakWidth& w : p.widths) {
        expect_relative(w.trail, 2.0 * std::log(1.0 / w.fraction) / 60.0, 1e-9, "trailing half-width");
        EXPECT_LT(w.lead, 1e-40);
    }
    const RunOutput gaussian_run = run_scenario(scenario_of(R"({"rows": [{"retention_time": 5e-324}]})"));
    ASSERT_TRUE(gaussian_run.ok) << gaussian_run.message;
    ASSERT_EQ(gaussian_run.peaks.size(), 1u);
    EXPECT_FALSE(gaussian_run.peaks[0].has_apex);
}

struct NoiseCase {
    const char* name;
    const char* json;
    bool active;
    bool drift;
};

TEST(GroundTruth, NoiseFiguresAreThoseOfTheTraceLessItsNoiseFreeSignal) {
    const double ymin = gaussian(1.0, 1.0, 0.6);  // the factory peak's height
    const std::vector<NoiseCase> cases = {
        {"random, S/N 100", R"({"seed": 3, "settings": {"noise_kind": "random", "level_by_s_to_n": true, "s_to_n_percent": 100}})",
         true, false},
        {"drift by value", R"({"seed": 4, "settings": {"noise_kind": "random_walk", "level_by_value": true, "s_to_n_value": 0.001}})",
         true, true},
        {"unseeded random noise", R"({"settings": {"noise_kind": "random", "level_by_value": true, "s_to_n_value": 0.01}})",
         true, false},
        {"random noise without a level option", R"({"seed": 3, "settings": {"noise_kind": "random", "s_to_n_percent": 100}})",
         false, false},
        {"a level box reading 0", R"({"settings": {"noise_kind": "random", "level_by_value": true, "s_to_n_value": "x"}})",
         false, false},
    };
    for (const NoiseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const RunOutput run = run_scenario(scenario_of(c.json));
        ASSERT_TRUE(run.ok) << run.message;
        EXPECT_EQ(run.noise.active, c.active);
        const Trace& trace = testing::shared_trace();
        double lowest = 0.0, highest = 0.0, mean = 0.0, squares = 0.0;
        const std::int32_t n = run.point_count;
        for (std::int32_t i = 1; i <= n; ++i) {
            const double noise = trace.responses[i] - gaussian(trace.times[i], 60.0, 0.6);
            lowest = i == 1 ? noise : std::min(lowest, noise);
            highest = i == 1 ? noise : std::max(highest, noise);
            mean += noise / n;
            squares += noise * noise;
        }
        if (!c.active) {
            EXPECT_EQ(lowest, 0.0);
            EXPECT_EQ(highest, 0.0);
            continue;
        }
        if (std::string(c.name) == "random, S/N 100") {
            EXPECT_EQ(run.noise.u, ymin / 100.0);
        }
        const double sd = std::sqrt((squares - n * mean * mean) / (n - 1));
        const double rounding = 1e-15;  // of the responses, around 1
        EXPECT_NEAR(run.noise.min, lowest, rounding);
        EXPECT_NEAR(run.noise.max, highest, rounding);
        EXPECT_NEAR(run.noise.sd, sd, 1e-9 * sd);
        if (!c.drift) {
            // Uniform in (-u/2, u/2]: a standard deviation of u / sqrt(12).
            EXPECT_GE(run.noise.min, -run.noise.u / 2.0);
            EXPECT_LE(run.noise.max, run.noise.u / 2.0);
            EXPECT_NEAR(run.noise.sd, run.noise.u / std::sqrt(12.0), 0.06 * run.noise.u / std::sqrt(12.0));
        }
    }
}

}  // namespace
}  // namespace elutrix::generate
