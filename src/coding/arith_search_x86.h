#pragma once
// The x86 forms of the coding loops' model steps (PortableSearch in arith_model.h): the
// symbol search and the count update of the ShortModel in SSE2 (every x86-64 CPU) and AVX2,
// inlined into the coding loops of arith_kernels_x86.cpp and arith_kernels_avx2.cpp. The model's
// entries are 16-bit integers, so every form gives the same answers.

#if defined(__x86_64__)

#include <immintrin.h>

#include <bit>
#include <cstdint>

#include "coding/arith_model.h"

namespace tarn {

struct Sse2Search {
  // The comparisons' lanes, packed to bytes, as a bit mask: its first set bit is the first entry
  // above target.
  template <int vectors>
  static int entries_at_most(const int16_t* p, int target) {
    const __m128i t = _mm_set1_epi16(static_cast<int16_t>(target));
    uint64_t above = 0;
    for (int v = 0; v < vectors; v += 2) {
      const __m128i a =
          _mm_cmpgt_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(p + 8 * v)), t);
      const __m128i b =
          v + 1 < vectors
              ? _mm_cmpgt_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(p + 8 * v + 8)), t)
              : _mm_setzero_si128();
      above |= static_cast<uint64_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b))) << (8 * v);
    }
    return std::countr_zero(above | (uint64_t{1} << (8 * vectors)));
  }

  // The search reads the first SSE2_GROUP_SLOTS group starts (the 17 and padding), and the
  // count keeps just those: a model is stepped by one form only.
  static constexpr int SSE2_GROUP_SLOTS = 24;
  static_assert(SSE2_GROUP_SLOTS >= COUNT_GROUPS && SSE2_GROUP_SLOTS % 8 == 0);

  static int find(const ShortModel& m, uint32_t target, uint32_t& cum) {
    const int t = static_cast<int>(target);
    const int g = entries_at_most<SSE2_GROUP_SLOTS / 8>(m.group_start.data(), t) - 1;
    const int base = m.group_start[g];
    const int16_t* within = m.within.data() + g * COUNT_GROUP_SIZE;
    const int j = entries_at_most<COUNT_GROUP_SIZE / 8>(within, t - base) - 1;
    cum = static_cast<uint32_t>(base + within[j]);
    return g * COUNT_GROUP_SIZE + j;
  }

  // count_symbol with the runs of RISE added a vector at a time, in place.
  static void count(ShortModel& m, int symbol) {
    m.symbol_counts[symbol] += 1;
    m.total_count += 1;
    const unsigned group = static_cast<unsigned>(symbol) / COUNT_GROUP_SIZE;
    __m128i* within = reinterpret_cast<__m128i*>(m.within.data() + group * COUNT_GROUP_SIZE);
    const int16_t* rise = RISE.v.data() + 31 - static_cast<unsigned>(symbol) % COUNT_GROUP_SIZE;
    for (int v = 0; v < COUNT_GROUP_SIZE / 8; ++v) {
      within[v] =
          _mm_add_epi16(within[v], _mm_loadu_si128(reinterpret_cast<const __m128i*>(rise + 8 * v)));
    }
    __m128i* starts = reinterpret_cast<__m128i*>(m.group_start.data());
    const int16_t* group_rise = RISE.v.data() + 31 - group;
    for (int v = 0; v < SSE2_GROUP_SLOTS / 8; ++v) {
      starts[v] = _mm_add_epi16(
          starts[v], _mm_loadu_si128(reinterpret_cast<const __m128i*>(group_rise + 8 * v)));
    }
  }
};

// The same steps on 16 entries per vector: the group starts in two vectors, a group in one.
// Inlined only into functions compiled for AVX2 (arith_kernels_avx2.cpp).
struct Avx2Search {
  // Bit 2i of the mask is lane i's comparison: the first set bit, halved, counts the entries at
  // most target.
  [[gnu::always_inline, gnu::target("avx2")]] static int find(const ShortModel& m, uint32_t target,
                                                              uint32_t& cum) {
    static_assert(SHORT_GROUP_SLOTS == 32 && COUNT_GROUP_SIZE == 16);
    const int t = static_cast<int>(target);
    const __m256i* starts = reinterpret_cast<const __m256i*>(m.group_start.data());
    const __m256i tv = _mm256_set1_epi16(static_cast<int16_t>(t));
    const uint64_t above_lo =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi16(starts[0], tv)));
    const uint64_t above_hi =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi16(starts[1], tv)));
    // The padding slots lie above every target, so a bit is set.
    const int g = static_cast<int>(std::countr_zero(above_lo | (above_hi << 32)) / 2) - 1;
    const int base = m.group_start[g];
    const int16_t* within = m.within.data() + g * COUNT_GROUP_SIZE;
    const __m256i w = _mm256_load_si256(reinterpret_cast<const __m256i*>(within));
    const uint64_t above = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpgt_epi16(w, _mm256_set1_epi16(static_cast<int16_t>(t - base)))));
    const int j = static_cast<int>(std::countr_zero(above | (uint64_t{1} << 32)) / 2) - 1;
    cum = static_cast<uint32_t>(base + within[j]);
    return g * COUNT_GROUP_SIZE + j;
  }

  [[gnu::always_inline, gnu::target("avx2")]] static void count(ShortModel& m, int symbol) {
    m.symbol_counts[symbol] += 1;
    m.total_count += 1;
    const unsigned group = static_cast<unsigned>(symbol) / COUNT_GROUP_SIZE;
    __m256i* within = reinterpret_cast<__m256i*>(m.within.data() + group * COUNT_GROUP_SIZE);
    const int16_t* rise = RISE.v.data() + 31 - static_cast<unsigned>(symbol) % COUNT_GROUP_SIZE;
    *within = _mm256_add_epi16(*within, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rise)));
    __m256i* starts = reinterpret_cast<__m256i*>(m.group_start.data());
    const int16_t* group_rise = RISE.v.data() + 31 - group;
    starts[0] = _mm256_add_epi16(starts[0],
                                 _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group_rise)));
    starts[1] = _mm256_add_epi16(
        starts[1], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group_rise + 16)));
  }
};

}  // namespace tarn

#endif  // __x86_64__
