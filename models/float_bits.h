// What the bits of a double tell about the doubles around it: when adding a
// term rounds back to the sum, how far apart the neighbours of a sum lie,
// and the checked addition that tracks how far a running sum may lie from
// the plain one. Every function here is exact: it reads exponent fields or
// uses error-free transformations, never an estimate.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace elutrix::fast {

// The fields of a binary64: 52 significand bits below an 11-bit exponent
// biased by 1023; the exponent field 0x7ff marks infinities and NaN, 0 the
// zeros and subnormals.
inline constexpr int significand_bits = 52;
inline constexpr int exponent_bias = 1023;
inline constexpr int exponent_field_infinite = 0x7ff;
// log2 of the smallest subnormal, 2^-1074: every sum of doubles is a whole
// multiple of it.
inline constexpr int smallest_subnormal_log2 = -1074;

inline int exponent_field(double v) {
    return static_cast<int>((std::bit_cast<std::uint64_t>(v) >> significand_bits) & 0x7ff);
}

// Whether the significand field is 0: v is a power of 2 (or 0 or infinite).
inline bool bare_significand(double v) {
    return (std::bit_cast<std::uint64_t>(v) & ((std::uint64_t{1} << significand_bits) - 1)) == 0;
}

// log2 of half the distance from a finite r to its nearer neighbour. For
// 2^e <= |r| < 2^(e+1) both neighbours lie 2^(e-52) away, so half of that is
// 2^(e-53); at a power of 2 the one below lies only 2^(e-53) away: 2^(e-54).
// A subnormal r counts as e = -1023, above its true exponent, which only
// makes this smaller.
inline int half_gap_log2(double r) {
    return exponent_field(r) - exponent_bias - significand_bits - (bare_significand(r) ? 2 : 1);
}

// Whether sum + t == sum for every t with |t| < 2^bound, judged from the
// exponent of sum alone; false for 0, infinities and NaN. A term below the
// half gap rounds back to the sum (round to nearest); a subnormal sum
// absorbs only zeros, since its half gap is taken below 2^-1074.
inline bool absorbs(double sum, double bound) {
    if (exponent_field(sum) == exponent_field_infinite || sum == 0.0) return false;
    return bound <= static_cast<double>(half_gap_log2(sum));
}

// 2^k for -1074 <= k <= 1023, built from its bits.
inline double power_of_two(int k) {
    if (k >= 1 - exponent_bias) {
        return std::bit_cast<double>(static_cast<std::uint64_t>(k + exponent_bias) << significand_bits);
    }
    return std::bit_cast<double>(std::uint64_t{1} << (k - smallest_subnormal_log2));
}

// A distance below which a sum of two doubles that lies so close to r
// rounds to r: half the distance to the nearer neighbour, or less; 0 for
// infinities and NaN. Sums of doubles are whole multiples of 2^-1074, so
// one closer than that to r (0 included) is r itself.
inline double half_gap(double r) {
    if (exponent_field(r) == exponent_field_infinite) return 0.0;
    const int e = half_gap_log2(r);
    return e < smallest_subnormal_log2 ? 0x1p-1074 : power_of_two(e);
}

// At least the spacing of the doubles anywhere up to |v|, and so at least
// twice the rounding error of any result up to |v|; infinity for infinities
// and NaN. The doubles in v's binade [2^e, 2^(e+1)) lie 2^(e-52) apart, and
// this gives twice that, 2^(e-51), for room (a subnormal v counts as
// e = -1022, the binade the subnormals share).
inline double spacing_up_to(double v) {
    const int field = exponent_field(v);
    if (field == exponent_field_infinite) return std::numeric_limits<double>::infinity();
    return power_of_two(std::max(field, 1) - exponent_bias - (significand_bits - 1));
}

// The rounded sum of two non-negative doubles, multiplied by this and
// rounded again, is at least their exact sum: each rounding loses a factor
// of at most 1 - 2^-53, and (1 - 2^-53)^2 (1 + 2^-50) > 1.
inline constexpr double round_up_factor = 1.0 + 0x1p-50;

// Adds t to sum as the plain loop adds it to its own running sum, which is
// known to lie within delta of sum (delta = 0: it is sum). With delta > 0,
// TwoSum (Knuth, The Art of Computer Programming, vol. 2, 4.2.2, theorem B;
// Moller 1965) gives the exact error e of the addition, r + e == sum + t
// without any rounding. The plain sum then lies within |e| + delta of r
// before its own rounding; if that is below half the gap around r, the
// plain sum rounds to r too and delta becomes 0; otherwise delta grows by
// what the two roundings can differ.
inline void add_checked(double& sum, double& delta, double t) {
    const double r = sum + t;
    if (delta != 0.0) {
        const double r_minus_sum = r - sum;
        const double e = (sum - (r - r_minus_sum)) + (t - r_minus_sum);
        const double off = (std::fabs(e) + delta) * round_up_factor;  // at least |e| + delta
        if (off < half_gap(r)) {
            delta = 0.0;
        } else {
            delta = off + spacing_up_to(std::fabs(r) + 2.0 * off);
        }
    }
    sum = r;
}

}  // namespace elutrix::fast
