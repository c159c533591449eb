#pragma once

#include <cstdint>
#include <random>

namespace elutrix {

// The noise of a run: none, a value of its own at every point, or drift
// (the running sum of those values).
enum class NoiseKind { omit, random, random_walk };

// The program's uniform random generator: values in [0, 1) with the
// granularity of a single-precision number (24 random bits).
class RandomGenerator {
public:
    RandomGenerator();
    // Restarts the sequence from a negative number; afterwards the sequence
    // depends only on that number.
    void reseed(double v);
    // Starts a sequence that differs from run to run.
    void randomize();
    // The top 24 bits of a 32-bit draw, scaled by 2^-24: a float-grained
    // value in [0, 1).
    double next() { return static_cast<double>(engine_() >> 8) * 0x1p-24; }

private:
    std::mt19937 engine_;
};

// The one generator the whole program shares.
RandomGenerator& random_generator();

// One uniform noise value of full width u: u (0.5 - r), with r the
// generator's next value, so the result lies in (-u/2, u/2]. Called only
// while noise is on: a run without noise draws no value at all.
inline double noise(double u, RandomGenerator& generator = random_generator()) {
    const double r = generator.next();
    const double d = 0.5 - r;
    return u * d;
}

}  // namespace elutrix
