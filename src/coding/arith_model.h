#pragma once
// What the arithmetic encoder (arith_encoder.h) and decoder (arith_decoder.h) share: the
// interval arithmetic and the adaptive model, whose counts both sides keep and update alike.
// Internal to the coder: the rest of the system calls arith_compress and arith_decompress
// (arith_coder.h).
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
#include <bit>
#include <cstdint>
#include <cstring>

#include "coding/arith_coder.h"

namespace tarn {

// Counts start at 1 and grow by one per coded symbol; with 257 initial counts and the end-of-block
// count, total_count stays <= 0x20000001 for up to 2^29 - 256 coded bytes.
constexpr int32_t ARITH_MAX_BYTES = (1 << 29) - 256;
static_assert(static_cast<uint32_t>(ARITH_MAX_BYTES) + NUM_SYMBOLS <= CODE_FIRST_QUARTER + 1u);

// The symbols form groups of COUNT_GROUP_SIZE (the last group holds only the end-of-block
// symbol); both forms of the model below keep sums per group.
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
  if (__builtin_expect(total < RECIPROCAL_TOTALS, 1)) {
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

// Both renormalisation runs of a narrowed interval [low, high] (both ends below 2^31) at once:
// n shared leading bits, then m underflow bits. After the first run low = 0 1^m x and
// high = 1 0^m y (bits 30 down); the second run takes the 1^m and 0^m out and fills high with
// ones, leaving low = x 0^m and high = 1 y 1^m. So both ends are the narrowed ones shifted by
// k = n + m with bits 30 and up cleared, high taking bit 30 and k ones below: the same values
// as the runs taken one by one. The m ones of low over zeros of high start at bit 29 - n of the
// narrowed ends.
struct Renormalised {
  uint32_t low;
  uint32_t high;
  int shared_bits;     // n: 0 .. 31 (31 where low = high)
  int underflow_bits;  // m: 0 .. 30; n + m <= 31, as the interval is at least 1 wide
};

[[gnu::always_inline]] inline Renormalised renormalise(uint32_t low, uint32_t high) {
  const int n = std::countl_zero(((low ^ high) << 1) | 1u);
  const uint32_t straddle = static_cast<uint32_t>(uint64_t{low & ~high} << (n + 2));
  const int m = std::countl_one(straddle);
  const int k = n + m;
  constexpr uint32_t BELOW_HALF = CODE_HALF - 1;
  return {(low << k) & BELOW_HALF,
          (((high << k) | ((uint32_t{1} << k) - 1)) & BELOW_HALF) | CODE_HALF, n, m};
}

// The adaptive model: one count per symbol, all 1 at the start, one more per coded symbol. Each
// side asks it for cum(s), the sum of the counts below s (the encoder), or for the symbol whose
// interval [cum(s), cum(s) + count(s)) holds a target (the decoder), and counts the symbol. Two
// forms give the same answers:
//  - ShortModel, for buffers of at most SHORT_MODEL_SYMBOLS coded bytes, which every record of a
//    stream is: cumulative counts in 16-bit lanes, so that cum(s) is one sum and the symbol
//    search a few vector comparisons, with no branch whose outcome follows the data;
//  - GroupModel, for any length: the sums of each group's counts, walked.

// ShortModel keeps, as 16-bit integers,
//   group_start[g]   = the counts of all groups below g (g < COUNT_GROUPS),
//   within[16 g + j] = the counts of the symbols of group g below its j-th,
// so cum(s) = group_start[s / 16] + within[s]. Counts rise strictly within a group and across
// the groups (every count is at least 1), so the entries at most a target form a prefix, whose
// length less one is the index sought. The padding slots past the 17 group starts begin at
// SHORT_MODEL_PADDING and gain one per counted symbol, as the last group start does; those past
// the end-of-block symbol in its group gain one when it is counted. After n counted symbols
// every target is below total_count = 257 + n, under the padding; the padding,
// SHORT_MODEL_PADDING + n, stays below 2^15 for n <= SHORT_MODEL_SYMBOLS + 1 (the bytes and the
// end-of-block symbol).
constexpr int16_t SHORT_MODEL_PADDING = 0x4000;
constexpr int32_t SHORT_MODEL_SYMBOLS = 0x7FFF - SHORT_MODEL_PADDING - 1;
constexpr int SHORT_GROUP_SLOTS = 32;
static_assert(SHORT_GROUP_SLOTS >= COUNT_GROUPS && SHORT_GROUP_SLOTS % 8 == 0);
static_assert(SHORT_MODEL_PADDING > NUM_SYMBOLS);

struct ShortModel {
  std::array<uint32_t, NUM_SYMBOLS> symbol_counts;  // 0..255 byte values, 256 = EOB_SYMBOL
  uint32_t total_count;                             // sum of symbol_counts
  alignas(32) std::array<int16_t, SHORT_GROUP_SLOTS> group_start;
  alignas(32) std::array<int16_t, COUNT_GROUPS * COUNT_GROUP_SIZE> within;
};

// The fresh ShortModel's prefix sums: every count 1.
struct ShortModelStart {
  std::array<int16_t, SHORT_GROUP_SLOTS> group_start;
  std::array<int16_t, COUNT_GROUPS * COUNT_GROUP_SIZE> within;
};
constexpr ShortModelStart make_short_model_start() {
  ShortModelStart start{};
  for (int g = 0; g < SHORT_GROUP_SLOTS; ++g) {
    start.group_start[g] =
        static_cast<int16_t>(g < COUNT_GROUPS ? g * COUNT_GROUP_SIZE : SHORT_MODEL_PADDING);
  }
  for (int s = 0; s < COUNT_GROUPS * COUNT_GROUP_SIZE; ++s) {
    start.within[s] =
        static_cast<int16_t>(s < NUM_SYMBOLS ? s % COUNT_GROUP_SIZE : SHORT_MODEL_PADDING);
  }
  return start;
}
inline constexpr ShortModelStart SHORT_MODEL_START = make_short_model_start();

// Fresh model: every count 1, total 257.
inline void model_reset(ShortModel& m) {
  m.symbol_counts.fill(1);
  m.total_count = NUM_SYMBOLS;
  m.group_start = SHORT_MODEL_START.group_start;
  m.within = SHORT_MODEL_START.within;
}

inline uint32_t cumulative_count(const ShortModel& m, int symbol) {
  return static_cast<uint32_t>(m.group_start[symbol / COUNT_GROUP_SIZE] + m.within[symbol]);
}

// The symbol search's inner step, in a policy type so that each decoding loop is compiled with
// one form inlined (arith_decoder.cpp: portable; arith_kernels_x86.cpp: SSE2, arith_search_x86.h):
//   static int entries_at_most<vectors>(const int16_t* p, int target)
// counts the entries of p[0 .. 8 vectors - 1] (16-byte aligned) that are at most target; the
// entries rise, so those come first. Each form gives the same count.
// A policy also gives the two model steps of a decoding loop on the ShortModel, each form
// answering as find_symbol and count_symbol below do:
//   static int find(const ShortModel& m, uint32_t target, uint32_t& cum)
//   static void count(ShortModel& m, int symbol)
struct PortableSearch {
  template <int vectors>
  static int entries_at_most(const int16_t* p, int target) {
    int count = 0;
    for (int i = 0; i < 8 * vectors; ++i) count += p[i] <= target ? 1 : 0;
    return count;
  }
  static int find(const ShortModel& m, uint32_t target, uint32_t& cum);
  static void count(ShortModel& m, int symbol);
};

// The first symbol s with cum(s) + symbol_counts[s] > target, for target < total_count; cum
// receives cum(s).
template <typename Search>
inline int find_symbol(const ShortModel& m, uint32_t target, uint32_t& cum) {
  const int t = static_cast<int>(target);
  const int g =
      Search::template entries_at_most<SHORT_GROUP_SLOTS / 8>(m.group_start.data(), t) - 1;
  const int base = m.group_start[g];
  const int16_t* within = m.within.data() + g * COUNT_GROUP_SIZE;
  const int j = Search::template entries_at_most<COUNT_GROUP_SIZE / 8>(within, t - base) - 1;
  cum = static_cast<uint32_t>(base + within[j]);
  return g * COUNT_GROUP_SIZE + j;
}

// RISE[i] = 1 from i = 32 on, else 0: RISE[31 - r + j] = (j > r ? 1 : 0) for r, j in 0 .. 31,
// so that the increments of the entries after entry r are a plain run of the table.
struct RiseTable {
  std::array<int16_t, 64> v;
};
constexpr RiseTable make_rise_table() {
  RiseTable t{};
  for (int i = 0; i < 64; ++i) t.v[i] = static_cast<int16_t>(i >= 32 ? 1 : 0);
  return t;
}
inline constexpr RiseTable RISE = make_rise_table();

// One more occurrence of symbol: its count and the total, and every later symbol of its group
// and every later group start take one more. Additions of a run of RISE, of fixed length and
// without comparisons, on copies in local arrays, which the compiler turns into a few vector
// additions (on the model in place it must allow for the table and the model overlapping).
inline void count_symbol(ShortModel& m, int symbol) {
  m.symbol_counts[symbol] += 1;
  m.total_count += 1;
  const int group = symbol / COUNT_GROUP_SIZE;
  int16_t* within = m.within.data() + group * COUNT_GROUP_SIZE;
  int16_t counts[COUNT_GROUP_SIZE];
  int16_t rise[COUNT_GROUP_SIZE];
  std::memcpy(counts, within, sizeof counts);
  std::memcpy(rise, RISE.v.data() + 31 - symbol % COUNT_GROUP_SIZE, sizeof rise);
  for (int j = 0; j < COUNT_GROUP_SIZE; ++j) counts[j] = static_cast<int16_t>(counts[j] + rise[j]);
  std::memcpy(within, counts, sizeof counts);
  int16_t starts[SHORT_GROUP_SLOTS];
  int16_t group_rise[SHORT_GROUP_SLOTS];
  std::memcpy(starts, m.group_start.data(), sizeof starts);
  std::memcpy(group_rise, RISE.v.data() + 31 - group, sizeof group_rise);
  for (int g = 0; g < SHORT_GROUP_SLOTS; ++g) {
    starts[g] = static_cast<int16_t>(starts[g] + group_rise[g]);
  }
  std::memcpy(m.group_start.data(), starts, sizeof starts);
}

inline int PortableSearch::find(const ShortModel& m, uint32_t target, uint32_t& cum) {
  return find_symbol<PortableSearch>(m, target, cum);
}
inline void PortableSearch::count(ShortModel& m, int symbol) { count_symbol(m, symbol); }

// GroupModel: the counts and the sum of each group's counts.
struct GroupModel {
  std::array<uint32_t, NUM_SYMBOLS> symbol_counts;  // 0..255 byte values, 256 = EOB_SYMBOL
  uint32_t total_count;                             // sum of symbol_counts
  std::array<uint32_t, COUNT_GROUPS> group_counts;
};

// Fresh model: every count 1, total 257.
inline void model_reset(GroupModel& m) {
  m.symbol_counts.fill(1);
  m.total_count = NUM_SYMBOLS;
  m.group_counts.fill(COUNT_GROUP_SIZE);
  m.group_counts[COUNT_GROUPS - 1] = NUM_SYMBOLS - (COUNT_GROUPS - 1) * COUNT_GROUP_SIZE;
}

inline uint32_t cumulative_count(const GroupModel& m, int symbol) {
  const int group = symbol / COUNT_GROUP_SIZE;
  uint32_t cum = 0;
  for (int g = 0; g < group; ++g) cum += m.group_counts[g];
  for (int s = group * COUNT_GROUP_SIZE; s < symbol; ++s) cum += m.symbol_counts[s];
  return cum;
}

// The group sums lead to the group that holds the symbol (the sum of all groups is total_count
// > target, so the walk stops at the last group at the latest), then its counts. Search is
// unused: this form has no vector step.
template <typename Search = PortableSearch>
inline int find_symbol(const GroupModel& m, uint32_t target, uint32_t& cum) {
  uint32_t sum = 0;
  int g = 0;
  while (sum + m.group_counts[g] <= target) sum += m.group_counts[g++];
  int s = g * COUNT_GROUP_SIZE;
  while (sum + m.symbol_counts[s] <= target) sum += m.symbol_counts[s++];
  cum = sum;
  return s;
}

inline void count_symbol(GroupModel& m, int symbol) {
  m.symbol_counts[symbol] += 1;
  m.group_counts[symbol / COUNT_GROUP_SIZE] += 1;
  m.total_count += 1;
}

}  // namespace tarn
