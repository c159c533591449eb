// The first step of a run: the efficiency preset written into plate counts.
#include <gtest/gtest.h>

#include <string>

#include "core_test_support.h"
#include "engine/inputs.h"

namespace elutrix {
namespace {

struct EfficiencyCase {
    const char* name;
    bool enabled;
    const char* relative_response;
    const char* resolution;
    EfficiencyChoice choice;
    const char* custom_plates;
    const char* expected_plates;  // the row's plates start as "1234"
};

TEST(Efficiency, WritesThePresetIntoQualifyingRows) {
    using E = EfficiencyChoice;
    const EfficiencyCase cases[] = {
        {"lc", true, "1", "", E::lc, "", "10000"},
        {"gc", true, "1", "", E::gc, "", "100000"},
        {"custom number", true, "1", "", E::custom, "2500", "2500"},
        {"custom keeps a trailing blank", true, "1", "", E::custom, "2500 ", "2500 "},
        {"custom keeps the text as typed", true, "1", "", E::custom, " 2.5e3x", " 2.5e3x"},
        {"custom empty", true, "1", "", E::custom, "", ""},
        {"custom_individual", true, "1", "", E::custom_individual, "99", "1234"},
        {"response 0, no resolution", true, "0", "", E::gc, "", "1234"},
        {"empty response and resolution", true, "", "", E::gc, "", "1234"},
        {"texts without numbers", true, "x", "y", E::lc, "", "1234"},
        {"zero in other forms", true, "0.0", "0e5", E::lc, "", "1234"},
        {"resolution only", true, "", "1.5", E::gc, "", "100000"},
        {"negative resolution only", true, "", "-1.5", E::lc, "", "10000"},
        {"negative response", true, "-1", "", E::lc, "", "10000"},
        {"response with unit", true, "2 units", "", E::lc, "", "10000"},
        {"disabled with response", false, "1", "", E::gc, "", "1234"},
        {"disabled with resolution", false, "", "1.5", E::custom, "77", "1234"},
    };
    for (const EfficiencyCase& c : cases) {
        for (int index : {0, 4, 9}) {
            ComponentTable rows;
            for (ComponentRow& r : rows) r = testing::row(false, "3", "5", "42", "0.5", "2");
            rows[index] = testing::row(c.enabled, "1", c.relative_response, "1234", "1", c.resolution);
            const ComponentTable before = rows;
            SimulationSettings settings;
            settings.efficiency = c.choice;
            settings.custom_plates = c.custom_plates;

            apply_efficiency(rows, settings);

            EXPECT_EQ(rows[index].plates, c.expected_plates) << c.name << ", row index " << index;
            for (int i = 0; i < component_count; ++i) {
                const ComponentRow& r = rows[i];
                const ComponentRow& b = before[i];
                if (i != index) {
                    EXPECT_EQ(r.plates, b.plates) << c.name << ", row index " << i;
                }
                EXPECT_EQ(r.enabled, b.enabled);
                EXPECT_EQ(r.retention_time, b.retention_time) << c.name;
                EXPECT_EQ(r.relative_response, b.relative_response) << c.name;
                EXPECT_EQ(r.tau, b.tau) << c.name;
                EXPECT_EQ(r.resolution, b.resolution) << c.name;
            }
        }
    }
}

TEST(Efficiency, EveryQualifyingRowGetsTheSameText) {
    ComponentTable rows;
    rows[0] = testing::row(true, "1", "1", "5");
    rows[3] = testing::row(true, "", "", "", "", "2");
    rows[6] = testing::row(true, "4", "0", "6");  // does not qualify
    rows[9] = testing::row(true, "9", "-3", "");
    SimulationSettings settings;
    for (auto [choice, text] : {std::pair{EfficiencyChoice::gc, "100000"}, std::pair{EfficiencyChoice::lc, "10000"},
                                std::pair{EfficiencyChoice::custom, "8e3 "}}) {
        settings.efficiency = choice;
        settings.custom_plates = "8e3 ";
        apply_efficiency(rows, settings);
        for (int i : {0, 3, 9}) EXPECT_EQ(rows[i].plates, text) << "row index " << i;
        EXPECT_EQ(rows[6].plates, "6");
    }
    // Switching to individual values keeps the last written ones.
    settings.efficiency = EfficiencyChoice::custom_individual;
    apply_efficiency(rows, settings);
    EXPECT_EQ(rows[0].plates, "8e3 ");
}

}  // namespace
}  // namespace elutrix
