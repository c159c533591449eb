// Per-component evaluators for the synthesis loop. Each gives, at every x,
// exactly the double that relative response x gaussian(...) or
// relative response x emg(...) gives, bit for bit; they only compute once
// what does not change from point to point and skip work whose result is
// provably exactly zero.
#pragma once

namespace elutrix::fast {

// erf(x) of the EMG model, with ln Gamma(0.5) computed once and the series
// ended as soon as a term no longer changes its sum.
double erf(double x);

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

class GaussianTerm {
public:
    GaussianTerm(double a, double peak, double sigma, const Grid& grid);
    double operator()(double x) const;
    PointRange range;  // outside it the term is exactly 0

private:
    double a_, peak_, c_, s_;
};

class EmgTerm {
public:
    EmgTerm(double a, double peak, double sigma, double tau, const Grid& grid);
    double operator()(double x) const;
    PointRange range;  // outside it the term is exactly 0

private:
    double a_, peak_, sigma_, tau_, abs_tau_;
    double sigma_over_tau_;  // sigma / tau for a tailing peak, sigma / |tau| for a fronting one
    double e_offset_;        // sigma^2 / (tau (tau 2)), the part of the exponent that does not move
    double erf_w_;
    double scale_;           // 1 / (sqrt(pi) |tau|)
};

// Whether a component with these parameters can be evaluated without an
// overflow that would make a zero term non-zero (an infinite scale factor
// times an exact zero). Runs check it before evaluating.
bool gaussian_term_is_finite(double a, double sigma);
bool emg_term_is_finite(double a, double sigma, double tau);

}  // namespace elutrix::fast
