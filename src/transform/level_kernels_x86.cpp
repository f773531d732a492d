// The x86-64 bin-level kernels: two bins at a time with SSE2 (every x86-64 CPU) and four at a
// time with AVX2. Each lane does the scalar code's IEEE operations in its order (neither FMA
// nor contraction is enabled), so both give the bits of bin_levels_portable. A bin under the
// floor (p f below APPROX_MIN_ARGUMENT or not a number, or p = 0) gets the scalar code's 0.0 and
// exact flag by selection: its lane's logarithm, taken on whatever bits it has (the table index
// is masked, so any bits are safe), is discarded. A group with a bin above APPROX_MAX_ARGUMENT
// takes the scalar code bin by bin, as do the bins after the last whole group.


#if defined(__x86_64__)

#include <immintrin.h>

#include <cstring>

#include "transform/level_kernels.h"

namespace tarn {
namespace levels {

namespace {

// The four exact flags of an AVX2 group from the bit mask of its bins under the floor: flag i is
// bit i. Word m of the table holds the flags of mask m (x86 stores the word's low byte first).
constexpr uint32_t exact_word(int m) {
  const uint32_t u = static_cast<uint32_t>(m);
  return (u & 1u) | ((u & 2u) << 7) | ((u & 4u) << 14) | ((u & 8u) << 21);
}
constexpr uint32_t EXACT_WORDS[16] = {
    exact_word(0),  exact_word(1),  exact_word(2),  exact_word(3),  exact_word(4),  exact_word(5),
    exact_word(6),  exact_word(7),  exact_word(8),  exact_word(9),  exact_word(10), exact_word(11),
    exact_word(12), exact_word(13), exact_word(14), exact_word(15)};

inline void store_exact(uint8_t* exact, int mask) { std::memcpy(exact, &EXACT_WORDS[mask], 4); }

}  // namespace

void bin_levels_sse2(const double* re, const double* im, int n, double f, double* power,
                     double* approx, uint8_t* exact) {
  const LogTable& t = log_table();
  int k = 0;
  for (; k + 2 <= n; k += 2) {
    const __m128d a = _mm_loadu_pd(re + k);
    const __m128d b = _mm_loadu_pd(im + k);
    const __m128d p = _mm_add_pd(_mm_mul_pd(a, a), _mm_mul_pd(b, b));
    const __m128d x = _mm_mul_pd(p, _mm_set1_pd(f));
    // floor: !(x >= min) || p == 0, lane by lane; high: x > max.
    const __m128d floor = _mm_or_pd(_mm_cmpnge_pd(x, _mm_set1_pd(APPROX_MIN_ARGUMENT)),
                                    _mm_cmpeq_pd(p, _mm_setzero_pd()));
    if (_mm_movemask_pd(_mm_cmpgt_pd(x, _mm_set1_pd(APPROX_MAX_ARGUMENT))) != 0) {
      for (int j = k; j < k + 2; ++j) approximate_one_bin(t, re, im, j, f, power, approx, exact);
      continue;
    }
    _mm_storeu_pd(power + k, p);
    // x = m 2^e: the biased exponents to two int32 (x is positive), the table indices, and m.
    const __m128i bits = _mm_castpd_si128(x);
    const __m128i biased = _mm_shuffle_epi32(_mm_srli_epi64(bits, 52), _MM_SHUFFLE(3, 1, 2, 0));
    const __m128d e = _mm_cvtepi32_pd(_mm_sub_epi32(biased, _mm_set1_epi32(1023)));
    const __m128i index = _mm_and_si128(_mm_srli_epi64(bits, 52 - LOG_TABLE_BITS),
                                        _mm_set1_epi64x(LOG_TABLE_SIZE - 1));
    const int i0 = _mm_cvtsi128_si32(index);
    const int i1 = _mm_cvtsi128_si32(_mm_unpackhi_epi64(index, index));
    const __m128d m =
        _mm_castsi128_pd(_mm_or_si128(_mm_and_si128(bits, _mm_set1_epi64x(0x000FFFFFFFFFFFFFll)),
                                      _mm_set1_epi64x(0x3FF0000000000000ll)));
    const __m128d inverse = _mm_set_pd(t.inverse_centre[i1], t.inverse_centre[i0]);
    const __m128d log2_centre = _mm_set_pd(t.log2_centre[i1], t.log2_centre[i0]);
    const __m128d r = _mm_sub_pd(_mm_mul_pd(m, inverse), _mm_set1_pd(1.0));
    const __m128d inner = _mm_add_pd(_mm_set1_pd(-0.5), _mm_mul_pd(r, _mm_set1_pd(1.0 / 3.0)));
    const __m128d series = _mm_mul_pd(r, _mm_add_pd(_mm_set1_pd(1.0), _mm_mul_pd(r, inner)));
    const __m128d log10_x = _mm_mul_pd(
        _mm_add_pd(_mm_add_pd(e, log2_centre), _mm_mul_pd(series, _mm_set1_pd(INV_LN_2))),
        _mm_set1_pd(LOG10_2));
    const __m128d level =
        _mm_add_pd(_mm_set1_pd(FULL_SCALE_DB), _mm_mul_pd(_mm_set1_pd(10.0), log10_x));
    const __m128d zeroed = _mm_or_pd(floor, _mm_cmplt_pd(level, _mm_setzero_pd()));
    _mm_storeu_pd(approx + k, _mm_andnot_pd(zeroed, level));
    const int under = _mm_movemask_pd(floor);
    exact[k] = static_cast<uint8_t>(under & 1);
    exact[k + 1] = static_cast<uint8_t>(under >> 1);
  }
  for (; k < n; ++k) approximate_one_bin(t, re, im, k, f, power, approx, exact);
}

// As bin_levels_sse2 in four lanes.
__attribute__((target("avx2"))) void bin_levels_avx2(const double* re, const double* im, int n,
                                                     double f, double* power, double* approx,
                                                     uint8_t* exact) {
  const LogTable& t = log_table();
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    const __m256d a = _mm256_loadu_pd(re + k);
    const __m256d b = _mm256_loadu_pd(im + k);
    const __m256d p = _mm256_add_pd(_mm256_mul_pd(a, a), _mm256_mul_pd(b, b));
    const __m256d x = _mm256_mul_pd(p, _mm256_set1_pd(f));
    const __m256d floor =
        _mm256_or_pd(_mm256_cmp_pd(x, _mm256_set1_pd(APPROX_MIN_ARGUMENT), _CMP_NGE_UQ),
                     _mm256_cmp_pd(p, _mm256_setzero_pd(), _CMP_EQ_OQ));
    if (_mm256_movemask_pd(_mm256_cmp_pd(x, _mm256_set1_pd(APPROX_MAX_ARGUMENT), _CMP_GT_OQ)) !=
        0) {
      for (int j = k; j < k + 4; ++j) approximate_one_bin(t, re, im, j, f, power, approx, exact);
      continue;
    }
    _mm256_storeu_pd(power + k, p);
    // x = m 2^e: the biased exponents to four int32 (x is positive), the table indices, and m.
    const __m256i bits = _mm256_castpd_si256(x);
    const __m256i biased = _mm256_permutevar8x32_epi32(_mm256_srli_epi64(bits, 52),
                                                       _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
    const __m256d e =
        _mm256_cvtepi32_pd(_mm_sub_epi32(_mm256_castsi256_si128(biased), _mm_set1_epi32(1023)));
    const __m256i index = _mm256_and_si256(_mm256_srli_epi64(bits, 52 - LOG_TABLE_BITS),
                                           _mm256_set1_epi64x(LOG_TABLE_SIZE - 1));
    const __m256d m = _mm256_castsi256_pd(
        _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(0x000FFFFFFFFFFFFFll)),
                        _mm256_set1_epi64x(0x3FF0000000000000ll)));
    // The four pairs {inverse, log2} by index, transposed: faster than two gathers.
    const __m128i low = _mm256_castsi256_si128(index);
    const __m128i high = _mm256_extracti128_si256(index, 1);
    const __m128d p0 = _mm_load_pd(t.pairs[_mm_cvtsi128_si64(low)]);
    const __m128d p1 = _mm_load_pd(t.pairs[_mm_extract_epi64(low, 1)]);
    const __m128d p2 = _mm_load_pd(t.pairs[_mm_cvtsi128_si64(high)]);
    const __m128d p3 = _mm_load_pd(t.pairs[_mm_extract_epi64(high, 1)]);
    const __m256d p02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(p0), p2, 1);
    const __m256d p13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(p1), p3, 1);
    const __m256d inverse = _mm256_unpacklo_pd(p02, p13);
    const __m256d log2_centre = _mm256_unpackhi_pd(p02, p13);
    const __m256d r = _mm256_sub_pd(_mm256_mul_pd(m, inverse), _mm256_set1_pd(1.0));
    const __m256d inner =
        _mm256_add_pd(_mm256_set1_pd(-0.5), _mm256_mul_pd(r, _mm256_set1_pd(1.0 / 3.0)));
    const __m256d series =
        _mm256_mul_pd(r, _mm256_add_pd(_mm256_set1_pd(1.0), _mm256_mul_pd(r, inner)));
    const __m256d log10_x =
        _mm256_mul_pd(_mm256_add_pd(_mm256_add_pd(e, log2_centre),
                                    _mm256_mul_pd(series, _mm256_set1_pd(INV_LN_2))),
                      _mm256_set1_pd(LOG10_2));
    const __m256d level =
        _mm256_add_pd(_mm256_set1_pd(FULL_SCALE_DB), _mm256_mul_pd(_mm256_set1_pd(10.0), log10_x));
    const __m256d zeroed =
        _mm256_or_pd(floor, _mm256_cmp_pd(level, _mm256_setzero_pd(), _CMP_LT_OQ));
    _mm256_storeu_pd(approx + k, _mm256_andnot_pd(zeroed, level));
    store_exact(exact + k, _mm256_movemask_pd(floor));
  }
  for (; k < n; ++k) approximate_one_bin(t, re, im, k, f, power, approx, exact);
}

}  // namespace levels
}  // namespace tarn

#endif  // __x86_64__
