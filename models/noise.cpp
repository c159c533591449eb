#include "models/noise.h"

#include <algorithm>
#include <bit>
#include <chrono>

namespace elutrix {

namespace {

// std::seed_seq of two words, generating what it generates by the same
// steps, without the modulo of every index: the engine's state of 624
// words is otherwise filled by some 2,500 divisions, which cost as much as
// drawing a third of a run's noise.
class TwoWordSeedSequence {
public:
    using result_type = std::uint32_t;
    TwoWordSeedSequence(std::uint32_t a, std::uint32_t b) : v_{a, b} {}

    template <class It>
    void generate(It begin, It end) const {
        const std::size_t n = static_cast<std::size_t>(end - begin);
        if (n == 0) return;
        std::fill(begin, end, 0x8b8b8b8bu);
        constexpr std::size_t s = 2;
        const std::size_t t = n >= 623 ? 11 : n >= 68 ? 7 : n >= 39 ? 5 : n >= 7 ? 3 : (n - 1) / 2;
        const std::size_t p = (n - t) / 2;
        const std::size_t q = p + t;
        const std::size_t m = std::max(s + 1, n);
        const auto T = [](std::uint32_t x) { return x ^ (x >> 27); };
        // k modulo n, for the k below m + 2n that occur.
        const auto wrap = [n](std::size_t k) {
            while (k >= n) k -= n;
            return k;
        };
        for (std::size_t k = 0; k < m; ++k) {
            const std::size_t k0 = wrap(k), kp = wrap(k + p), kq = wrap(k + q), km = wrap(k + n - 1);
            const std::uint32_t r1 = 1664525u * T(static_cast<std::uint32_t>(begin[k0] ^ begin[kp] ^ begin[km]));
            std::uint32_t r2 = r1;
            if (k == 0) {
                r2 += static_cast<std::uint32_t>(s);
            } else if (k <= s) {
                r2 += static_cast<std::uint32_t>(k0) + v_[k - 1];
            } else {
                r2 += static_cast<std::uint32_t>(k0);
            }
            begin[kp] = static_cast<std::uint32_t>(begin[kp] + r1);
            begin[kq] = static_cast<std::uint32_t>(begin[kq] + r2);
            begin[k0] = r2;
        }
        for (std::size_t k = m; k < m + n; ++k) {
            const std::size_t k0 = wrap(k), kp = wrap(k + p), kq = wrap(k + q), km = wrap(k + n - 1);
            const std::uint32_t r3 = 1566083941u * T(static_cast<std::uint32_t>(begin[k0] + begin[kp] + begin[km]));
            const std::uint32_t r4 = r3 - static_cast<std::uint32_t>(k0);
            begin[kp] = static_cast<std::uint32_t>(begin[kp] ^ r3);
            begin[kq] = static_cast<std::uint32_t>(begin[kq] ^ r4);
            begin[k0] = r4;
        }
    }

private:
    std::uint32_t v_[2];
};

}  // namespace

void MersenneTwister::refill() {
    for (std::size_t k = 0; k < n - m; ++k) state_[k] = twisted(state_[k], state_[k + 1], state_[k + m]);
    for (std::size_t k = n - m; k < n - 1; ++k) state_[k] = twisted(state_[k], state_[k + 1], state_[k + m - n]);
    state_[n - 1] = twisted(state_[n - 1], state_[0], state_[m - 1]);
    for (std::size_t k = 0; k < n; ++k) {
        std::uint32_t z = state_[k];
        z ^= z >> 11;
        z ^= (z << 7) & 0x9d2c5680u;
        z ^= (z << 15) & 0xefc60000u;
        z ^= z >> 18;
        out_[k] = z;
    }
    index_ = 0;
}

RandomGenerator::RandomGenerator() { randomize(); }

void RandomGenerator::reseed(double v) {
    // The whole bit pattern of the number selects the sequence; -0 and 0
    // are one seed. The state is that of std::seed_seq{low, high}.
    if (v == 0.0) v = 0.0;
    const auto bits = std::bit_cast<std::uint64_t>(v);
    TwoWordSeedSequence seq(static_cast<std::uint32_t>(bits), static_cast<std::uint32_t>(bits >> 32));
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
