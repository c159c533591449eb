// Whole runs through chromatogram: the time grid, the component, baseline
// and noise terms of every point, the write-backs, and what is drawn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "core_test_support.h"
#include "engine/chromatogram.h"
#include "models/baseline.h"

namespace elutrix {
namespace {

using testing::RecordingSurface;
using testing::row;
using Kind = RecordingSurface::Kind;

class Runs : public ::testing::Test {
protected:
    static void SetUpTestSuite() { trace_ = std::make_unique<Trace>(); }
    static void TearDownTestSuite() { trace_.reset(); }

    // One run on the shared trace; fails the test if the run stops.
    void run(ComponentTable& rows, SimulationSettings& settings) {
        surface = RecordingSurface{};
        const RunResult result = chromatogram(rows, settings, *trace_, &surface, generator);
        ASSERT_TRUE(result.ok) << result.message;
    }
    // The responses of points 1 to n of a run of these inputs.
    std::vector<double> responses_of(ComponentTable rows, SimulationSettings& settings) {
        run(rows, settings);
        return {trace().responses.begin() + 1, trace().responses.begin() + 1 + trace().point_count};
    }
    static Trace& trace() { return *trace_; }

    RecordingSurface surface;
    RandomGenerator generator;

private:
    static std::unique_ptr<Trace> trace_;
};
std::unique_ptr<Trace> Runs::trace_;

// One peak of height exactly 0.5 at 1 min (sigma 0.6 s).
ComponentTable half_height_peak() {
    ComponentTable rows;
    rows[0] = row(true, "1", "0.7519884825", "10000");
    return rows;
}

struct GridCase {
    const char* retention_time;
    const char* sampling_rate;
    double unrounded;  // 90 x retention time x sampling rate as the run computes it
    int n;
    double first, last;
};

TEST_F(Runs, TimeGrid) {
    const GridCase cases[] = {
        {"10", "20", 18000, 18000, 0.05, 900},
        {"1", "20", 1800, 1800, 0.05, 90},
        {"1", "0.027777777777777776", 2.5, 2, 45, 90},  // halves go to the even neighbour
        {"1", "0.03888888888888889", 3.5, 4, 22.5, 90},
        {"2", "0.5", 90, 90, 2, 180},
    };
    for (const GridCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "t " << c.retention_time << " sr " << c.sampling_rate);
        ASSERT_EQ(((text_value(c.retention_time) * text_value(c.sampling_rate)) * 1.5) * 60, c.unrounded);
        ComponentTable rows = factory_table();
        rows[0].retention_time = c.retention_time;
        SimulationSettings settings;
        settings.sampling_rate = c.sampling_rate;
        run(rows, settings);
        ASSERT_EQ(trace().point_count, c.n);
        EXPECT_DOUBLE_EQ(trace().times[1], c.first);
        EXPECT_EQ(trace().times[c.n], c.last);
        const double step = c.last / c.n;
        for (int i = 2; i <= c.n; ++i) ASSERT_NEAR(trace().times[i] - trace().times[i - 1], step, 1e-9 * c.last);
        EXPECT_EQ(surface.count(Kind::line), static_cast<std::size_t>(c.n));
    }
}

TEST_F(Runs, FactoryInputs) {
    ComponentTable rows = factory_table();
    rows[0].plates = "";
    SimulationSettings settings;
    run(rows, settings);
    EXPECT_EQ(rows[0].plates, "10000");
    EXPECT_EQ(trace().point_count, 1800);
    // The peak top at 60 s, 1 / (0.6 x 2.506628275) high.
    EXPECT_EQ(trace().times[1200], 60.0);
    EXPECT_DOUBLE_EQ(trace().responses[1200], 1 / (0.6 * 2.506628275));
    EXPECT_EQ(*std::max_element(&trace().responses[1], &trace().responses[1801]), trace().responses[1200]);
}

TEST_F(Runs, NoiseNeedsALevelOption) {
    for (NoiseKind kind : {NoiseKind::random, NoiseKind::random_walk}) {
        SimulationSettings settings;
        const std::vector<double> clean = responses_of(half_height_peak(), settings);
        settings.noise_kind = kind;
        settings.s_to_n_percent = "100";
        settings.s_to_n_value = "0.01";
        EXPECT_EQ(responses_of(half_height_peak(), settings), clean);
        EXPECT_EQ(settings.s_to_n_percent, "100");
        EXPECT_EQ(settings.s_to_n_value, "0.01");
        // A level box reading 0 selects no noise either.
        settings.level_by_value = true;
        settings.s_to_n_value = "0";
        EXPECT_EQ(responses_of(half_height_peak(), settings), clean);
        EXPECT_EQ(settings.s_to_n_percent, "100");
    }
}

struct NoiseCase {
    const char* name;
    NoiseKind kind;
    bool by_s_to_n;
    const char* entry;      // S/N or value, in the selected box
    double u;               // the full width that follows
    const char* write_back; // what the other box shows
};

TEST_F(Runs, NoiseFollowsTheSeededSequence) {
    const NoiseCase cases[] = {
        {"random, S/N 100", NoiseKind::random, true, "100", 0.005, "0.005"},
        {"random, value 0.01", NoiseKind::random, false, "0.01", 0.01, "50"},
        {"drift, S/N 100", NoiseKind::random_walk, true, "100", 0.005, "0.005"},
        {"drift, value 0.002", NoiseKind::random_walk, false, "0.002", 0.002, "250"},
        {"random, negative value", NoiseKind::random, false, "-0.01", -0.01, "-50"},
    };
    for (const NoiseCase& c : cases) {
        SCOPED_TRACE(c.name);
        SimulationSettings settings;
        const std::vector<double> clean = responses_of(half_height_peak(), settings);
        settings.noise_kind = c.kind;
        settings.level_by_s_to_n = c.by_s_to_n;
        settings.level_by_value = !c.by_s_to_n;
        (c.by_s_to_n ? settings.s_to_n_percent : settings.s_to_n_value) = c.entry;
        settings.use_seed = true;
        settings.seed = "42";
        const std::vector<double> noisy = responses_of(half_height_peak(), settings);
        EXPECT_EQ(c.by_s_to_n ? settings.s_to_n_value : settings.s_to_n_percent, c.write_back);
        EXPECT_EQ(c.by_s_to_n ? settings.s_to_n_percent : settings.s_to_n_value, c.entry);

        // A fresh generator from the same seed gives the noise of every point:
        // one value per point, added after the components (and, for drift,
        // summed from the first point on).
        RandomGenerator fresh;
        fresh.reseed(-42);
        ASSERT_EQ(noisy.size(), clean.size());
        double walk = 0.0;
        for (std::size_t i = 0; i < clean.size(); ++i) {
            const double v = c.u * (0.5 - fresh.next());
            walk += v;
            const double expected = clean[i] + (c.kind == NoiseKind::random_walk ? walk : v);
            ASSERT_EQ(noisy[i], expected) << "point " << i + 1;
            if (c.kind == NoiseKind::random) {
                const double half = std::fabs(c.u) / 2;
                ASSERT_LE(std::fabs(noisy[i] - clean[i]), half * (1 + 1e-9)) << "point " << i + 1;
            }
        }
        // No further value was taken.
        EXPECT_EQ(generator.next(), fresh.next());
    }
}

TEST_F(Runs, SeedGivesRepeatableNoise) {
    SimulationSettings settings;
    settings.noise_kind = NoiseKind::random;
    settings.level_by_s_to_n = true;
    settings.s_to_n_percent = "20";
    settings.use_seed = true;
    settings.seed = "7";
    const std::vector<double> a = responses_of(half_height_peak(), settings);
    EXPECT_EQ(responses_of(half_height_peak(), settings), a);
    settings.seed = "-7";  // the seed's sign does not matter
    EXPECT_EQ(responses_of(half_height_peak(), settings), a);
    settings.seed = "8";
    EXPECT_NE(responses_of(half_height_peak(), settings), a);
    settings.use_seed = false;
    const std::vector<double> b = responses_of(half_height_peak(), settings);
    EXPECT_NE(responses_of(half_height_peak(), settings), b) << "without a seed every run has new noise";
}

TEST_F(Runs, NoNoiseDrawsNoValue) {
    struct Case {
        NoiseKind kind;
        bool by_value;  // the level option "value =" selected, with this text
        const char* value;
    };
    // Random noise without a level option, and omitted noise whatever the
    // level: no value is drawn and nothing is added.
    const Case cases[] = {{NoiseKind::random, false, "0.1"},
                          {NoiseKind::omit, false, "0.1"},
                          {NoiseKind::omit, true, "0"},
                          {NoiseKind::omit, true, "0.1"},
                          {NoiseKind::omit, true, "1e300"}};
    SimulationSettings quiet;
    quiet.use_seed = true;
    quiet.seed = "5";
    const std::vector<double> clean = responses_of(half_height_peak(), quiet);
    for (const Case& c : cases) {
        SimulationSettings settings = quiet;
        settings.noise_kind = c.kind;
        settings.level_by_value = c.by_value;
        settings.s_to_n_value = c.value;
        EXPECT_EQ(responses_of(half_height_peak(), settings), clean) << c.value;
        RandomGenerator fresh;
        fresh.reseed(-5);
        EXPECT_EQ(generator.next(), fresh.next()) << "kind " << static_cast<int>(c.kind) << ", value " << c.value;
    }
}

TEST_F(Runs, ComponentModels) {
    ComponentTable two;
    two[0] = row(true, "1", "1", "10000", "0");
    two[1] = row(true, "1.2", "2", "10000", "0");
    SimulationSettings gaussian_model = testing::plain_settings();
    SimulationSettings emg_model = gaussian_model;
    emg_model.peak_model = PeakModel::ExponentiallyModifiedGaussian;
    const std::vector<double> reference = responses_of(two, gaussian_model);

    // tau 0 under the exponentially modified model: drawn as Gaussian.
    EXPECT_EQ(responses_of(two, emg_model), reference);

    // A row without bandwidth, or switched off, adds nothing.
    ComponentTable extra = two;
    extra[2] = row(true, "0.5", "5", "");
    extra[3] = row(false, "0.7", "5", "10000");
    EXPECT_EQ(responses_of(extra, gaussian_model), reference);

    // A non-zero tau changes the shape only under the modified model.
    ComponentTable tailing = two;
    tailing[0].tau = "1";
    EXPECT_EQ(responses_of(tailing, gaussian_model), reference);
    EXPECT_NE(responses_of(tailing, emg_model), reference);
}

TEST_F(Runs, BaselineIsAddedAfterTheComponents) {
    struct Case {
        BaselineShape shape;
        bool down;
    };
    for (const Case& c : {Case{BaselineShape::linear, false}, Case{BaselineShape::linear, true},
                          Case{BaselineShape::quad, false}, Case{BaselineShape::quad, true}}) {
        ComponentTable rows;
        rows[0] = row(true, "1", "1", "10000");
        rows[1] = row(true, "", "", "10000", "", "2");  // derived: the latest row's time is read from its cell
        SimulationSettings settings;
        settings.sampling_rate = "7";
        const std::vector<double> clean = responses_of(rows, settings);
        settings.baseline_shape = c.shape;
        settings.linear_down = c.down;
        settings.quad_down = c.down;
        settings.baseline_percentage = "25";
        const std::vector<double> with_baseline = responses_of(rows, settings);

        const PeakPlacement placement = place_peaks(rows, settings);
        const double T = text_value(rows[1].retention_time);
        const double M = 1.5 * ((T * 60) * 7);
        ASSERT_EQ(with_baseline.size(), clean.size());
        for (std::size_t k = 0; k < clean.size(); ++k) {
            const double i = static_cast<double>(k + 1);
            ASSERT_EQ(with_baseline[k], clean[k] + baseline(i, placement.ymax, M, read_baseline(settings)))
                << "point " << k + 1;
        }
        // The baseline would reach 25 % of the tallest peak at the unrounded
        // point count; the last point, n = 682 of M = 682.5, stops short of it.
        ASSERT_NEAR(M, 682.5, 1e-9);
        ASSERT_EQ(clean.size(), 682u);
        const double f = c.shape == BaselineShape::linear ? 682 / M : (682 / M) * (682 / M);
        ASSERT_LT(f, 0.9995);
        EXPECT_NEAR(with_baseline.back() - clean.back(), (c.down ? -0.25 : 0.25) * placement.ymax * f,
                    1e-9 * placement.ymax);
    }
}

// The height fraction, from the top edge, at which a plotted value lies.
double fraction(const RecordingSurface& surface, double y) {
    const RecordingSurface::Call* scale = surface.first(Kind::scale);
    return (y - scale->b) / (scale->d - scale->b);
}

TEST_F(Runs, PlotCallsAndExportTable) {
    struct Case {
        const char* name;
        const char* response;
        NoiseKind noise;
        BaselineShape baseline;
    };
    const Case cases[] = {
        {"single peak", "1", NoiseKind::omit, BaselineShape::flat},
        {"noise below zero", "1", NoiseKind::random, BaselineShape::flat},
        {"negative peak", "-1", NoiseKind::omit, BaselineShape::flat},
        {"falling baseline", "1", NoiseKind::omit, BaselineShape::linear},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ComponentTable rows;
        rows[0] = row(true, "1", c.response, "10000");
        SimulationSettings settings;
        settings.sampling_rate = "3";
        settings.noise_kind = c.noise;
        settings.level_by_value = true;
        settings.s_to_n_value = "0.3";
        settings.baseline_shape = c.baseline;
        settings.linear_down = true;
        settings.baseline_percentage = "300";
        run(rows, settings);
        const Trace& t = trace();
        const int n = t.point_count;
        ASSERT_GT(n, 0);
        double r_max = 0, r_min = 0;
        for (int i = 1; i <= n; ++i) {
            r_max = std::max(r_max, t.responses[i]);
            r_min = std::min(r_min, t.responses[i]);
        }
        ASSERT_NE(r_max, r_min);

        ASSERT_EQ(surface.calls.size(), static_cast<std::size_t>(n) + 4);
        EXPECT_EQ(surface.calls[0].kind, Kind::cls);
        const auto& scale = surface.calls[1];
        EXPECT_EQ(scale.kind, Kind::scale);
        EXPECT_EQ(scale.a, 0.0);
        EXPECT_EQ(scale.b, r_min);
        EXPECT_EQ(scale.c, t.times[n]);
        EXPECT_EQ(scale.d, 1.1 * r_max);
        const auto& pset = surface.calls[2];
        EXPECT_EQ(pset.kind, Kind::pset);
        EXPECT_EQ(pset.a, t.times[1]);
        EXPECT_EQ(pset.b, (r_max + r_min) - 0.9 * t.responses[1]);
        for (int i = 1; i <= n; ++i) {
            const auto& line = surface.calls[2 + i];
            ASSERT_EQ(line.kind, Kind::line);
            ASSERT_EQ(line.a, t.times[i]);
            ASSERT_EQ(line.b, (r_max + r_min) - 0.9 * t.responses[i]);
            // Every point lies between the top and bottom edges.
            const double f = fraction(surface, line.b);
            ASSERT_GE(f, 0.0);
            ASSERT_LE(f, 1.0);
            ASSERT_EQ(t.export_points[i].time, t.times[i]);
            ASSERT_EQ(t.export_points[i].response, t.responses[i]);
        }
        EXPECT_EQ(surface.calls.back().kind, Kind::finish);
    }
}

TEST_F(Runs, WhereThePeakLands) {
    struct Case {
        const char* response;
        double top_fraction;     // of the extreme response
        double zero_fraction;    // of a zero response
    };
    for (const Case& c : {Case{"1", 1.0 / 11, 10.0 / 11}, Case{"-1", 0.9, 0.0}}) {
        ComponentTable rows;
        rows[0] = row(true, "1", c.response, "10000");
        SimulationSettings settings;
        run(rows, settings);
        const std::vector<RecordingSurface::Call> lines = surface.all(Kind::line);
        // Point 1200 is the peak's centre, point 1 is far enough away to be exactly 0.
        ASSERT_EQ(trace().responses[1], 0.0);
        EXPECT_NEAR(fraction(surface, lines[1199].b), c.top_fraction, 1e-12) << c.response;
        EXPECT_NEAR(fraction(surface, lines[0].b), c.zero_fraction, 1e-12) << c.response;
    }
}

TEST_F(Runs, AllZeroRunIsDrawnFlatAndExported) {
    ComponentTable rows;
    rows[0] = row(true, "1", "1", "10000");
    SimulationSettings settings = testing::plain_settings();
    run(rows, settings);
    ASSERT_NE(trace().export_points[1200].response, 0.0);

    rows[0].relative_response = "0";
    run(rows, settings);
    ASSERT_EQ(trace().point_count, 1800);
    for (int i = 1; i <= 1800; ++i) {
        ASSERT_EQ(trace().responses[i], 0.0);
        ASSERT_EQ(trace().export_points[i].response, 0.0) << "point " << i;
        ASSERT_EQ(trace().export_points[i].time, trace().times[i]);
    }
    ASSERT_EQ(surface.count(Kind::line), 1800u);
    for (const auto& line : surface.all(Kind::line)) ASSERT_NEAR(fraction(surface, line.b), 10.0 / 11, 1e-12);
}

TEST_F(Runs, RunWithoutPointsClearsThePicture) {
    struct Case {
        const char* name;
        bool enabled;
        const char* sampling_rate;
        int n;
    };
    const Case cases[] = {
        {"no enabled row", false, "20", 0},
        {"sampling rate 0", true, "0", 0},
        {"empty sampling rate", true, "", 0},
        {"not a number", true, "fast", 0},
        {"negative sampling rate", true, "-5", -450},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ComponentTable rows = factory_table();
        SimulationSettings settings;
        run(rows, settings);
        const std::vector<TracePoint> exported(trace().export_points.begin(), trace().export_points.begin() + 1801);

        rows[0].enabled = c.enabled;
        settings.sampling_rate = c.sampling_rate;
        settings.noise_kind = NoiseKind::random;
        settings.level_by_s_to_n = true;
        settings.s_to_n_percent = "50";
        settings.s_to_n_value = "";
        run(rows, settings);
        EXPECT_EQ(trace().point_count, c.n);
        ASSERT_EQ(surface.calls.size(), 1u);
        EXPECT_EQ(surface.calls[0].kind, Kind::cls);
        EXPECT_EQ(settings.s_to_n_value, "") << "no write-back without points";
        for (int i = 0; i <= 1800; ++i) {
            ASSERT_EQ(trace().export_points[i].time, exported[i].time);
            ASSERT_EQ(trace().export_points[i].response, exported[i].response);
        }
    }
}

}  // namespace
}  // namespace elutrix
