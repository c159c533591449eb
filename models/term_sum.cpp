#include "models/term_sum.h"

#include <cassert>
#include <cmath>
#include <limits>

#include "models/float_bits.h"

namespace elutrix::fast {

namespace {

// A term p absorbs its predecessors whole when all of them lie below
// 2^(floor(low_p) - 58): fewer than 16 = 2^4 of them sum to less than
// 2^(floor(low_p) - 54), below half the gap around term p (at least
// 2^(floor(low_p) - 54), see half_gap_log2), so adding term p to their sum
// gives term p alone, whatever they are.
constexpr double swamped_predecessors = 58.0;

// The sum of fewer than 16 bounds 2^high, computed with exp2 and added in
// doubles, and then multiplied by this, lies above their exact sum: the
// roundings, 2^-53 each, add up to far less than 2^-40.
constexpr double bound_sum_round_up = 1.0 + 0x1p-40;

const PointRange& range_of(const Term& term) {
    return std::visit([](const auto& t) -> const PointRange& { return t.range; }, term);
}

}  // namespace

void TermSum::add(const Term& term) {
    assert(terms_.size() < max_terms);
    terms_.push_back(term);
}

void TermSum::sum_block(long long first, std::size_t count, const double* x, double* sums) const {
    if (count == 0) return;
    assert(count <= block_points);
    const long long last = first + static_cast<long long>(count) - 1;

    // The terms that are not exactly 0 throughout the block, with bounds
    // that hold at every one of its points.
    std::array<double, max_terms> low;
    std::array<double, max_terms> high;
    std::array<std::size_t, max_terms> which;
    std::size_t m = 0;
    for (std::size_t k = 0; k < terms_.size(); ++k) {
        const Term& term = terms_[k];
        const PointRange& range = range_of(term);
        // Outside its range, or with an upper bound of 2^-infinity, a term is
        // exactly +-0, and adding it leaves the running sum unchanged: the
        // sum starts at +0 and so is never -0.
        if (range.last < first || range.first > last) continue;
        const MagnitudeBounds b = std::visit([&](const auto& t) { return t.log2_bounds(x[0], x[count - 1]); }, term);
        if (b.high == minus_infinity) continue;
        low[m] = b.low;
        high[m] = b.high;
        which[m] = k;
        ++m;
    }

    // The last term p that absorbs its predecessors whole: the sums start
    // there.
    std::size_t from = 0;
    {
        std::array<double, max_terms> before;  // largest upper bound before; NaN counts as +infinity
        double largest = minus_infinity;
        for (std::size_t q = 0; q < m; ++q) {
            before[q] = largest;
            if (!(high[q] <= largest)) largest = std::isnan(high[q]) ? std::numeric_limits<double>::infinity() : high[q];
        }
        for (std::size_t p = m; p-- > 1;) {
            if (low[p] != minus_infinity && before[p] <= std::floor(low[p]) - swamped_predecessors) {
                from = p;
                break;
            }
        }
    }

    // Leading terms far below the largest term are left out as well, with
    // their bound carried as the distance by which the plain sum may differ;
    // each later addition then checks whether that distance vanishes in its
    // rounding (add_checked). The few points where it has not vanished at the
    // end are summed again without leaving anything out.
    std::size_t skip = from;
    double delta = 0.0;
    {
        double largest_low = minus_infinity;
        for (std::size_t q = 0; q < m; ++q) {
            if (low[q] > largest_low) largest_low = low[q];
        }
        std::size_t lead = 0;
        while (lead + 1 < m && high[lead] <= largest_low - trial_margin_) ++lead;
        if (lead > from) {
            skip = lead;
            // Their plain sum is below the sum of their bounds, rounded up.
            for (std::size_t q = 0; q < lead; ++q) delta += std::exp2(high[q]);
            delta *= bound_sum_round_up;
        }
    }

    // Term by term over the block: every point still receives its terms in
    // row order, only the points are interleaved.
    std::array<double, block_points> deltas;
    for (std::size_t j = 0; j < count; ++j) {
        sums[j] = 0.0;
        deltas[j] = delta;
    }
    for (std::size_t q = skip; q < m; ++q) {
        std::visit([&](const auto& t) { t.add_block(first, count, x, sums, deltas.data(), high[q]); },
                   terms_[which[q]]);
    }
    for (std::size_t j = 0; j < count; ++j) {
        if (deltas[j] == 0.0) continue;
        const long long i = first + static_cast<long long>(j);
        double sum = 0.0;
        for (std::size_t q = from; q < m; ++q) {
            const Term& term = terms_[which[q]];
            if (!range_of(term).contains(i) || absorbs(sum, high[q])) continue;
            sum += std::visit([&](const auto& t) { return t(x[j]); }, term);
        }
        sums[j] = sum;
    }
}

double TermSum::at(long long i, double x) const {
    double sum = 0.0;
    sum_block(i, 1, &x, &sum);
    return sum;
}

}  // namespace elutrix::fast
