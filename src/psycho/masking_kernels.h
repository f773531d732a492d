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

// KernelTable::band_tops: bin by bin (band_top_step); the bands of at least BAND_TOPS_AVX2_WIDTH
// bins four lanes at a time (AVX2), the others bin by bin.
void band_tops_portable(const BandTable& bands, const double* approx, int32_t* loudest,
                        int32_t* second);
void band_tops_avx2(const BandTable& bands, const double* approx, int32_t* loudest,
                    int32_t* second);
constexpr int BAND_TOPS_AVX2_WIDTH = 4;

// One bin k of level a in the search for a band's two loudest: a bin replaces the loudest only
// when strictly louder (the old loudest becoming the runner-up), else the runner-up only when
// strictly louder than it. Taken in bin order from largest = next = -1.0 and first = second =
// -1, this leaves first the lowest bin of the largest level and second the lowest of the largest
// level among the other bins; levels of -1.0 and below and not-a-number are never taken.
struct BandTopState {
  double largest = -1.0;
  double next = -1.0;
  int first = -1;
  int second = -1;
};
[[gnu::always_inline]] inline void band_top_step(BandTopState& s, double a, int k) {
  if (a > s.largest) {
    s.second = s.first;
    s.next = s.largest;
    s.first = k;
    s.largest = a;
  } else if (a > s.next) {
    s.second = k;
    s.next = a;
  }
}

// KernelTable::mark_masked: bin by bin; eight bins in four SSE2 vectors.
int mark_masked_portable(const double* threshold, const double* approx, double margin, int k,
                         int count, int16_t* flags);
int mark_masked_sse2(const double* threshold, const double* approx, double margin, int k, int count,
                     int16_t* flags);

}  // namespace masking
}  // namespace tarn
