// The fast path of a run: per-component evaluators and their sum. Each
// evaluator gives, at every x, exactly the double that relative response x
// gaussian(...) or relative response x emg(...) gives, bit for bit, for
// every argument a run can pass (negative, zero, subnormal, huge and
// infinite ones included); they only compute once what does not change from
// point to point and skip work whose result is provably exactly zero.
// TermSum adds them up as the plain loop does, and leaves out the terms
// whose addition provably rounds away.
//
//   fast_erf.h       erf with the series ended early, several values at once
//   float_bits.h     what the bits of a sum tell: absorption, gaps, TwoSum
//   term_bounds.h    the grid, ranges, magnitude bounds and named margins
//   gaussian_term.h  the Gaussian term
//   emg_term.h       the exponentially modified Gaussian term
//   shape_term.h     the field's tailing shapes, which have no plain loop
//   term_sum.h       the running sum of the terms at each point
#pragma once

#include "models/emg_term.h"
#include "models/fast_erf.h"
#include "models/gaussian_term.h"
#include "models/shape_term.h"
#include "models/term_bounds.h"
#include "models/term_sum.h"
