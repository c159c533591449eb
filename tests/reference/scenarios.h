// Inputs of the runs that the benchmarks time and the tests check point by
// point: the factory inputs and three runs of 1,000,000 points.
#pragma once

#include <string>

#include "engine/inputs.h"

namespace elutrix::scenarios {

struct Scenario {
    const char* name;
    ComponentTable rows;
    SimulationSettings settings;
};

// Ten components at 1 to 10 min (tau 1 to 10) with 10000 plates each;
// 1111.111 points per second over the 15 min run gives 999999.9, rounded to
// 1,000,000 points.
inline Scenario ten_components(PeakModel model) {
    Scenario s{model == PeakModel::Gaussian ? "ten_gaussian_1M" : "ten_emg_1M", {}, {}};
    for (int j = 0; j < component_count; ++j) {
        s.rows[j].enabled = true;
        s.rows[j].retention_time = std::to_string(j + 1);
        s.rows[j].relative_response = "1";
        s.rows[j].tau = std::to_string(j + 1);
    }
    s.settings.peak_model = model;
    s.settings.sampling_rate = "1111.111";
    return s;
}

// One Gaussian peak at 10 min under drift at S/N 100 from a fixed seed,
// 1,000,000 points: mostly the cost of the noise.
inline Scenario drift() {
    Scenario s{"drift_1M", {}, {}};
    s.rows[0].enabled = true;
    s.rows[0].retention_time = "10";
    s.rows[0].relative_response = "1";
    s.settings.sampling_rate = "1111.111";
    s.settings.noise_kind = NoiseKind::random_walk;
    s.settings.level_by_s_to_n = true;
    s.settings.s_to_n_percent = "100";
    s.settings.use_seed = true;
    s.settings.seed = "7";
    return s;
}

inline Scenario factory() { return {"factory", factory_table(), SimulationSettings{}}; }

inline constexpr int count = 4;

inline Scenario make(int which) {
    switch (which) {
    case 0: return factory();
    case 1: return ten_components(PeakModel::Gaussian);
    case 2: return ten_components(PeakModel::ExponentiallyModifiedGaussian);
    default: return drift();
    }
}

}  // namespace elutrix::scenarios
