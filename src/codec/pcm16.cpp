// Finished samples to 16-bit frames.

#include "codec/pcm16.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>

namespace tarn {
namespace {

// Largest magnitude of a written sample.
constexpr double PCM16_PEAK = 32767.0;

}  // namespace

// One double to a 16-bit sample: divide by max(|x|, 1) so that anything beyond full scale is
// limited to it, scale by 32767, truncate toward zero. The product comes before the quotient;
// that order fixes the rounding of every finite value (beyond full scale about one value in six
// comes out as 32766, the product having been rounded down; the other order differs there).
//   x = NaN, or x = +-infinity (q = inf / inf): q is NaN, whose conversion to an integer is
//     undefined; it writes 0.
//   |x| > DBL_MAX / 32767: x * 32767 overflows and q is +-infinity, also undefined to convert;
//     it writes +-32767, the limit every other value beyond full scale reaches.
// Every other finite x gives |q| <= 32767 plus at most one rounding step, which truncates to a
// value in [-32767, 32767], so the clamp below never changes it.
// Within full scale d is 1.0, and dividing by 1.0 is exact: the product itself is the quotient,
// without the division.
// The limits are taken with min and max (a not-a-number q is set to 0 first), which gives the
// same value as the branches on q >= 32767 and q <= -32767 without them.
int16_t to_pcm16(double x) {
  const double magnitude = std::fabs(x);
  const double d = magnitude >= 1.0 ? magnitude : 1.0;
  double q = d == 1.0 ? x * PCM16_PEAK : (x * PCM16_PEAK) / d;
  q = std::isnan(q) ? 0.0 : q;
  q = std::min(q, PCM16_PEAK);
  q = std::max(q, -PCM16_PEAK);
  return static_cast<int16_t>(q);  // conversion truncates toward zero
}

namespace {

// to_pcm16 of four frames, stored as four little-endian stereo frames: two lanes at a time with
// SSE2, frame by frame elsewhere. Lane by lane the same IEEE operations as to_pcm16: the quotient by d = 1 is the
// product itself, so dividing every lane gives the product where to_pcm16 skips the division;
// minpd and maxpd equal std::min and std::max once no lane is not-a-number; cvttpd2dq truncates.
void to_pcm16_frames4(const double* left, const double* right, int16_t* out) {
#if defined(__SSE2__)
  const __m128d sign = _mm_set1_pd(-0.0);
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d peak = _mm_set1_pd(PCM16_PEAK);
  const __m128d floor = _mm_set1_pd(-PCM16_PEAK);
  __m128i lanes[4];
  const double* from[4] = {left, left + 2, right, right + 2};
  for (int i = 0; i < 4; ++i) {
    const __m128d x = _mm_loadu_pd(from[i]);
    const __m128d magnitude = _mm_andnot_pd(sign, x);
    const __m128d at_least_one = _mm_cmpge_pd(magnitude, one);
    const __m128d d =
        _mm_or_pd(_mm_and_pd(at_least_one, magnitude), _mm_andnot_pd(at_least_one, one));
    __m128d q = _mm_div_pd(_mm_mul_pd(x, peak), d);
    q = _mm_and_pd(_mm_cmpord_pd(q, q), q);  // not-a-number becomes +0
    q = _mm_max_pd(_mm_min_pd(q, peak), floor);
    lanes[i] = _mm_cvttpd_epi32(q);  // two int32 in the low half
  }
  const __m128i l = _mm_unpacklo_epi64(lanes[0], lanes[1]);  // left 0 .. 3
  const __m128i r = _mm_unpacklo_epi64(lanes[2], lanes[3]);  // right 0 .. 3
  // Within +-32767: the saturating pack keeps every value.
  const __m128i frames = _mm_packs_epi32(_mm_unpacklo_epi32(l, r), _mm_unpackhi_epi32(l, r));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), frames);
#else
  for (int i = 0; i < 4; ++i) {
    out[2 * i] = to_pcm16(left[i]);
    out[2 * i + 1] = to_pcm16(right[i]);
  }
#endif
}

}  // namespace

void to_pcm16_frames(const double* left, const double* right, int16_t* frames, int count) {
  int i = 0;
  for (; i + 4 <= count; i += 4) to_pcm16_frames4(left + i, right + i, frames + 2 * i);
  for (; i < count; ++i) {
    frames[2 * i] = to_pcm16(left[i]);
    frames[2 * i + 1] = to_pcm16(right[i]);
  }
}

}  // namespace tarn
