#pragma once
// The level conversions as stated, one logarithm per bin: the reference the tests hold the
// codec's level functions to.
//   bin level:          96 - (-10 log10(p F)),  p = re^2 + im^2,  F = 4 / ((2n)^2 P)
//   coefficient level:  96 + 10 log10((G c) c),  G = 8 / ((2n)^2 0.5)
// each 0.0 where it is negative or not a number, and 0.0 for p = 0 or c = 0.

#include <cmath>
#include <cstdint>

namespace tarn_test {

// (2n)^2 as an integer, then as a double.
inline double reference_squared_length(int n) {
  const uint64_t two_n = 2 * static_cast<uint64_t>(n);
  return static_cast<double>(two_n * two_n);
}

// levels[k] for bins 0 .. n-1 of a spectrum taken with a window of mean power window_power.
inline void reference_bin_levels(const double* re, const double* im, int n, double window_power,
                                 double* levels) {
  if (n <= 0) return;
  const double f = 4.0 / (reference_squared_length(n) * window_power);
  for (int k = 0; k < n; ++k) {
    const double p = re[k] * re[k] + im[k] * im[k];
    const double level = 96.0 - (-10.0 * std::log10(p * f));
    levels[k] = (level < 0.0 || std::isnan(level) || p == 0.0) ? 0.0 : level;
  }
}

// levels[k] for the n MDCT coefficients c of a block.
inline void reference_coefficient_levels(const double* c, int n, double* levels) {
  if (n <= 0) return;
  const double g = 8.0 / (reference_squared_length(n) * 0.5);
  for (int k = 0; k < n; ++k) {
    const double level = 96.0 + 10.0 * std::log10((g * c[k]) * c[k]);
    levels[k] = (level < 0.0 || std::isnan(level) || c[k] == 0.0) ? 0.0 : level;
  }
}

}  // namespace tarn_test
