// Per-component evaluators for the synthesis loop. Each gives, at every x,
// exactly the double that relative response x gaussian(...) or
// relative response x emg(...) gives, bit for bit, for every argument a run
// can pass (negative, zero, subnormal, huge and infinite ones included);
// they only compute once what does not change from point to point and skip
// work whose result is provably exactly zero. TermSum adds them up as the
// plain loop does, and leaves out the terms whose addition provably rounds
// away.
//
// The proofs behind the skipping take every constant of a term as a normal
// double with a relative rounding error. A term whose bandwidth or decay
// constant lies outside [2^-300, 2^300] in magnitude, or whose response,
// centre or other constants are not finite, is evaluated the plain way: at
// every point, with no bound, so nothing of it is ever left out.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace elutrix::fast {

// erf(x) of the EMG model, with ln Gamma(0.5) computed once and the series
// ended as soon as a term no longer changes its sum.
double erf(double x);

// out[k] = erf(z[k]) for k < count, the same bits as erf: several
// evaluations run interleaved so that their divisions overlap.
void erf_many(const double* z, double* out, std::size_t count);

// The half-open-free index window [first, last] of grid points outside which
// a term is exactly zero.
struct PointRange {
    long long first = 1;
    long long last = 0;
    bool contains(long long i) const { return i >= first && i <= last; }
};

// Maps a time in seconds to grid indices of a run whose point i lies at
// step x i seconds (step = 90 x latest retention time / n).
struct Grid {
    long long n = 0;
    double step = 0.0;
    // The points whose time may lie in [lo, hi], widened by two points on
    // each side so that the rounding of the grid never loses one.
    PointRange covering(double lo, double hi) const;
};

// Whether sum + t == sum for every t with |t| < 2^bound, judged from the
// exponent of sum alone; false for 0, infinities and NaN. The doubles next
// to a sum with 2^e <= |sum| < 2^(e+1) lie 2^(e-52) away, or 2^(e-53) below
// a power of 2, so a term below half of that rounds back to the sum. A
// subnormal sum is taken as e = -1023, above its true exponent: the only
// terms it then absorbs are zeros.
inline bool absorbs(double sum, double bound) {
    const std::uint64_t b = std::bit_cast<std::uint64_t>(sum);
    const int raw = static_cast<int>((b >> 52) & 0x7ff);
    if (raw == 0x7ff || sum == 0.0) return false;
    const bool power_of_two = (b & ((std::uint64_t{1} << 52) - 1)) == 0;
    return bound <= static_cast<double>(raw - 1023 - (power_of_two ? 54 : 53));
}

// Bounds on the magnitude of a term at one x, or at every x of an interval:
// 2^low < |value| < 2^high.
// low is -infinity where no lower bound is known, high is -infinity where the
// value is exactly 0. Both lie within a few units of log2 |value|.
struct MagnitudeBounds {
    double low;
    double high;
};

class GaussianTerm {
public:
    GaussianTerm(double a, double peak, double sigma, const Grid& grid);
    double operator()(double x) const;
    // Whether the term is evaluated the plain way (see above).
    bool plain() const { return plain_; }
    // Adds the term at points first, first + 1, ... (times x[0], x[1], ...)
    // to sums[0 .. count - 1], at every point where it is not exactly 0 and
    // where adding something below 2^high could change the sum. The plain
    // running sum of point j lies within deltas[j] of sums[j]; see TermSum.
    void add_block(long long first, std::size_t count, const double* x, double* sums, double* deltas,
                   double high) const;
    // Found without the power. A term evaluated the plain way has no
    // bounds: low is -infinity and high NaN.
    MagnitudeBounds log2_bounds(double x) const;
    // Bounds that hold at every x in [x0, x1].
    MagnitudeBounds log2_bounds(double x0, double x1) const;
    PointRange range;  // outside it the term is exactly 0

private:
    // log2 of an upper bound on |value| from log2 of one on the exact power.
    double high_of(double power) const;

    bool plain_ = false;
    double a_, peak_, c_, s_;
    double zero_;       // the signed zero a (0 c) that an underflowed power gives
    double inv_s_;      // 1 / s, for the bounds only
    double log2_a_;     // log2 |a|
    double log2_c_;     // log2 |c|
    double log2_amp_;   // log2 |a| + log2 |c|
    double min_shift_;  // the smallest of 0, log2 |c| and log2 |a c|
};

class EmgTerm {
public:
    EmgTerm(double a, double peak, double sigma, double tau, const Grid& grid);
    double operator()(double x) const;
    // Whether the term is evaluated the plain way (see above).
    bool plain() const { return plain_; }
    // As GaussianTerm::add_block; the erf evaluations of the block run
    // together.
    void add_block(long long first, std::size_t count, const double* x, double* sums, double* deltas,
                   double high) const;
    // Found without erf, the power or a division; none (low -infinity, high
    // NaN) for a term evaluated the plain way.
    MagnitudeBounds log2_bounds(double x) const { return log2_bounds(x, x); }
    // Bounds that hold at every x in [x0, x1].
    MagnitudeBounds log2_bounds(double x0, double x1) const;
    PointRange range;  // outside it the term is exactly 0

private:
    // log2 of an upper bound on |value| from log2 of one on the exact power.
    double high_of(double power) const;

    bool plain_ = false;
    double a_, peak_, sigma_, tau_, abs_tau_;
    double zero_;            // a x 0, what the exponent limit gives
    double saturated_erf_z_; // erf(z) where (x - peak) sign(tau) >= z_sat_start_: the sign of sigma
    double inv_tau_;         // 1 / tau, for the bounds only
    double log2_a_;          // log2 |a|
    double log2_scale_;      // log2 scale
    double log2_amp_;        // log2 |a| + log2 scale
    double min_shift_;       // the smallest of 0, log2 scale, and log2 of 2 scale and of 2 |a| scale
    double z_sat_start_;     // |z| >= 6, so erf(z) = sign(sigma), where (x - peak) sign(tau) is at least this
    double tail_start_;      // |erf(w) + erf(z)| >= 1 where (x - peak) sign(tau) is at least this
    double sigma_over_tau_;  // sigma / tau for a tailing peak, sigma / |tau| for a fronting one
    double e_offset_;        // sigma^2 / (tau (tau 2)), the part of the exponent that does not move
    double erf_w_;
    double scale_;           // 1 / (sqrt(pi) |tau|)
};

// The running sum 0 + T1 + T2 + ... of the terms at one grid point, in the
// order they were added, equal bit for bit to the plain left-to-right sum.
// A term is evaluated only where it might change the running sum: outside
// its range it is exactly 0; where its bound lies below half the spacing of
// the doubles around the running sum, adding it rounds back to that sum;
// and the terms before one that they cannot reach by 2^-54 together vanish
// when it is added. Leading terms far below the largest one are left out
// too, on trial: every later addition checks, with its exact rounding
// error, whether the plain sum (which differs by at most their bound) rounds
// to the same double, and a point where that is not settled by the last
// term is summed again in full.
class TermSum {
public:
    // Leading terms whose bounds lie trial_margin binades below the largest
    // term's lower bound are left out on trial. The default is far enough
    // that the check almost never fails; tests use smaller margins to make
    // it fail often.
    static constexpr double default_trial_margin = 66.0;
    explicit TermSum(double trial_margin = default_trial_margin) : trial_margin_(trial_margin) {}

    static constexpr std::size_t max_terms = 16;
    void add(const GaussianTerm& term);
    void add(const EmgTerm& term);
    std::size_t size() const { return count_; }
    // The largest number of points sum_block takes at once.
    static constexpr std::size_t block_points = 32;
    // The sums at the grid points first, first + 1, ..., first + count - 1,
    // whose times are x[0] <= x[1] <= ... (count at most block_points),
    // into sums[0 .. count - 1].
    void sum_block(long long first, std::size_t count, const double* x, double* sums) const;
    // The sum at the single grid point i, whose time is x.
    double at(long long i, double x) const;

private:
    struct Entry {
        bool emg = false;
        std::size_t index = 0;
        PointRange range;
    };
    double trial_margin_;
    std::array<Entry, max_terms> entries_{};
    std::size_t count_ = 0;
    std::vector<GaussianTerm> gaussians_;
    std::vector<EmgTerm> emgs_;
};

}  // namespace elutrix::fast
