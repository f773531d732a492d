// The block coder's SSE2 kernels, two values at a time (every x86-64 CPU).

#if defined(__x86_64__)

#include <emmintrin.h>

#include "coding/block_kernels.h"

namespace tarn {
namespace block {

// Both results are the same doubles in any order of comparison (magnitudes are never -0.0; the
// smallest threshold can differ only in the sign of a zero, which the ratio loudest -
// most_sensitive does not see: loudest is never -0.0), and MAXPD and MINPD return their second
// operand, the running value, when either operand is not a number, as the scalar comparisons
// keep it. Bands of fewer than four bins go value by value.
void band_extremes_sse2(const BandTable& bands, const double* c, const double* t, double* peak,
                        double* least) {
  const __m128d sign = _mm_set1_pd(-0.0);
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int first = bands.bands[b].first;
    const int last = bands.bands[b].last;
    if (last < first) continue;
    double p = 0.0;
    double l = t[first];
    int k = first;
    if (last - first + 1 >= 4) {
      __m128d peak2 = _mm_setzero_pd();
      __m128d least2 = _mm_set1_pd(l);
      for (; k + 1 <= last; k += 2) {
        peak2 = _mm_max_pd(_mm_andnot_pd(sign, _mm_loadu_pd(c + k)), peak2);
        least2 = _mm_min_pd(_mm_loadu_pd(t + k), least2);
      }
      peak2 = _mm_max_pd(_mm_unpackhi_pd(peak2, peak2), peak2);
      least2 = _mm_min_pd(_mm_unpackhi_pd(least2, least2), least2);
      p = _mm_cvtsd_f64(peak2);
      l = _mm_cvtsd_f64(least2);
    }
    for (; k <= last; ++k) {
      const double a = std::fabs(c[k]);
      if (a > p) p = a;
      if (t[k] < l) l = t[k];
    }
    peak[b] = p;
    least[b] = l;
  }
}

// Each lane divides as the scalar code does and then decides the same integer without
// branches: a quotient that is not a number becomes +0.0 (the scalar code's 0); magnitudes are
// capped at 2^16, above every clamp bound (the rounding of anything above the cap clamps as the
// cap's does), so the truncation fits 32 bits; the rounding and the clamps are exact operations
// on whole numbers below 2^17. A band's odd last value goes by the scalar code.
void quantise_bands_sse2(const BandTable& bands, const double* c, const uint8_t* bits,
                         const double* step, uint16_t* codes) {
  const __m128d sign = _mm_set1_pd(-0.0);
  const __m128d cap = _mm_set1_pd(65536.0);
  const __m128d half = _mm_set1_pd(0.5);
  const __m128d one = _mm_set1_pd(1.0);
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int n = bits[b];
    if (n == 0) continue;
    const int first = bands.bands[b].first;
    const int last = bands.bands[b].last;
    const __m128d divisor = _mm_set1_pd(step[b]);
    const __m128d high = _mm_set1_pd(QUANT_MAX[n]);
    const __m128d low = _mm_set1_pd(-QUANT_MAX[n] - 1.0);
    const __m128i mask = _mm_set1_epi32(static_cast<int>((1u << n) - 1u));
    int k = first;
    for (; k + 1 <= last; k += 2) {
      __m128d y = _mm_div_pd(_mm_loadu_pd(c + k), divisor);
      y = _mm_and_pd(y, _mm_cmpord_pd(y, y));
      const __m128d magnitude = _mm_min_pd(_mm_andnot_pd(sign, y), cap);
      const __m128d whole = _mm_cvtepi32_pd(_mm_cvttpd_epi32(magnitude));
      const __m128d up = _mm_and_pd(_mm_cmpgt_pd(_mm_sub_pd(magnitude, whole), half), one);
      __m128d q = _mm_or_pd(_mm_add_pd(whole, up), _mm_and_pd(sign, y));
      q = _mm_max_pd(_mm_min_pd(q, high), low);
      const uint64_t pair =
          static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_and_si128(_mm_cvttpd_epi32(q), mask)));
      codes[k] = static_cast<uint16_t>(pair);
      codes[k + 1] = static_cast<uint16_t>(pair >> 32);
    }
    if (k == last) codes[k] = static_cast<uint16_t>(quantise_by_step(c[k], step[b], n));
  }
}

}  // namespace block
}  // namespace tarn

#endif  // __x86_64__
