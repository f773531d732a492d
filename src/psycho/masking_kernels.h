#pragma once
// The masking pass's kernels (kernels/kernel_table.h: spread, mark_masked), internal to the
// psychoacoustic model: level_kernels.h's sibling. masking_kernels.cpp holds the portable forms,
// masking_kernels_x86.cpp the SSE2 and AVX2 ones; every form gives the same bits.

#include <cstdint>

#include "psycho/masking.h"

namespace tarn {
namespace masking {

// A contribution less than MASK_ADD_MARGIN_DB above the working threshold does not replace it
// but lifts it to MASK_ADD_BOOST_DB above the contribution: comparable contributions reinforce
// each other, which this fixed boost models. One far above simply replaces the threshold.
constexpr double MASK_ADD_MARGIN_DB = 3.0;
constexpr double MASK_ADD_BOOST_DB = 6.0;

// The spread of one bin k, as every form computes each lane: level + S first, then the offset;
// the 3 dB rule; the larger of the contribution and the threshold.
[[gnu::always_inline]] inline void spread_one(double level, const double* s, int k,
                                              double* threshold) {
  const double v = level + s[k] - MASKER_OFFSET_DB;
  const double t = threshold[k];
  const double raised = v - t < MASK_ADD_MARGIN_DB ? v + MASK_ADD_BOOST_DB : v;
  threshold[k] = v > t ? raised : t;
}

// KernelTable::spread: one bin at a time; two (SSE2); four (AVX2).
void spread_portable(double level, const double* s, int lo, int hi, double* threshold);
void spread_sse2(double level, const double* s, int lo, int hi, double* threshold);
void spread_avx2(double level, const double* s, int lo, int hi, double* threshold);

// KernelTable::mark_masked: bin by bin; eight bins in four SSE2 vectors.
int mark_masked_portable(const double* threshold, const double* approx, double margin, int k,
                         int count, int16_t* flags);
int mark_masked_sse2(const double* threshold, const double* approx, double margin, int k, int count,
                     int16_t* flags);

}  // namespace masking
}  // namespace tarn
