#pragma once

#include <cstdint>
#include <random>

#include "engine/inputs.h"

namespace elutrix {

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
    double next();

private:
    std::mt19937 engine_;
};

// The one generator the whole program shares.
RandomGenerator& random_generator();

// One uniform noise value of full width u: u (0.5 - r), with r the
// generator's next value, so the result lies in (-u/2, u/2]. With the noise
// switched off it is 0 and no value is drawn.
double noise(double u, NoiseKind kind, RandomGenerator& generator = random_generator());

}  // namespace elutrix
