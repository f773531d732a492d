// The masking pass's x86-64 kernels. Every lane does what the portable form does to its bin, in
// the same order: the same IEEE additions, subtractions and comparisons (the AVX2 body enables
// neither FMA nor contraction), and selections in place of branches, whose outcome (whether a
// contribution wins, whether a bin is masked) is as good as random.

#if defined(__x86_64__)

#include <immintrin.h>

#include "psycho/masking_kernels.h"

namespace tarn {
namespace masking {

namespace {

// where ? a : b, lane by lane (where all ones or all zeros).
inline __m128d select(__m128d where, __m128d a, __m128d b) {
  return _mm_or_pd(_mm_and_pd(where, a), _mm_andnot_pd(where, b));
}

// The spread of the two bins from k.
inline void spread_pair(__m128d level, const double* s, int k, double* threshold) {
  const __m128d t = _mm_loadu_pd(threshold + k);
  const __m128d v =
      _mm_sub_pd(_mm_add_pd(level, _mm_loadu_pd(s + k)), _mm_set1_pd(MASKER_OFFSET_DB));
  const __m128d close = _mm_cmplt_pd(_mm_sub_pd(v, t), _mm_set1_pd(MASK_ADD_MARGIN_DB));
  const __m128d raised = select(close, _mm_add_pd(v, _mm_set1_pd(MASK_ADD_BOOST_DB)), v);
  _mm_storeu_pd(threshold + k, select(_mm_cmpgt_pd(v, t), raised, t));
}

__attribute__((target("avx2"))) inline void spread_quad(__m256d level, const double* s, int k,
                                                        double* threshold) {
  const __m256d t = _mm256_loadu_pd(threshold + k);
  const __m256d v =
      _mm256_sub_pd(_mm256_add_pd(level, _mm256_loadu_pd(s + k)), _mm256_set1_pd(MASKER_OFFSET_DB));
  const __m256d close =
      _mm256_cmp_pd(_mm256_sub_pd(v, t), _mm256_set1_pd(MASK_ADD_MARGIN_DB), _CMP_LT_OQ);
  const __m256d raised =
      _mm256_blendv_pd(v, _mm256_add_pd(v, _mm256_set1_pd(MASK_ADD_BOOST_DB)), close);
  _mm256_storeu_pd(threshold + k, _mm256_blendv_pd(t, raised, _mm256_cmp_pd(v, t, _CMP_GT_OQ)));
}

}  // namespace

// Whole groups of lanes, then the bins left as one more group ending at hi. That group spreads
// some bins a second time, which leaves them as they are: a threshold the contribution v raised
// is now at least v, so v does not exceed it, and one it did not raise is met by the same v
// again. Runs shorter than a group go bin by bin.
void spread_sse2(double level, const double* s, int lo, int hi, double* threshold) {
  if (hi - lo < 2) {
    spread_portable(level, s, lo, hi, threshold);
    return;
  }
  const __m128d l = _mm_set1_pd(level);
  int k = lo;
  for (; k + 2 <= hi; k += 2) spread_pair(l, s, k, threshold);
  if (k != hi) spread_pair(l, s, hi - 2, threshold);
}

// Four lanes: on AVX2 CPUs (a four-lane loop in SSE2 is slower than the two-lane one).
__attribute__((target("avx2"))) void spread_avx2(double level, const double* s, int lo, int hi,
                                                 double* threshold) {
  if (hi - lo < 4) {
    spread_portable(level, s, lo, hi, threshold);
    return;
  }
  const __m256d l = _mm256_set1_pd(level);
  int k = lo;
  for (; k + 4 <= hi; k += 4) spread_quad(l, s, k, threshold);
  if (k != hi) spread_quad(l, s, hi - 4, threshold);
}

// Each comparison gives a 64-bit mask per bin, packed to the 16 bits of the bin's flag.
int mark_masked_sse2(const double* threshold, const double* approx, double margin_db, int k,
                     int count, int16_t* flags) {
  static_assert(MARK_GROUP == 8);
  const __m128d margin = _mm_set1_pd(margin_db);
  const __m128d zero = _mm_setzero_pd();
  for (; k + 8 <= count; k += 8) {
    __m128i masked[4];
    __m128d unsure = zero;
    for (int i = 0; i < 4; ++i) {
      const __m128d t = _mm_loadu_pd(threshold + k + 2 * i);
      const __m128d a = _mm_loadu_pd(approx + k + 2 * i);
      const __m128d raised = _mm_cmpneq_pd(t, zero);
      const __m128d above = _mm_cmpgt_pd(t, _mm_add_pd(a, margin));
      const __m128d below = _mm_cmplt_pd(t, _mm_sub_pd(a, margin));
      masked[i] = _mm_castpd_si128(_mm_and_pd(raised, above));
      unsure = _mm_or_pd(unsure, _mm_andnot_pd(_mm_or_pd(above, below), raised));
    }
    if (_mm_movemask_pd(unsure) != 0) return k;
    // A 64-bit mask's two 32-bit halves are equal, so each signed pack halves the width of the
    // masks: 64 to 32 to 16 bits, in bin order.
    const __m128i mask = _mm_packs_epi32(_mm_packs_epi32(masked[0], masked[1]),
                                         _mm_packs_epi32(masked[2], masked[3]));
    __m128i* group = reinterpret_cast<__m128i*>(flags + k);
    const __m128i before = _mm_loadu_si128(group);
    _mm_storeu_si128(group, _mm_or_si128(_mm_andnot_si128(mask, before),
                                         _mm_and_si128(mask, _mm_set1_epi16(BIN_MASKED))));
  }
  return k;
}

}  // namespace masking
}  // namespace tarn

#endif  // __x86_64__
