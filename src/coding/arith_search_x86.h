#pragma once
// The symbol search's SSE2 step (every x86-64 CPU), the x86 form of PortableSearch
// (arith_model.h), inlined into the decoding loops of arith_decoder_x86.cpp.

#if defined(__x86_64__)

#include <emmintrin.h>

#include <bit>
#include <cstdint>

namespace tarn {

struct Sse2Search {
  // The comparisons' lanes, packed to bytes, as a bit mask: its first set bit is the first entry
  // above target.
  template <int vectors>
  static int entries_at_most(const int16_t* p, int target) {
    const __m128i t = _mm_set1_epi16(static_cast<int16_t>(target));
    uint32_t above = 0;
    for (int v = 0; v < vectors; v += 2) {
      const __m128i a =
          _mm_cmpgt_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(p + 8 * v)), t);
      const __m128i b =
          v + 1 < vectors
              ? _mm_cmpgt_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(p + 8 * v + 8)), t)
              : _mm_setzero_si128();
      above |= static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b))) << (8 * v);
    }
    return std::countr_zero(above | (uint32_t{1} << (8 * vectors)));
  }
};

}  // namespace tarn

#endif  // __x86_64__
