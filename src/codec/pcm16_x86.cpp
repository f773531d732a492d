// The decoder's 16-bit conversion with SSE2, two lanes at a time.

#include "codec/pcm16.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace tarn::pcm16 {
namespace {

constexpr double PCM16_PEAK = 32767.0;

// to_pcm16 of four frames, stored as four interleaved frames. Lane by lane the same IEEE
// operations as to_pcm16: the quotient by d = 1 is the product itself, so dividing every lane
// gives the product where to_pcm16 skips the division; minpd and maxpd equal std::min and
// std::max once no lane is not-a-number; cvttpd2dq truncates.
//
// Decoded music stays within full scale almost always. When all eight magnitudes are below 1
// (a not-a-number fails the comparison), every lane's quotient is its product x * 32767, of
// magnitude at most 32767 (1 - 2^-53 rounds to 32767 at most), so neither the division nor the
// limits change it and they are left out.
void frames4(const double* left, const double* right, int16_t* out) {
  const __m128d sign = _mm_set1_pd(-0.0);
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d peak = _mm_set1_pd(PCM16_PEAK);
  const __m128d floor = _mm_set1_pd(-PCM16_PEAK);
  __m128i lanes[4];
  const __m128d x[4] = {_mm_loadu_pd(left), _mm_loadu_pd(left + 2), _mm_loadu_pd(right),
                        _mm_loadu_pd(right + 2)};
  const __m128d below_one =
      _mm_and_pd(_mm_and_pd(_mm_cmplt_pd(_mm_andnot_pd(sign, x[0]), one),
                            _mm_cmplt_pd(_mm_andnot_pd(sign, x[1]), one)),
                 _mm_and_pd(_mm_cmplt_pd(_mm_andnot_pd(sign, x[2]), one),
                            _mm_cmplt_pd(_mm_andnot_pd(sign, x[3]), one)));
  if (_mm_movemask_pd(below_one) == 3) {
    for (int i = 0; i < 4; ++i) lanes[i] = _mm_cvttpd_epi32(_mm_mul_pd(x[i], peak));
  } else {
    for (int i = 0; i < 4; ++i) {
      const __m128d magnitude = _mm_andnot_pd(sign, x[i]);
      const __m128d at_least_one = _mm_cmpge_pd(magnitude, one);
      const __m128d d =
          _mm_or_pd(_mm_and_pd(at_least_one, magnitude), _mm_andnot_pd(at_least_one, one));
      __m128d q = _mm_div_pd(_mm_mul_pd(x[i], peak), d);
      q = _mm_and_pd(_mm_cmpord_pd(q, q), q);  // not-a-number becomes +0
      q = _mm_max_pd(_mm_min_pd(q, peak), floor);
      lanes[i] = _mm_cvttpd_epi32(q);  // two int32 in the low half
    }
  }
  const __m128i l = _mm_unpacklo_epi64(lanes[0], lanes[1]);  // left 0 .. 3
  const __m128i r = _mm_unpacklo_epi64(lanes[2], lanes[3]);  // right 0 .. 3
  // Within +-32767: the saturating pack keeps every value.
  const __m128i frames = _mm_packs_epi32(_mm_unpacklo_epi32(l, r), _mm_unpackhi_epi32(l, r));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), frames);
}

}  // namespace

void frames_sse2(const double* left, const double* right, int16_t* frames, int count) {
  int i = 0;
  for (; i + 4 <= count; i += 4) frames4(left + i, right + i, frames + 2 * i);
  for (; i < count; ++i) {
    frames[2 * i] = to_pcm16(left[i]);
    frames[2 * i + 1] = to_pcm16(right[i]);
  }
}

// Eight frames at a time (AVX2) when all sixteen magnitudes are below 1: the products, as in
// frames4's shortcut, four lanes at a time; otherwise frames4 twice.
__attribute__((target("avx2"))) void frames_avx2(const double* left, const double* right,
                                                 int16_t* frames, int count) {
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d peak = _mm256_set1_pd(PCM16_PEAK);
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256d x[4] = {_mm256_loadu_pd(left + i), _mm256_loadu_pd(left + i + 4),
                          _mm256_loadu_pd(right + i), _mm256_loadu_pd(right + i + 4)};
    const __m256d below_one = _mm256_and_pd(
        _mm256_and_pd(_mm256_cmp_pd(_mm256_andnot_pd(sign, x[0]), one, _CMP_LT_OQ),
                      _mm256_cmp_pd(_mm256_andnot_pd(sign, x[1]), one, _CMP_LT_OQ)),
        _mm256_and_pd(_mm256_cmp_pd(_mm256_andnot_pd(sign, x[2]), one, _CMP_LT_OQ),
                      _mm256_cmp_pd(_mm256_andnot_pd(sign, x[3]), one, _CMP_LT_OQ)));
    if (_mm256_movemask_pd(below_one) != 15) {
      frames4(left + i, right + i, frames + 2 * i);
      frames4(left + i + 4, right + i + 4, frames + 2 * i + 8);
      continue;
    }
    __m128i v[4];
    for (int j = 0; j < 4; ++j) v[j] = _mm256_cvttpd_epi32(_mm256_mul_pd(x[j], peak));
    // v[0], v[1]: left 0 .. 7; v[2], v[3]: right 0 .. 7. Within +-32767: the pack keeps them.
    const __m128i first = _mm_packs_epi32(_mm_unpacklo_epi32(v[0], v[2]),
                                          _mm_unpackhi_epi32(v[0], v[2]));
    const __m128i second = _mm_packs_epi32(_mm_unpacklo_epi32(v[1], v[3]),
                                           _mm_unpackhi_epi32(v[1], v[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(frames + 2 * i), first);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(frames + 2 * i + 8), second);
  }
  frames_sse2(left + i, right + i, frames + 2 * i, count - i);
}

}  // namespace tarn::pcm16
#endif
