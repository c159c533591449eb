// The trace the export benchmarks write: a Gaussian peak at 25 min sampled at
// 1000 points per second over 16.7 min of a run, with uniform noise, so
// ordinary doubles with long digit strings.
#pragma once

#include <cmath>
#include <memory>
#include <random>

#include "engine/synthesis.h"

namespace elutrix::bench {

inline std::unique_ptr<Trace> noisy_peak_trace() {
    auto trace = std::make_unique<Trace>();
    std::mt19937 engine(12345);
    std::uniform_real_distribution<double> noise(-0.0005, 0.0005);
    const double centre = 500.0;
    const double sigma = 4.0;
    const double height = 1.0 / (sigma * 2.506628275);
    for (std::int32_t i = 1; i <= Trace::capacity; ++i) {
        const double t = i / 1000.0;
        const double z = (t - centre) / sigma;
        trace->export_points[i] = {t, height * std::exp(-0.5 * z * z) + noise(engine)};
    }
    trace->point_count = Trace::capacity;
    return trace;
}

}  // namespace elutrix::bench
