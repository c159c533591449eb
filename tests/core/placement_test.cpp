// Peak placement: derived retention times, recomputed resolutions, the
// earliest and latest components, bandwidths and heights.
#include <gtest/gtest.h>

#include <cmath>

#include "core_test_support.h"
#include "engine/placement.h"
#include "models/emg.h"
#include "models/gaussian.h"

namespace elutrix {
namespace {

using testing::row;

PeakPlacement place(ComponentTable& rows, bool constant_bandwidth = false,
                    PeakModel model = PeakModel::Gaussian) {
    SimulationSettings s = testing::plain_settings();
    s.constant_bandwidth = constant_bandwidth;
    s.peak_model = model;
    return place_peaks(rows, s);
}

// The retention time a resolution gives, as the table shows it.
std::string derived(double r, double N, const std::string& previous_time) {
    return value_text(resolution(r, N, text_value(previous_time), 0.0));
}

double recomputed(double N, const std::string& t, const std::string& previous) {
    const double a = text_value(t), b = text_value(previous);
    return (std::pow(N, 0.5) / 2) * ((a - b) / (b + a));
}

TEST(Placement, ResolutionOfTwoTypedTimes) {
    ComponentTable rows;
    rows[0] = row(true, "1", "1", "10000", "", "7");
    rows[1] = row(true, "2", "1", "10000", "", "3");
    place(rows);
    EXPECT_EQ(rows[1].resolution, value_text(50.0 / 3.0));
    EXPECT_EQ(rows[1].resolution, "16.6666666666667");
    EXPECT_EQ(rows[0].resolution, "7") << "row 0's resolution is never written";
    EXPECT_EQ(rows[1].retention_time, "2");
}

struct DerivationCase {
    const char* name;
    double r;
    const char* previous_time;
    bool previous_enabled;
    const char* typed_time;  // "" or "0": derived
    const char* response;
    const char* expected_response;
};

TEST(Placement, RetentionTimeFromResolution) {
    const DerivationCase cases[] = {
        {"positive", 1.5, "1", true, "", "", "1"},
        {"negative places it before", -1.5, "2", true, "", "", "1"},
        {"typed 0 counts as empty", 1.5, "1", true, "0", "", "1"},
        {"typed 0.0 counts as empty", 4.0, "3", true, "0.0", "", "1"},
        {"response kept", 2.0, "1", true, "", "2.5", "2.5"},
        {"response 0 replaced", 2.0, "1", true, "", "0", "1"},
        {"disabled previous row with time 5", 1.5, "5", false, "", "", "1"},
        {"large resolution", 40.0, "1", true, "", "3", "3"},
    };
    for (const DerivationCase& c : cases) {
        SCOPED_TRACE(c.name);
        ComponentTable rows;
        rows[0] = row(true, "0.5", "1", "10000");
        rows[1] = row(c.previous_enabled, c.previous_time, "1", "10000", "", "9");
        rows[2] = row(true, c.typed_time, c.response, "10000", "", value_text(c.r));
        const PeakPlacement p = place(rows);

        const std::string expected_time = derived(c.r, 10000, c.previous_time);
        EXPECT_EQ(rows[2].retention_time, expected_time);
        EXPECT_EQ(p.peaks[2].peak, text_value(expected_time) * 60);
        EXPECT_EQ(rows[2].relative_response, c.expected_response);
        if (c.r < 0) {
            EXPECT_LT(text_value(rows[2].retention_time), text_value(c.previous_time));
        } else {
            EXPECT_GT(text_value(rows[2].retention_time), text_value(c.previous_time));
        }
        // Rewritten from the two times: the typed value up to the rounding of the texts.
        EXPECT_EQ(rows[2].resolution, value_text(recomputed(10000, rows[2].retention_time, c.previous_time)));
        EXPECT_NEAR(text_value(rows[2].resolution), c.r, 1e-11 * std::fabs(c.r));
        if (!c.previous_enabled) {
            EXPECT_EQ(rows[1].resolution, "9") << "a disabled row's resolution is never written";
        }
    }
}

TEST(Placement, ChainOfResolutions) {
    ComponentTable rows;
    rows[0] = row(true, "1", "1", "10000");
    rows[1] = row(true, "", "", "10000", "", "1.5");
    rows[2] = row(true, "", "", "2500", "", "2");
    rows[3] = row(true, "", "", "100000", "", "-1");
    const PeakPlacement p = place(rows);

    const std::string t1 = derived(1.5, 10000, "1");
    const std::string t2 = derived(2, 2500, t1);
    const std::string t3 = derived(-1, 100000, t2);
    EXPECT_EQ(rows[1].retention_time, t1);
    EXPECT_EQ(rows[2].retention_time, t2);
    EXPECT_EQ(rows[3].retention_time, t3);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(rows[i].relative_response, "1");
        EXPECT_EQ(p.peaks[i].peak, text_value(rows[i].retention_time) * 60);
    }
    EXPECT_NEAR(text_value(rows[3].resolution), -1.0, 1e-11);
    EXPECT_EQ(p.latest_row, 2);
    EXPECT_EQ(p.latest_tr, text_value(t2));
}

TEST(Placement, SecondRunTreatsDerivedTimeAsTyped) {
    ComponentTable rows;
    rows[0] = row(true, "1", "1", "10000");
    rows[1] = row(true, "", "", "10000", "", "1.5");
    rows[2] = row(true, "", "2", "10000", "", "3");
    const PeakPlacement first = place(rows);
    const ComponentTable after_first = rows;

    const PeakPlacement second = place(rows);
    for (int i = 0; i < component_count; ++i) {
        EXPECT_EQ(rows[i].retention_time, after_first[i].retention_time);
        EXPECT_EQ(rows[i].relative_response, after_first[i].relative_response);
        EXPECT_EQ(second.peaks[i].peak, first.peaks[i].peak);
        EXPECT_EQ(second.peaks[i].sigma, first.peaks[i].sigma);
        EXPECT_EQ(second.peaks[i].height, first.peaks[i].height);
    }

    // A resolution typed later leaves the time alone and is rewritten.
    rows[1].resolution = "5";
    place(rows);
    EXPECT_EQ(rows[1].retention_time, after_first[1].retention_time);
    EXPECT_EQ(rows[1].resolution, after_first[1].resolution);
    // Emptying the time derives it again.
    rows[1].retention_time = "";
    rows[1].resolution = "5";
    place(rows);
    EXPECT_EQ(rows[1].retention_time, derived(5, 10000, "1"));
}

TEST(Placement, RowZeroNeverDerivesItsTime) {
    ComponentTable rows;
    rows[0] = row(true, "", "1", "10000", "", "2");
    const PeakPlacement p = place(rows);
    EXPECT_EQ(rows[0].retention_time, "");
    EXPECT_EQ(rows[0].resolution, "2");
    EXPECT_EQ(p.peaks[0].peak, 0.0);
    EXPECT_EQ(p.latest_tr, 0.0);
}

struct ExtremesCase {
    const char* name;
    const char* times[4];    // rows 0 to 3, all enabled
    bool enabled[4];
    int first_row, latest_row;
    double latest_tr;
};

TEST(Placement, EarliestAndLatestRows) {
    const ExtremesCase cases[] = {
        {"ascending", {"1", "2", "3", "4"}, {true, true, true, true}, 0, 3, 4},
        {"tie for latest: lower index", {"3", "5", "5", "1"}, {true, true, true, true}, 3, 1, 5},
        {"tie for earliest: lower index", {"2", "1", "4", "1"}, {true, true, true, true}, 1, 2, 4},
        {"disabled rows never count", {"9", "2", "0.5", "3"}, {false, true, false, true}, 1, 3, 3},
        {"no enabled row", {"9", "2", "0.5", "3"}, {false, false, false, false}, 0, 0, 0},
    };
    for (const ExtremesCase& c : cases) {
        ComponentTable rows;
        for (int i = 0; i < 4; ++i) rows[i] = row(c.enabled[i], c.times[i], "1", "10000");
        const PeakPlacement p = place(rows);
        EXPECT_EQ(p.first_row, c.first_row) << c.name;
        EXPECT_EQ(p.latest_row, c.latest_row) << c.name;
        EXPECT_EQ(p.latest_tr, c.latest_tr) << c.name;
    }
}

TEST(Placement, Bandwidths) {
    struct Case {
        bool constant;
        double sigma0, sigma1;
    };
    for (const Case& c : {Case{true, 0.6, 0.6}, Case{false, 0.6, 2.4}}) {
        ComponentTable rows;
        rows[0] = row(true, "1", "1", "10000");
        rows[1] = row(true, "4", "1", "10000");
        const PeakPlacement p = place(rows, c.constant);
        EXPECT_DOUBLE_EQ(p.peaks[0].sigma, c.sigma0) << "constant " << c.constant;
        EXPECT_DOUBLE_EQ(p.peaks[1].sigma, c.sigma1) << "constant " << c.constant;
    }
    // Under constant bandwidth each row still divides by its own plate count.
    ComponentTable rows;
    rows[0] = row(true, "4", "1", "10000");
    rows[1] = row(true, "1", "1", "2500");
    rows[2] = row(true, "2", "1", "");
    const PeakPlacement p = place(rows, true);
    EXPECT_EQ(p.first_row, 1);
    EXPECT_DOUBLE_EQ(p.peaks[0].sigma, 0.6);
    EXPECT_DOUBLE_EQ(p.peaks[1].sigma, 1.2);
    EXPECT_EQ(p.peaks[2].sigma, 0.0) << "an empty plate count gives no bandwidth";
    EXPECT_EQ(p.peaks[2].height, 0.0);
}

TEST(Placement, EmptyFirstTimeUnderConstantBandwidth) {
    ComponentTable rows;
    rows[0] = row(true, "", "1", "10000");
    rows[1] = row(true, "2", "1", "10000");
    const PeakPlacement p = place(rows, true);
    EXPECT_EQ(p.first_row, 0);
    for (const PlacedPeak& peak : p.peaks) {
        EXPECT_EQ(peak.sigma, 0.0);
        EXPECT_EQ(peak.height, 0.0);
    }
    EXPECT_EQ(p.ymax, 0.0);
    EXPECT_EQ(p.ymin, 1e100);
    EXPECT_EQ(rows[1].resolution, value_text(std::sqrt(10000.0) / 2));
}

TEST(Placement, TallestAndSmallestPeaks) {
    struct Case {
        const char* name;
        const char* responses[3];
        bool enabled[3];
        const char* plates[3];
        int ymax_row;  // -1: ymax stays 0
        int ymin_row;  // -1: ymin stays 1E+100
    };
    const Case cases[] = {
        {"three peaks", {"1", "3", "2"}, {true, true, true}, {"10000", "10000", "10000"}, 1, 2},
        {"negative response is the smallest, never the tallest",
         {"-1", "0.5", "2"},
         {true, true, true},
         {"10000", "10000", "10000"},
         2,
         0},
        {"only negative responses", {"-1", "-2", "-0.5"}, {true, true, true}, {"10000", "10000", "10000"}, -1, 0},
        {"disabled rows do not count", {"5", "1", "0.1"}, {false, true, false}, {"10000", "10000", "10000"}, 1, 1},
        {"rows without bandwidth do not count", {"5", "1", "0.1"}, {true, true, true}, {"", "10000", "0"}, 1, 1},
        {"no row with a bandwidth", {"5", "1", "0.1"}, {true, true, true}, {"", "", ""}, -1, -1},
    };
    for (const Case& c : cases) {
        ComponentTable rows;
        for (int i = 0; i < 3; ++i) rows[i] = row(c.enabled[i], std::to_string(i + 1), c.responses[i], c.plates[i]);
        const PeakPlacement p = place(rows);
        for (int i = 0; i < 3; ++i) {
            const double sigma = text_value(c.plates[i]) == 0 ? 0.0 : (i + 1) * 60.0 / 100.0;
            const double expected = sigma == 0 ? 0.0 : text_value(c.responses[i]) / (sigma * 2.506628275);
            EXPECT_NEAR(p.peaks[i].height, expected, 1e-15) << c.name << " row index " << i;
        }
        EXPECT_EQ(p.ymax, c.ymax_row < 0 ? 0.0 : p.peaks[c.ymax_row].height) << c.name;
        EXPECT_EQ(p.ymin, c.ymin_row < 0 ? 1e100 : p.peaks[c.ymin_row].height) << c.name;
    }
}

TEST(Placement, HeightsUnderTheExponentiallyModifiedModel) {
    ComponentTable rows;
    rows[0] = row(true, "1", "2", "10000", "1");
    rows[1] = row(true, "2", "3", "10000", "0");
    rows[2] = row(true, "3", "1", "10000", "");
    rows[3] = row(true, "4", "1", "10000", "-0.5");
    const PeakPlacement p = place(rows, false, PeakModel::ExponentiallyModifiedGaussian);
    // The retention time in minutes is both x and peak, over a sigma in seconds.
    EXPECT_EQ(p.peaks[0].height, 2 * emg(1, 1, 0.6, 1));
    EXPECT_NE(p.peaks[0].height, 2 * emg(60, 60, 0.6, 1));
    EXPECT_EQ(p.peaks[3].height, 1 * emg(4, 4, p.peaks[3].sigma, -0.5));
    // tau 0 or empty: the Gaussian height.
    EXPECT_EQ(p.peaks[1].height, 3 * gaussian(2, 2, p.peaks[1].sigma));
    EXPECT_EQ(p.peaks[2].height, 1 * gaussian(3, 3, p.peaks[2].sigma));
    EXPECT_EQ(p.peaks[1].tau, 0.0);
    EXPECT_EQ(p.peaks[3].tau, -0.5);
}

TEST(Placement, DisabledRowsAreStillPlaced) {
    ComponentTable rows;
    rows[0] = row(true, "1", "1", "10000");
    rows[1] = row(false, "5", "100", "10000", "2", "8");
    const PeakPlacement p = place(rows);
    EXPECT_EQ(p.peaks[1].peak, 300.0);
    EXPECT_DOUBLE_EQ(p.peaks[1].sigma, 3.0);
    EXPECT_EQ(p.peaks[1].tau, 2.0);
    EXPECT_EQ(p.peaks[1].height, 100 * gaussian(5, 5, p.peaks[1].sigma));
    EXPECT_EQ(rows[1].resolution, "8");
    EXPECT_EQ(p.latest_row, 0);
    EXPECT_EQ(p.latest_tr, 1.0);
    EXPECT_EQ(p.ymax, p.peaks[0].height);
    EXPECT_EQ(p.ymin, p.peaks[0].height);
}

}  // namespace
}  // namespace elutrix
