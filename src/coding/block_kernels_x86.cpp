// The block coder's SSE2 kernels, two values at a time (every x86-64 CPU).

#if defined(__x86_64__)

#include <immintrin.h>

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

// band_extremes_sse2 four values at a time (AVX2), for bands of at least eight bins; VMAXPD and
// VMINPD keep the running value on a not-a-number as MAXPD and MINPD do, and the lanes are
// folded the same way.
__attribute__((target("avx2"))) void band_extremes_avx2(const BandTable& bands, const double* c,
                                                      const double* t, double* peak,
                                                      double* least) {
  const __m256d sign = _mm256_set1_pd(-0.0);
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int first = bands.bands[b].first;
    const int last = bands.bands[b].last;
    if (last < first) continue;
    double p = 0.0;
    double l = t[first];
    int k = first;
    if (last - first + 1 >= 8) {
      __m256d peak4 = _mm256_setzero_pd();
      __m256d least4 = _mm256_set1_pd(l);
      for (; k + 3 <= last; k += 4) {
        peak4 = _mm256_max_pd(_mm256_andnot_pd(sign, _mm256_loadu_pd(c + k)), peak4);
        least4 = _mm256_min_pd(_mm256_loadu_pd(t + k), least4);
      }
      __m128d peak2 =
          _mm_max_pd(_mm256_extractf128_pd(peak4, 1), _mm256_castpd256_pd128(peak4));
      __m128d least2 =
          _mm_min_pd(_mm256_extractf128_pd(least4, 1), _mm256_castpd256_pd128(least4));
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
// on whole numbers below 2^17. The two codes, masked to the band's width, come back as the low
// 32 bits and the high 32 bits of the result.
namespace {

struct BandQuantiser {
  __m128d divisor, high, low;
  __m128i mask;
};

inline uint64_t quantise_pair(const BandQuantiser& q, const double* c) {
  const __m128d sign = _mm_set1_pd(-0.0);
  const __m128d cap = _mm_set1_pd(65536.0);
  const __m128d half = _mm_set1_pd(0.5);
  const __m128d one = _mm_set1_pd(1.0);
  __m128d y = _mm_div_pd(_mm_loadu_pd(c), q.divisor);
  y = _mm_and_pd(y, _mm_cmpord_pd(y, y));
  const __m128d magnitude = _mm_min_pd(_mm_andnot_pd(sign, y), cap);
  const __m128d whole = _mm_cvtepi32_pd(_mm_cvttpd_epi32(magnitude));
  const __m128d up = _mm_and_pd(_mm_cmpgt_pd(_mm_sub_pd(magnitude, whole), half), one);
  __m128d r = _mm_or_pd(_mm_add_pd(whole, up), _mm_and_pd(sign, y));
  r = _mm_max_pd(_mm_min_pd(r, q.high), q.low);
  return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_and_si128(_mm_cvttpd_epi32(r), q.mask)));
}

// The two codes of a quantise_pair result as one field of twice the width, the first lowest.
inline uint64_t pair_field(uint64_t pair, int bits) {
  return (pair & 0xFFFFFFFFu) | (pair >> 32) << bits;
}

}  // namespace

// Four codes go out as one field of four times the width (at most 60 bits), then a pair, then a
// band's odd last code by the scalar code: the same bits in the same places as code by code.
void quantise_bands_sse2(const BandTable& bands, const double* c, const uint8_t* bits,
                         const double* step, WordWriter& writer) {
  WordWriter out = writer;  // in registers while the bands run
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int n = bits[b];
    if (n == 0) continue;
    const int first = bands.bands[b].first;
    const int last = bands.bands[b].last;
    const BandQuantiser q = {_mm_set1_pd(step[b]), _mm_set1_pd(QUANT_MAX[n]),
                             _mm_set1_pd(-QUANT_MAX[n] - 1.0),
                             _mm_set1_epi32(static_cast<int>((1u << n) - 1u))};
    int k = first;
    for (; k + 3 <= last; k += 4) {
      const uint64_t low = pair_field(quantise_pair(q, c + k), n);
      const uint64_t high = pair_field(quantise_pair(q, c + k + 2), n);
      put_word_bits(out, low | high << (2 * n), 4 * n);
    }
    if (k + 1 <= last) {
      put_word_bits(out, pair_field(quantise_pair(q, c + k), n), 2 * n);
      k += 2;
    }
    if (k == last) put_word_bits(out, quantise_by_step(c[k], step[b], n), n);
  }
  writer = out;
}

// Four codes from one word (4 n <= 57 bits, so every count but 15) into four 32-bit lanes,
// each moved up to bit 31 and shifted back to extend its sign, converted and multiplied as the
// scalar code does; a band's last one to three codes from one more word, and 15-bit bands from
// a word per three codes, code by code.
void dequantise_bands_sse2(const BandTable& bands, const WordReader& in, uint32_t pos,
                           const uint8_t* bits, const double* step, double* coefficients) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int n = bits[b];
    if (n == 0) continue;
    const int last = bands.bands[b].last;
    int k = bands.bands[b].first;
    const double factor = step[b];
    if (4 * n <= 57) {
      const __m128d factors = _mm_set1_pd(factor);
      const __m128i unused = _mm_cvtsi32_si128(32 - n);
      for (; k + 3 <= last; k += 4) {
        const uint64_t word = bits_at(in, pos);
        __m128i codes = _mm_set_epi32(static_cast<int>(word >> (3 * n)),
                                      static_cast<int>(word >> (2 * n)),
                                      static_cast<int>(word >> n), static_cast<int>(word));
        codes = _mm_sra_epi32(_mm_sll_epi32(codes, unused), unused);
        _mm_storeu_pd(coefficients + k, _mm_mul_pd(_mm_cvtepi32_pd(codes), factors));
        _mm_storeu_pd(coefficients + k + 2,
                      _mm_mul_pd(_mm_cvtepi32_pd(_mm_shuffle_epi32(codes, 0xEE)), factors));
        pos += static_cast<uint32_t>(4 * n);
      }
    }
    const int64_t mask = (int64_t{1} << n) - 1;
    const int64_t sign = int64_t{1} << (n - 1);
    while (k <= last) {
      uint64_t word = bits_at(in, pos);
      const int count = std::min(3, last - k + 1);  // 3 n <= 45 bits
      for (int j = 0; j < count; ++j, word >>= n) {
        const int64_t q = ((static_cast<int64_t>(word) & mask) ^ sign) - sign;
        coefficients[k + j] = static_cast<double>(q) * factor;
      }
      k += count;
      pos += static_cast<uint32_t>(count * n);
    }
  }
}

// dequantise_bands_sse2 with AVX2: the word in four 64-bit lanes shifted right by 0, n, 2n and
// 3n bits at once, their low 32 bits gathered into four lanes, and the four coefficients
// converted, multiplied and stored together.
__attribute__((target("avx2"))) void dequantise_bands_avx2(const BandTable& bands,
                                                         const WordReader& in, uint32_t pos,
                                                         const uint8_t* bits, const double* step,
                                                         double* coefficients) {
  const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int n = bits[b];
    if (n == 0) continue;
    const int last = bands.bands[b].last;
    int k = bands.bands[b].first;
    const double factor = step[b];
    if (4 * n <= 57) {
      const __m256d factors = _mm256_set1_pd(factor);
      const __m256i shifts = _mm256_set_epi64x(3 * n, 2 * n, n, 0);
      const __m128i unused = _mm_cvtsi32_si128(32 - n);
      for (; k + 3 <= last; k += 4) {
        const __m256i lanes = _mm256_srlv_epi64(
            _mm256_set1_epi64x(static_cast<int64_t>(bits_at(in, pos))), shifts);
        __m128i codes = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(lanes, low_halves));
        codes = _mm_sra_epi32(_mm_sll_epi32(codes, unused), unused);
        _mm256_storeu_pd(coefficients + k, _mm256_mul_pd(_mm256_cvtepi32_pd(codes), factors));
        pos += static_cast<uint32_t>(4 * n);
      }
    }
    const int64_t mask = (int64_t{1} << n) - 1;
    const int64_t sign = int64_t{1} << (n - 1);
    while (k <= last) {
      uint64_t word = bits_at(in, pos);
      const int count = std::min(3, last - k + 1);  // 3 n <= 45 bits
      for (int j = 0; j < count; ++j, word >>= n) {
        const int64_t q = ((static_cast<int64_t>(word) & mask) ^ sign) - sign;
        coefficients[k + j] = static_cast<double>(q) * factor;
      }
      k += count;
      pos += static_cast<uint32_t>(count * n);
    }
  }
}

// The same steps four values at a time (AVX2): the four codes, zero-extended to 64 bits and
// shifted by 0, n, 2n and 3n bits, are ORed into one field of four times the width. A band's
// last one to three values are loaded under a mask, the lanes beyond them as 0.0, whose code 0
// adds only zeros above the field that is written.
namespace {

struct AvxQuantiser {
  __m256d divisor, high, low;
  __m128i mask;
  __m256i shifts;
};

__attribute__((target("avx2"))) inline uint64_t quantise_four(const AvxQuantiser& q, __m256d v) {
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d cap = _mm256_set1_pd(65536.0);
  const __m256d half = _mm256_set1_pd(0.5);
  const __m256d one = _mm256_set1_pd(1.0);
  __m256d y = _mm256_div_pd(v, q.divisor);
  y = _mm256_and_pd(y, _mm256_cmp_pd(y, y, _CMP_ORD_Q));
  const __m256d magnitude = _mm256_min_pd(_mm256_andnot_pd(sign, y), cap);
  const __m256d whole = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(magnitude));
  const __m256d up =
      _mm256_and_pd(_mm256_cmp_pd(_mm256_sub_pd(magnitude, whole), half, _CMP_GT_OQ), one);
  __m256d r = _mm256_or_pd(_mm256_add_pd(whole, up), _mm256_and_pd(sign, y));
  r = _mm256_max_pd(_mm256_min_pd(r, q.high), q.low);
  const __m128i codes = _mm_and_si128(_mm256_cvttpd_epi32(r), q.mask);
  const __m256i placed = _mm256_sllv_epi64(_mm256_cvtepu32_epi64(codes), q.shifts);
  __m128i field =
      _mm_or_si128(_mm256_castsi256_si128(placed), _mm256_extracti128_si256(placed, 1));
  field = _mm_or_si128(field, _mm_unpackhi_epi64(field, field));
  return static_cast<uint64_t>(_mm_cvtsi128_si64(field));
}

}  // namespace

__attribute__((target("avx2"))) void quantise_bands_avx2(const BandTable& bands, const double* c,
                                                       const uint8_t* bits, const double* step,
                                                       WordWriter& writer) {
  WordWriter out = writer;  // in registers while the bands run
  // Lane masks for 1 .. 3 values (the sign bit selects a lane).
  alignas(32) static const int64_t LANES[4][4] = {
      {0, 0, 0, 0}, {-1, 0, 0, 0}, {-1, -1, 0, 0}, {-1, -1, -1, 0}};
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int n = bits[b];
    if (n == 0) continue;
    const int last = bands.bands[b].last;
    const AvxQuantiser q = {_mm256_set1_pd(step[b]), _mm256_set1_pd(QUANT_MAX[n]),
                            _mm256_set1_pd(-QUANT_MAX[n] - 1.0),
                            _mm_set1_epi32(static_cast<int>((1u << n) - 1u)),
                            _mm256_set_epi64x(3 * n, 2 * n, n, 0)};
    int k = bands.bands[b].first;
    for (; k + 3 <= last; k += 4) {
      put_word_bits(out, quantise_four(q, _mm256_loadu_pd(c + k)), 4 * n);
    }
    const int rest = last - k + 1;  // 0 .. 3
    if (rest > 0) {
      const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(LANES[rest]));
      put_word_bits(out, quantise_four(q, _mm256_maskload_pd(c + k, lanes)), rest * n);
    }
  }
  writer = out;
}

}  // namespace block
}  // namespace tarn

#endif  // __x86_64__
