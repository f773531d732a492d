// The AVX2 forward-transform kernels (transform_kernels.h), four values at a time. Each lane does
// the portable form's IEEE operations in its order (neither FMA nor contraction is enabled):
// the window products are those of single samples, taken before the lanes are gathered; a
// negation flips the sign bit as the scalar one does. Whatever does not fill a group of four
// (or, in the MDCT's passes, a pair of mirrored groups) runs the scalar code. (The SSE2 table keeps the portable forms: the compiler pairs their
// lanes already, and hand-written two-lane forms gained no time.)

#if defined(__x86_64__)

#include <immintrin.h>

#include "transform/transform_kernels.h"

#define TARN_AVX2 __attribute__((target("avx2")))

namespace tarn {
namespace transform {

namespace {

// The lane order the MDCT's passes work in: k, k + 2, k + 1, k + 3, which unpacklo and unpackhi of two
// loaded vectors give without a lane-crossing step; the twiddles are brought to it and the
// stores leave it with in-lane unpacks only.
TARN_AVX2 inline __m256d to_pair_order(__m256d v) {
  return _mm256_permute4x64_pd(v, _MM_SHUFFLE(3, 1, 2, 0));
}
// Lane order 3, 1, 2, 0 to 0, 2, 1, 3: the four lanes reversed.
TARN_AVX2 inline __m256d reversed(__m256d v) {
  return _mm256_permute4x64_pd(v, _MM_SHUFFLE(0, 1, 2, 3));
}

// The products window[i] * block[i] of the eight samples from j on, split into the even
// offsets (0, 4, 2, 6: one group's samples in pair order) and the odd ones (1, 5, 3, 7).
struct Products {
  __m256d even, odd;
};
TARN_AVX2 inline Products products(const double* block, const double* window, int j) {
  const __m256d lo = _mm256_mul_pd(_mm256_loadu_pd(window + j), _mm256_loadu_pd(block + j));
  const __m256d hi =
      _mm256_mul_pd(_mm256_loadu_pd(window + j + 4), _mm256_loadu_pd(block + j + 4));
  return {_mm256_unpacklo_pd(lo, hi), _mm256_unpackhi_pd(lo, hi)};
}

// z[k .. k+3] from the folded a and b of four k in pair order: the pre-twiddle, stored
// interleaved {re, im} in k order.
TARN_AVX2 inline void store_twiddled(double* z, __m256d a, __m256d b, const double* c,
                                     const double* s) {
  const __m256d cs = to_pair_order(_mm256_loadu_pd(c));
  const __m256d sn = to_pair_order(_mm256_loadu_pd(s));
  const __m256d re = _mm256_add_pd(_mm256_mul_pd(a, cs), _mm256_mul_pd(b, sn));
  const __m256d im = _mm256_sub_pd(_mm256_mul_pd(b, cs), _mm256_mul_pd(a, sn));
  _mm256_storeu_pd(z, _mm256_unpacklo_pd(re, im));
  _mm256_storeu_pd(z + 4, _mm256_unpackhi_pd(re, im));
}

// 2U and -2V of j .. j + 3 in pair order, U + i V = spectrum[j] e^(-i theta_j).
TARN_AVX2 inline void post_twiddled(const double* spectrum, const double* c, const double* s,
                                    int j, __m256d& twice_u, __m256d& minus_twice_v) {
  const __m256d f0 = _mm256_loadu_pd(spectrum + 2 * j);
  const __m256d f1 = _mm256_loadu_pd(spectrum + 2 * j + 4);
  const __m256d p = _mm256_unpacklo_pd(f0, f1);
  const __m256d rr = _mm256_unpackhi_pd(f0, f1);
  const __m256d cs = to_pair_order(_mm256_loadu_pd(c + j));
  const __m256d sn = to_pair_order(_mm256_loadu_pd(s + j));
  twice_u = _mm256_mul_pd(_mm256_set1_pd(2.0),
                          _mm256_add_pd(_mm256_mul_pd(p, cs), _mm256_mul_pd(rr, sn)));
  minus_twice_v = _mm256_mul_pd(_mm256_set1_pd(-2.0),
                                _mm256_sub_pd(_mm256_mul_pd(rr, cs), _mm256_mul_pd(p, sn)));
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

// Four k of the first part (2k < q) with their mirrors q - 1 - k, the four k' = q - 4 - k ..
// q - 1 - k of the second: the window products wf(i) = window[i] * block[i] the two groups read
// interleave in four runs of eight samples, and each is taken once:
//   from q - 8 - 2k:  even offsets wf(2k' - q) of the second group, odd ones wf(q - 1 - 2k);
//   from q + 2k:      even wf(q + 2k), odd wf(3q - 1 - 2k');
//   from 3q - 8 - 2k: even wf(q + 2k'), odd wf(3q - 1 - 2k);
//   from 3q + 2k:     even wf(3q + 2k), odd wf(5q - 1 - 2k')
// (the terms of mdct_fold_portable with h = 2q, n = 4q). The odd offsets go down in k or k' and
// arrive in lane order 3, 1, 2, 0; they are reversed into pair order. While k + 4 <= q/2 each
// group lies in its own part and every run in the block; the k between the groups run the
// scalar code.
TARN_AVX2 void mdct_fold_avx2(const double* block, const double* window, const double* c,
                              const double* s, double* z, int n) {
  const int q = n / 4;
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d half = _mm256_set1_pd(0.5);
  const __m256d minus_half = _mm256_set1_pd(-0.5);
  int k = 0;
  for (; k + 4 <= q / 2; k += 4) {
    const int m = q - 4 - k;  // the second group's first k
    const Products first = products(block, window, q - 8 - 2 * k);
    const Products second = products(block, window, q + 2 * k);
    const Products third = products(block, window, 3 * q - 8 - 2 * k);
    const Products fourth = products(block, window, 3 * q + 2 * k);
    // First part, k .. k + 3: a = (-wf(3q + 2k) - wf(3q - 1 - 2k)) * 0.5,
    // b = (wf(q + 2k) - wf(q - 1 - 2k)) * (-0.5).
    const __m256d a1 = _mm256_mul_pd(
        _mm256_sub_pd(_mm256_xor_pd(sign, fourth.even), reversed(third.odd)), half);
    const __m256d b1 = _mm256_mul_pd(_mm256_sub_pd(second.even, reversed(first.odd)), minus_half);
    store_twiddled(z + 2 * k, a1, b1, c + k, s + k);
    // Second part, m .. m + 3: a = (wf(2m - q) - wf(3q - 1 - 2m)) * 0.5,
    // b = (wf(q + 2m) - -wf(5q - 1 - 2m)) * (-0.5).
    const __m256d a2 = _mm256_mul_pd(_mm256_sub_pd(first.even, reversed(second.odd)), half);
    const __m256d b2 = _mm256_mul_pd(
        _mm256_sub_pd(third.even, _mm256_xor_pd(sign, reversed(fourth.odd))), minus_half);
    store_twiddled(z + 2 * m, a2, b2, c + m, s + m);
  }
  for (int j = k; j < q - k; ++j) fold_one(block, window, c, s, z, n, j);
}

// In output order: out[2k + 1] = -2V of q - 1 - k (out[h - 1 - 2j] = -2V_j), so four k and
// their mirrors, the four k' = q - 4 - k .. q - 1 - k, fill out[2k .. 2k + 7] (2U of k, -2V of
// k' reversed) and out[2k' .. 2k' + 7] (2U of k', -2V of k reversed) with whole vectors; every
// U and V is computed once, in pair order (see to_pair_order). The k between the groups run the
// same steps one at a time.
TARN_AVX2 void mdct_post_avx2(const double* spectrum, const double* c, const double* s,
                              double* out, int n) {
  const int q = n / 4;
  int k = 0;
  for (; k + 4 <= q / 2; k += 4) {
    const int m = q - 4 - k;
    __m256d u_k, v_k, u_m, v_m;
    post_twiddled(spectrum, c, s, k, u_k, v_k);
    post_twiddled(spectrum, c, s, m, u_m, v_m);
    const __m256d odd_k = reversed(v_m);  // -2V of q - 1 - k .. q - 4 - k in pair order
    const __m256d odd_m = reversed(v_k);
    _mm256_storeu_pd(out + 2 * k, _mm256_unpacklo_pd(u_k, odd_k));
    _mm256_storeu_pd(out + 2 * k + 4, _mm256_unpackhi_pd(u_k, odd_k));
    _mm256_storeu_pd(out + 2 * m, _mm256_unpacklo_pd(u_m, odd_m));
    _mm256_storeu_pd(out + 2 * m + 4, _mm256_unpackhi_pd(u_m, odd_m));
  }
  for (int j = k; j < q - k; ++j) {
    const double p = spectrum[2 * j];
    const double rr = spectrum[2 * j + 1];
    out[2 * j] = 2.0 * (p * c[j] + rr * s[j]);
    const int i = q - 1 - j;
    const double pi = spectrum[2 * i];
    const double ri = spectrum[2 * i + 1];
    out[2 * j + 1] = -2.0 * (ri * c[i] - pi * s[i]);
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
