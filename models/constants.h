// Stored decimal constants of the peak models. They are the values the
// models have always used, not the exact mathematical ones, and every result
// depends on them to the last bit.
#pragma once

namespace elutrix::constants {

inline constexpr double e = 2.71828182845905;            // Euler's number, 15 digits
inline constexpr double root_two_pi = 2.506628275;       // sqrt(2 pi), 10 digits
inline constexpr double root_pi = 1.772453851;           // sqrt(pi), 10 digits
inline constexpr double root_two = 1.41421356237309;     // sqrt(2), 15 digits
inline constexpr double emg_exponent_limit = 600.0;      // above it the EMG value is 0

}  // namespace elutrix::constants
