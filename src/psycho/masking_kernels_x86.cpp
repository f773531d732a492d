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

namespace {

// The largest and the smallest of the four lanes of v, in every lane. Only the values are used
// (compared, or turned into bin numbers), and the largest or smallest of a set does not depend
// on the order it is taken in.
__attribute__((target("avx2"))) inline __m256d lanes_max(__m256d v) {
  v = _mm256_max_pd(v, _mm256_permute4x64_pd(v, _MM_SHUFFLE(1, 0, 3, 2)));
  return _mm256_max_pd(v, _mm256_permute4x64_pd(v, _MM_SHUFFLE(2, 3, 0, 1)));
}
__attribute__((target("avx2"))) inline __m256d lanes_min(__m256d v) {
  v = _mm256_min_pd(v, _mm256_permute4x64_pd(v, _MM_SHUFFLE(1, 0, 3, 2)));
  return _mm256_min_pd(v, _mm256_permute4x64_pd(v, _MM_SHUFFLE(2, 3, 0, 1)));
}

// The two loudest of bins lo .. hi - 1 (hi - lo >= 4), as band_top_step over them in order.
//
// Lane j runs band_top_step's rule over the bins lo + j, lo + j + 4, ... of the whole groups,
// without branches: with bin numbers held as doubles (exact), "a > largest" and "a > next"
// select the numbers, and the levels follow as the rule's: with next <= largest throughout,
// the rule's new runner-up level is min(largest, max(a, next)) and its new loudest max(a,
// largest), where _mm256_max_pd(x, y) is x > y ? x : y and _mm256_min_pd(x, y) is x < y ? x : y,
// the same doubles as the rule's assignments (a not-a-number a changes nothing either way).
//
// Then the lanes are merged. The band's loudest is the lowest of the lanes' loudest bins that
// hold the largest level. Its runner-up, the lowest bin of the largest level among the rest, is
// among the other lanes' loudest and every lane's runner-up: a lane's other bins are no louder
// than its runner-up and come after it where equal. Where no bin is above -1.0 every lane holds
// -1 as its bins, which then is the result. The bins after the whole groups continue the rule
// from the merged state, which is the rule's state after the groups' bins.
__attribute__((target("avx2"))) BandTopState band_tops_lanes(const double* approx, int lo,
                                                             int hi, int count) {
  const __m256d none = _mm256_set1_pd(-1.0);
  __m256d largest = none;
  __m256d next = none;
  __m256d first = none;
  __m256d second = none;
  __m256d bin = _mm256_setr_pd(lo, lo + 1, lo + 2, lo + 3);
  int k = lo;
  for (; k + 4 <= hi; k += 4) {
    const __m256d a = _mm256_loadu_pd(approx + k);
    const __m256d above_largest = _mm256_cmp_pd(a, largest, _CMP_GT_OQ);
    const __m256d above_next = _mm256_cmp_pd(a, next, _CMP_GT_OQ);
    second = _mm256_blendv_pd(_mm256_blendv_pd(second, bin, above_next), first, above_largest);
    first = _mm256_blendv_pd(first, bin, above_largest);
    next = _mm256_min_pd(largest, _mm256_max_pd(a, next));
    largest = _mm256_max_pd(a, largest);
    bin = _mm256_add_pd(bin, _mm256_set1_pd(4.0));
  }
  if (k < hi) {
    // The last bins as one more group, ending within the count bins of approx: its lanes
    // outside k .. hi - 1 read as minus infinity, which changes no lane.
    const int g = k + 4 <= count ? k : count - 4;
    const __m256d at = _mm256_setr_pd(g, g + 1, g + 2, g + 3);
    const __m256d live = _mm256_and_pd(_mm256_cmp_pd(at, _mm256_set1_pd(k), _CMP_GE_OQ),
                                       _mm256_cmp_pd(at, _mm256_set1_pd(hi), _CMP_LT_OQ));
    const __m256d a =
        _mm256_blendv_pd(_mm256_set1_pd(-__builtin_inf()), _mm256_loadu_pd(approx + g), live);
    const __m256d above_largest = _mm256_cmp_pd(a, largest, _CMP_GT_OQ);
    const __m256d above_next = _mm256_cmp_pd(a, next, _CMP_GT_OQ);
    second = _mm256_blendv_pd(_mm256_blendv_pd(second, at, above_next), first, above_largest);
    first = _mm256_blendv_pd(first, at, above_largest);
    next = _mm256_min_pd(largest, _mm256_max_pd(a, next));
    largest = _mm256_max_pd(a, largest);
  }
  const __m256d infinity = _mm256_set1_pd(__builtin_inf());
  const __m256d top = lanes_max(largest);
  const __m256d top_bin =
      lanes_min(_mm256_blendv_pd(infinity, first, _mm256_cmp_pd(largest, top, _CMP_EQ_OQ)));
  // The other lanes' loudest (the loudest's own lane left out) and every lane's runner-up.
  const __m256d rest =
      _mm256_blendv_pd(largest, _mm256_set1_pd(-__builtin_inf()),
                       _mm256_cmp_pd(first, top_bin, _CMP_EQ_OQ));
  const __m256d runner_up = _mm256_max_pd(lanes_max(rest), lanes_max(next));
  const __m256d runner_up_bin = _mm256_min_pd(
      lanes_min(_mm256_blendv_pd(infinity, first, _mm256_cmp_pd(rest, runner_up, _CMP_EQ_OQ))),
      lanes_min(_mm256_blendv_pd(infinity, second, _mm256_cmp_pd(next, runner_up, _CMP_EQ_OQ))));
  BandTopState s;
  s.largest = _mm256_cvtsd_f64(top);
  s.next = _mm256_cvtsd_f64(runner_up);
  s.first = static_cast<int>(_mm256_cvtsd_f64(top_bin));
  s.second = static_cast<int>(_mm256_cvtsd_f64(runner_up_bin));
  return s;
}

}  // namespace

// Narrow bands bin by bin, wide ones in lanes.
__attribute__((target("avx2"))) void band_tops_avx2(const BandTable& bands, const double* approx,
                                                    int32_t* loudest, int32_t* second) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int lo = bands.bands[b].first;
    const int hi = bands.bands[b].last + 1;
    BandTopState s;
    if (hi - lo >= BAND_TOPS_AVX2_WIDTH && bands.bin_count >= 4) {
      s = band_tops_lanes(approx, lo, hi, bands.bin_count);
    } else {
      for (int k = lo; k < hi; ++k) band_top_step(s, approx[k], k);
    }
    loudest[b] = s.first;
    second[b] = s.second;
  }
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
