#pragma once
// The block coder's kernels (kernels/kernel_table.h: band_extremes, quantise_bands) and the
// scalar quantiser they share with block_coder.cpp. Internal to the coding: block_kernels.cpp
// holds the portable forms, block_kernels_x86.cpp the SSE2 ones; every form gives the same bits.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "coding/block_coder.h"
#include "format/channel_frame.h"
#include "psycho/psycho_tables.h"

namespace tarn {
namespace block {

// 2^52: from here on every double is a whole number.
constexpr double TWO_POW_52 = 4503599627370496.0;

// quantise with the step 2^(sf/4) given and bits 1 .. 16.
//
// The rounding of y = value / step to the nearest integer, halves toward zero, is symmetric:
// for y < -1/2 the rule takes ceil(y) - 1 or ceil(y) as (y - ceil(y)) < -1/2, which is minus the
// rounding of |y| (ceil(y) = -floor(|y|), y - ceil(y) = -(|y| - floor(|y|)), both exact). So
// |y| is rounded and the sign put back: floor(|y|) + 1 when the fraction exceeds one half, else
// floor(|y|), which also gives 0 for |y| <= 1/2. Below 2^52, floor(|y|) is the conversion to a
// 64-bit integer, which truncates. The same integer as the library's floor and ceil, without
// their calls or a branch on the sign (which no predictor can guess); larger magnitudes and
// values that are not numbers take the direct route.
inline uint32_t quantise_by_step(double value, double step, int bits) {
  const double m = QUANT_MAX[bits];
  const double y = value / step;
  const double magnitude = std::fabs(y);
  double q = 0.0;
  if (magnitude < TWO_POW_52) {
    const double whole = static_cast<double>(static_cast<int64_t>(magnitude));  // floor
    const double rounded = whole + (magnitude - whole > 0.5 ? 1.0 : 0.0);
    q = std::copysign(rounded, y);
  } else if (y > 0.5) {
    q = y - std::floor(y) > 0.5 ? std::ceil(y) : std::floor(y);
  } else if (y < -0.5) {
    q = y - std::ceil(y) < -0.5 ? std::floor(y) : std::ceil(y);
  }
  // Clamped while still a double, so no out-of-range value is converted to an integer.
  q = std::min(q, m);
  q = std::max(q, -m - 1.0);
  const uint32_t mask = (1u << bits) - 1u;
  return static_cast<uint32_t>(static_cast<int32_t>(q)) & mask;
}

// KernelTable::band_extremes and quantise_bands: value by value; two values at a time (SSE2);
// four at a time (AVX2).
void band_extremes_portable(const BandTable& bands, const double* c, const double* t, double* peak,
                            double* least);
void band_extremes_sse2(const BandTable& bands, const double* c, const double* t, double* peak,
                        double* least);
void band_extremes_avx2(const BandTable& bands, const double* c, const double* t, double* peak,
                        double* least);
void quantise_bands_portable(const BandTable& bands, const double* c, const uint8_t* bits,
                             const double* step, WordWriter& out);
void quantise_bands_sse2(const BandTable& bands, const double* c, const uint8_t* bits,
                         const double* step, WordWriter& out);
void quantise_bands_avx2(const BandTable& bands, const double* c, const uint8_t* bits,
                         const double* step, WordWriter& out);
// KernelTable::dequantise_bands: code by code; four codes at a time (SSE2, AVX2).
void dequantise_bands_portable(const BandTable& bands, const WordReader& in, uint32_t pos,
                               const uint8_t* bits, const double* step, double* coefficients);
void dequantise_bands_sse2(const BandTable& bands, const WordReader& in, uint32_t pos,
                           const uint8_t* bits, const double* step, double* coefficients);
void dequantise_bands_avx2(const BandTable& bands, const WordReader& in, uint32_t pos,
                           const uint8_t* bits, const double* step, double* coefficients);

}  // namespace block
}  // namespace tarn
