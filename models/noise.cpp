#include "models/noise.h"

#include <bit>
#include <chrono>

namespace elutrix {

RandomGenerator::RandomGenerator() { randomize(); }

void RandomGenerator::reseed(double v) {
    // The whole bit pattern of the number selects the sequence; -0 and 0
    // are one seed.
    if (v == 0.0) v = 0.0;
    const auto bits = std::bit_cast<std::uint64_t>(v);
    std::seed_seq seq{static_cast<std::uint32_t>(bits), static_cast<std::uint32_t>(bits >> 32)};
    engine_.seed(seq);
}

void RandomGenerator::randomize() {
    // Opened once: every unseeded run draws from it.
    static std::random_device device;
    const auto ticks = static_cast<std::uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    std::seed_seq seq{device(), device(), static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32)};
    engine_.seed(seq);
}

RandomGenerator& random_generator() {
    static RandomGenerator generator;
    return generator;
}

}  // namespace elutrix
