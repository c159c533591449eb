// The running sum of a run's terms at each grid point, equal bit for bit to
// the plain left-to-right sum, evaluating a term only where it might change
// that sum.
#pragma once

#include <array>
#include <cstddef>
#include <variant>
#include <vector>

#include "models/emg_term.h"
#include "models/gaussian_term.h"
#include "models/shape_term.h"
#include "models/term_bounds.h"

namespace elutrix::fast {

// One term of a run: the window's Gaussian or exponentially modified one,
// or one of the field's tailing shapes.
using Term = std::variant<GaussianTerm, EmgTerm, ShapeTerm>;

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
    // term's lower bound 2^L are left out on trial. The default is far
    // enough that the check almost never fails: fewer than 16 such terms sum
    // below 2^(L-62), 2^-8 of the half gap 2^(L-54) around a sum as large as
    // that term, so only a sum that close to a midpoint between two doubles
    // fails it. Tests use smaller margins to make it fail often.
    static constexpr double default_trial_margin = 66.0;
    explicit TermSum(double trial_margin = default_trial_margin) : trial_margin_(trial_margin) {
        terms_.reserve(max_terms);
    }

    // The most terms a sum holds: add() requires size() < max_terms. Callers
    // bound their count at compile time (the engine adds at most one term
    // per component row, and says so with a static_assert).
    static constexpr std::size_t max_terms = 16;
    void add(const Term& term);
    std::size_t size() const { return terms_.size(); }
    // The largest number of points sum_block takes at once.
    static constexpr std::size_t block_points = fast::block_points;
    // The sums at the grid points first, first + 1, ..., first + count - 1,
    // whose times are x[0] <= x[1] <= ... (count at most block_points),
    // into sums[0 .. count - 1].
    void sum_block(long long first, std::size_t count, const double* x, double* sums) const;
    // The sum at the single grid point i, whose time is x.
    double at(long long i, double x) const;

private:
    double trial_margin_;
    std::vector<Term> terms_;
};

}  // namespace elutrix::fast
