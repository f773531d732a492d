#pragma once
// The bin-level kernels (approximate_bin_levels in power_levels.h) and the approximate
// logarithm they share with power_levels.cpp. Internal to the transform: the forms are
// level_kernels.cpp (portable) and level_kernels_x86.cpp (SSE2, AVX2), chosen through the
// kernel table (kernels/kernel_table.h).

#include <bit>
#include <cstdint>

#include "transform/power_levels.h"

namespace tarn {
namespace levels {

// 0 dB on the level scale sits 96 dB below full scale.
constexpr double FULL_SCALE_DB = 96.0;

// The approximate logarithm: x = m 2^e with m in [1, 2); the top LOG_TABLE_BITS bits of m pick
// a centre c_i = 1 + (i + 1/2) / 2^LOG_TABLE_BITS, and
//   log2 x = e + log2 c_i + log2(1 + r),  r = m / c_i - 1 = m (1 / c_i) - 1,  |r| < 2^-8,
//   log2(1 + r) = (r - r^2/2 + r^3/3) / ln 2 + O(r^4 / 4),
// an error below 1e-10 in log2 x. Rounding adds at most a few units of 2^-52 times |log2 x|
// (below 1100 for the x it takes), so log10 x is within 1e-10 and the level, 10 log10 x, within
// 1e-9 dB of the exact value; the library's log10 is within a few units in the last place of
// it too.
constexpr int LOG_TABLE_BITS = 7;
constexpr int LOG_TABLE_SIZE = 1 << LOG_TABLE_BITS;
constexpr double LOG10_2 = 0.30102999566398119521;
constexpr double INV_LN_2 = 1.4426950408889634074;
// Beyond these the level is certain: below 1e-11, 10 log10 x < -110 and the level is under the
// floor; above 1e300 the exact computation is left to bin_level (it happens to no real block).
constexpr double APPROX_MIN_ARGUMENT = 1e-11;
constexpr double APPROX_MAX_ARGUMENT = 1e300;

struct LogTable {
  double log2_centre[LOG_TABLE_SIZE];
  double inverse_centre[LOG_TABLE_SIZE];
  // The same two values side by side, {inverse_centre[i], log2_centre[i]}: one 16-byte load per
  // bin for the AVX2 kernel.
  alignas(16) double pairs[LOG_TABLE_SIZE][2];
};
// Built on first use, thread-safely, and only read afterwards (power_levels.cpp).
const LogTable& log_table();

// log10 x for a positive normal x, to within 1e-10 (for every x the callers pass,
// APPROX_MIN_ARGUMENT and up), with t = log_table(). Inlined into the per-bin loops, where it
// replaces log10.
[[gnu::always_inline]] inline double approximate_log10(const LogTable& t, double x) {
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const int e = static_cast<int>(bits >> 52) - 1023;
  const int i = static_cast<int>((bits >> (52 - LOG_TABLE_BITS)) & (LOG_TABLE_SIZE - 1));
  const double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
  const double r = m * t.inverse_centre[i] - 1.0;
  const double series = r * (1.0 + r * (-0.5 + r * (1.0 / 3.0)));
  return (e + t.log2_centre[i] + series * INV_LN_2) * LOG10_2;
}

// bin_level(p, f) within APPROXIMATE_LEVEL_ERROR_DB, with t = log_table(); exact is set where
// the result is bin_level itself (see approximate_bin_levels).
[[gnu::always_inline]] inline double approximate_bin_level(const LogTable& t, double p, double f,
                                                           bool& exact) {
  const double x = p * f;
  // Not a number, zero, and everything below 1e-11 are under the floor: exactly 0.0. (A p of 0
  // is 0.0 by rule even where f is infinite.)
  if (!(x >= APPROX_MIN_ARGUMENT) || p == 0.0) {
    exact = true;
    return 0.0;
  }
  if (x > APPROX_MAX_ARGUMENT) {
    exact = true;
    return bin_level(p, f);
  }
  exact = false;
  const double level = FULL_SCALE_DB + 10.0 * approximate_log10(t, x);
  return level < 0.0 ? 0.0 : level;
}

// One bin by the scalar code: power, approximation and its exact flag. The vector forms take a
// group this way when one of its bins lies outside the approximation's range.
[[gnu::always_inline]] inline void approximate_one_bin(const LogTable& t, const double* re,
                                                       const double* im, int k, double f,
                                                       double* power, double* approx,
                                                       uint8_t* exact) {
  const double p = re[k] * re[k] + im[k] * im[k];
  bool e = false;
  power[k] = p;
  approx[k] = approximate_bin_level(t, p, f, e);
  exact[k] = e ? 1 : 0;
}

// approximate_bin_levels in each form: bin by bin; two bins at a time (SSE2); four (AVX2, only
// on a CPU that has it). The x86 forms exist on x86-64 only.
void bin_levels_portable(const double* re, const double* im, int n, double f, double* power,
                         double* approx, uint8_t* exact);
void bin_levels_sse2(const double* re, const double* im, int n, double f, double* power,
                     double* approx, uint8_t* exact);
void bin_levels_avx2(const double* re, const double* im, int n, double f, double* power,
                     double* approx, uint8_t* exact);

}  // namespace levels
}  // namespace tarn
