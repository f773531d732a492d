// The AVX2 forward-transform kernels (transform_kernels.h), four values at a time. Each lane does
// the portable form's IEEE operations in its order (neither FMA nor contraction is enabled):
// the window products are those of single samples, taken before the lanes are gathered; a
// negation flips the sign bit as the scalar one does. Whatever does not fill a group of four
// runs the scalar code. (The SSE2 table keeps the portable forms: the compiler pairs their
// lanes already, and hand-written two-lane forms gained no time.)

#if defined(__x86_64__)

#include <immintrin.h>

#include "transform/transform_kernels.h"

#define TARN_AVX2 __attribute__((target("avx2")))

namespace tarn {
namespace transform {

namespace {

// The products window[j] * block[j] of j, j + 2, j + 4, j + 6, from two loads of four of each
// (j .. j + 7 must lie in the arrays).
TARN_AVX2 inline __m256d products_up(const double* block, const double* window, int j) {
  const __m256d lo = _mm256_mul_pd(_mm256_loadu_pd(window + j), _mm256_loadu_pd(block + j));
  const __m256d hi =
      _mm256_mul_pd(_mm256_loadu_pd(window + j + 4), _mm256_loadu_pd(block + j + 4));
  // unpacklo: j, j+4, j+2, j+6.
  return _mm256_permute4x64_pd(_mm256_unpacklo_pd(lo, hi), _MM_SHUFFLE(3, 1, 2, 0));
}

// The products of j, j - 2, j - 4, j - 6 (j - 7 .. j must lie in the arrays).
TARN_AVX2 inline __m256d products_down(const double* block, const double* window, int j) {
  const __m256d lo =
      _mm256_mul_pd(_mm256_loadu_pd(window + j - 7), _mm256_loadu_pd(block + j - 7));
  const __m256d hi =
      _mm256_mul_pd(_mm256_loadu_pd(window + j - 3), _mm256_loadu_pd(block + j - 3));
  // unpackhi: j-6, j-2, j-4, j.
  return _mm256_permute4x64_pd(_mm256_unpackhi_pd(lo, hi), _MM_SHUFFLE(0, 2, 1, 3));
}

// z[k .. k+3] from the folded a and b of four k: the pre-twiddle, interleaved {re, im}.
TARN_AVX2 inline void store_twiddled(double* z, __m256d a, __m256d b, const double* c,
                                     const double* s) {
  const __m256d cs = _mm256_loadu_pd(c);
  const __m256d sn = _mm256_loadu_pd(s);
  const __m256d re = _mm256_add_pd(_mm256_mul_pd(a, cs), _mm256_mul_pd(b, sn));
  const __m256d im = _mm256_sub_pd(_mm256_mul_pd(b, cs), _mm256_mul_pd(a, sn));
  const __m256d lo = _mm256_unpacklo_pd(re, im);  // re0 im0 re2 im2
  const __m256d hi = _mm256_unpackhi_pd(re, im);  // re1 im1 re3 im3
  _mm256_storeu_pd(z, _mm256_permute2f128_pd(lo, hi, 0x20));
  _mm256_storeu_pd(z + 4, _mm256_permute2f128_pd(lo, hi, 0x31));
}

// The scalar folding of one k (mdct_fold_portable's loop bodies).
inline void fold_one(const double* block, const double* window, const double* c, const double* s,
                     double* z, int n, int k) {
  const int q = n / 4;
  const int h = n / 2;
  const auto wf = [&](int j) { return window[j] * block[j]; };
  double a, b;
  if (2 * k < q) {
    a = (-wf(2 * k + 3 * q) - wf(n - 1 - 2 * k - q)) * 0.5;
    b = (wf(h + 2 * k - q) - wf(h - 1 - 2 * k - q)) * (-0.5);
  } else {
    a = (wf(2 * k - q) - wf(n - 1 - 2 * k - q)) * 0.5;
    b = (wf(h + 2 * k - q) - -wf(h - 1 - 2 * k + 3 * q)) * (-0.5);
  }
  z[2 * k] = a * c[k] + b * s[k];
  z[2 * k + 1] = b * c[k] - a * s[k];
}

}  // namespace

// First part (2k < q): four k at a time while the lowest sample the downward loads touch,
// h - 1 - q - 2(k + 3) - 1 = 2(q/2 - k - 4), is in the block; second part up to q; the rest one
// by one.
TARN_AVX2 void mdct_fold_avx2(const double* block, const double* window, const double* c,
                              const double* s, double* z, int n) {
  const int q = n / 4;
  const int h = n / 2;
  const int split = (q + 1) / 2;  // the first k with 2k >= q
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d half = _mm256_set1_pd(0.5);
  const __m256d minus_half = _mm256_set1_pd(-0.5);
  int k = 0;
  for (; k + 4 <= q / 2; k += 4) {
    const __m256d up_a = products_up(block, window, 2 * k + 3 * q);
    const __m256d down_a = products_down(block, window, n - 1 - 2 * k - q);
    const __m256d up_b = products_up(block, window, h + 2 * k - q);
    const __m256d down_b = products_down(block, window, h - 1 - 2 * k - q);
    const __m256d a = _mm256_mul_pd(_mm256_sub_pd(_mm256_xor_pd(sign, up_a), down_a), half);
    const __m256d b = _mm256_mul_pd(_mm256_sub_pd(up_b, down_b), minus_half);
    store_twiddled(z + 2 * k, a, b, c + k, s + k);
  }
  for (; k < split; ++k) fold_one(block, window, c, s, z, n, k);
  for (; k + 4 <= q; k += 4) {
    const __m256d up_a = products_up(block, window, 2 * k - q);
    const __m256d down_a = products_down(block, window, n - 1 - 2 * k - q);
    const __m256d up_b = products_up(block, window, h + 2 * k - q);
    const __m256d down_b = products_down(block, window, h - 1 - 2 * k + 3 * q);
    const __m256d a = _mm256_mul_pd(_mm256_sub_pd(up_a, down_a), half);
    const __m256d b =
        _mm256_mul_pd(_mm256_sub_pd(up_b, _mm256_xor_pd(sign, down_b)), minus_half);
    store_twiddled(z + 2 * k, a, b, c + k, s + k);
  }
  for (; k < q; ++k) fold_one(block, window, c, s, z, n, k);
}

// Output-ordered: out[2k .. 2k + 7] holds 2U of k .. k + 3 at the even places and -2V of
// q - 1 - k down to q - 4 - k at the odd ones (out[h - 1 - 2j] = -2V_j, h - 1 - 2j = 2k + 1 for
// j = q - 1 - k), so each group stores two whole vectors; each U and V is computed once.
TARN_AVX2 void mdct_post_avx2(const double* spectrum, const double* c, const double* s,
                              double* out, int n) {
  const int q = n / 4;
  const __m256d two = _mm256_set1_pd(2.0);
  const __m256d minus_two = _mm256_set1_pd(-2.0);
  int k = 0;
  for (; k + 4 <= q; k += 4) {
    // p and rr of k .. k + 3.
    const __m256d f0 = _mm256_loadu_pd(spectrum + 2 * k);
    const __m256d f1 = _mm256_loadu_pd(spectrum + 2 * k + 4);
    const __m256d p = _mm256_permute4x64_pd(_mm256_unpacklo_pd(f0, f1), _MM_SHUFFLE(3, 1, 2, 0));
    const __m256d rr =
        _mm256_permute4x64_pd(_mm256_unpackhi_pd(f0, f1), _MM_SHUFFLE(3, 1, 2, 0));
    const __m256d u = _mm256_add_pd(_mm256_mul_pd(p, _mm256_loadu_pd(c + k)),
                                    _mm256_mul_pd(rr, _mm256_loadu_pd(s + k)));
    // p and rr of j = q - 4 - k .. q - 1 - k, upwards.
    const int j = q - 4 - k;
    const __m256d g0 = _mm256_loadu_pd(spectrum + 2 * j);
    const __m256d g1 = _mm256_loadu_pd(spectrum + 2 * j + 4);
    const __m256d pj = _mm256_permute4x64_pd(_mm256_unpacklo_pd(g0, g1), _MM_SHUFFLE(3, 1, 2, 0));
    const __m256d rj =
        _mm256_permute4x64_pd(_mm256_unpackhi_pd(g0, g1), _MM_SHUFFLE(3, 1, 2, 0));
    const __m256d v = _mm256_sub_pd(_mm256_mul_pd(rj, _mm256_loadu_pd(c + j)),
                                    _mm256_mul_pd(pj, _mm256_loadu_pd(s + j)));
    const __m256d even = _mm256_mul_pd(two, u);
    // -2V of q - 1 - k first: the lanes reversed.
    const __m256d odd =
        _mm256_permute4x64_pd(_mm256_mul_pd(minus_two, v), _MM_SHUFFLE(0, 1, 2, 3));
    const __m256d lo = _mm256_unpacklo_pd(even, odd);
    const __m256d hi = _mm256_unpackhi_pd(even, odd);
    _mm256_storeu_pd(out + 2 * k, _mm256_permute2f128_pd(lo, hi, 0x20));
    _mm256_storeu_pd(out + 2 * k + 4, _mm256_permute2f128_pd(lo, hi, 0x31));
  }
  for (; k < q; ++k) {
    const double p = spectrum[2 * k];
    const double rr = spectrum[2 * k + 1];
    out[2 * k] = 2.0 * (p * c[k] + rr * s[k]);
    const int j = q - 1 - k;
    const double pj = spectrum[2 * j];
    const double rj = spectrum[2 * j + 1];
    out[2 * k + 1] = -2.0 * (rj * c[j] - pj * s[j]);
  }
}

TARN_AVX2 void window_product_avx2(const double* x, const double* w, double* out, int n) {
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    _mm256_storeu_pd(out + i, _mm256_mul_pd(_mm256_loadu_pd(x + i), _mm256_loadu_pd(w + i)));
  }
  for (; i < n; ++i) out[i] = x[i] * w[i];
}

TARN_AVX2 void split_bins_avx2(const double* bins, double* re, double* im, int count) {
  const __m256d sign = _mm256_set1_pd(-0.0);
  int k = 0;
  for (; k + 4 <= count; k += 4) {
    const __m256d f0 = _mm256_loadu_pd(bins + 2 * k);
    const __m256d f1 = _mm256_loadu_pd(bins + 2 * k + 4);
    const __m256d r = _mm256_permute4x64_pd(_mm256_unpacklo_pd(f0, f1), _MM_SHUFFLE(3, 1, 2, 0));
    const __m256d i = _mm256_permute4x64_pd(_mm256_unpackhi_pd(f0, f1), _MM_SHUFFLE(3, 1, 2, 0));
    _mm256_storeu_pd(re + k, r);
    _mm256_storeu_pd(im + k, _mm256_xor_pd(sign, i));
  }
  for (; k < count; ++k) {
    re[k] = bins[2 * k];
    im[k] = -bins[2 * k + 1];
  }
}

}  // namespace transform
}  // namespace tarn

#endif
