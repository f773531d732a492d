#pragma once
// What the arithmetic encoder (arith_encoder.h) and decoder (arith_decoder.h) share: the
// adaptive model's size limits and the layout of its counts. Internal to the coder: the rest of
// the system calls arith_compress and arith_decompress (arith_coder.h).
//
// Interval arithmetic is unsigned 32-bit with truncating division. After every renormalisation
//   range_low < CODE_HALF <= range_high  and  not (range_low >= CODE_FIRST_QUARTER and
//   range_high < CODE_THIRD_QUARTER),
// so the interval is at least 0x20000001 wide and range_step stays >= 1 while
// total_count <= 0x20000001.
//
// Renormalisation takes each run of the bit-by-bit rule in one step:
//  - while the interval lies in one half (bit 30 of range_low and range_high agree), the rule
//    sends that bit and doubles the interval: n such steps send the n leading bits the two ends
//    share, the first followed by the deferred underflow bits, and shift both ends left by n,
//    range_high filling with ones;
//  - then, while it straddles the middle within the inner quarters (range_low = 01...,
//    range_high = 10...), the rule defers a bit and widens around the middle: m such steps, m the
//    run of ones of range_low below bit 30 matched by zeros of range_high, double both ends m
//    times and subtract (2^m - 1) 2^30 from them, range_high again filling with ones.
// The first run cannot follow the second (after a widening range_low < 2^30 <= range_high), so
// one pass of each ends the renormalisation. The decoder's code value follows the ends modulo
// 2^32, as the rule's 2 * (code_value - offset) + bit does: a damaged stream's code value may lie
// outside the interval and wraps the same way. Over the first run the rule's offsets sum to 2^31
// times the shared leading bits, over the second to (2^m - 1) 2^30.

#include <array>
#include <cstdint>
#include <cstring>

#include "coding/arith_coder.h"

namespace tarn {

// Counts start at 1 and grow by one per coded symbol; with 257 initial counts and the end-of-block
// count, total_count stays <= 0x20000001 for up to 2^29 - 256 coded bytes.
constexpr int32_t ARITH_MAX_BYTES = (1 << 29) - 256;
static_assert(static_cast<uint32_t>(ARITH_MAX_BYTES) + NUM_SYMBOLS <= CODE_FIRST_QUARTER + 1u);

// The symbols form groups of COUNT_GROUP_SIZE (the last group holds only the end-of-block
// symbol). The encoder keeps cumulative counts per group and within each group, the decoder the
// sum of each group's counts (arith_encoder.h, arith_decoder.h).
constexpr int COUNT_GROUP_SIZE = 16;
constexpr int COUNT_GROUPS = (NUM_SYMBOLS + COUNT_GROUP_SIZE - 1) / COUNT_GROUP_SIZE;
static_assert(COUNT_GROUPS == 17);

// range / total as a multiplication by a reciprocal from a table, for the totals below
// RECIPROCAL_TOTALS (every total of a record, which codes at most a few thousand bytes; larger
// totals divide). With c = ceil(2^64 / total) = (2^64 + e) / total, 0 <= e < total:
//   c range / 2^64 = range / total + range e / (total 2^64),
// and for range, e < 2^32 the excess is below 1 / total, while range / total lies at least
// 1 / total below the next integer; so the high 64 bits of c range are floor(range / total).
constexpr uint32_t RECIPROCAL_TOTALS = 2048;
struct ReciprocalTable {
  uint64_t c[RECIPROCAL_TOTALS];  // c[t] = ceil(2^64 / t) for t >= 2; 0 for t < 2 (not used)
};
constexpr ReciprocalTable make_reciprocal_table() {
  ReciprocalTable t{};
  for (uint32_t d = 2; d < RECIPROCAL_TOTALS; ++d) t.c[d] = UINT64_MAX / d + 1;
  return t;
}
inline constexpr ReciprocalTable RECIPROCALS = make_reciprocal_table();

// floor(range / total) for total >= 2.
inline uint32_t divide_by_total(uint32_t range, uint32_t total) {
  if (total < RECIPROCAL_TOTALS) {
    __extension__ using Wide = unsigned __int128;
    return static_cast<uint32_t>((Wide{range} * RECIPROCALS.c[total]) >> 64);
  }
  return range / total;
}

// The interval after coding counts [cum_low, cum_high) with range_step: both ends from range_low
// before the step, as 64-bit values so that the renormalisation's shifts keep their high bits.
struct NarrowedInterval {
  uint64_t low;
  uint64_t high;
};

inline NarrowedInterval narrow(uint32_t range_low, uint32_t range_step, uint32_t cum_low,
                               uint32_t cum_high) {
  return {range_low + range_step * cum_low, range_low + range_step * cum_high - 1};
}

}  // namespace tarn
