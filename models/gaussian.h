#pragma once

namespace elutrix {

// Area-normalised Gaussian peak of standard deviation sigma centred on peak,
// evaluated at x: (1 / (sigma 2.506628275)) 2.71828182845905^(-(x-peak)^2 / (2 sigma^2)).
double gaussian(double x, double peak, double sigma);

// Retention time (minutes) of a component placed at resolution r from the
// previous component's retention time tr, for a column of N plates. A
// negative r places it before tr. void is the void time; the program always
// passes 0.
double resolution(double r, double N, double tr, double void_time);

}  // namespace elutrix
