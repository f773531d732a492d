#pragma once
// The arithmetic coder's working state and the operations shared by arith_encoder.cpp and
// arith_decoder.cpp. Internal to the coder: the rest of the system calls arith_compress and
// arith_decompress (arith_coder.h). One ArithCoder lives on the stack of one entry-point call;
// nothing survives the call, so every buffer is coded with a fresh model.
//
// Interval arithmetic is unsigned 32-bit with truncating division. After every renormalisation
//   range_low < CODE_HALF <= range_high  and  not (range_low >= CODE_FIRST_QUARTER and
//   range_high < CODE_THIRD_QUARTER),
// so the interval is at least 0x20000001 wide and range_step stays >= 1 while
// total_count <= 0x20000001.

#include <array>
#include <cstdint>
#include <cstring>

#include "coding/arith_coder.h"

namespace tarn {

// Counts start at 1 and grow by one per coded symbol; with 257 initial counts and the end-of-block
// count, total_count stays <= 0x20000001 for up to 2^29 - 256 coded bytes.
constexpr int32_t ARITH_MAX_BYTES = (1 << 29) - 256;
static_assert(static_cast<uint32_t>(ARITH_MAX_BYTES) + NUM_SYMBOLS <= CODE_FIRST_QUARTER + 1u);

constexpr int COUNT_GROUP_SIZE = 16;
constexpr int COUNT_GROUPS = (NUM_SYMBOLS + COUNT_GROUP_SIZE - 1) / COUNT_GROUP_SIZE;
static_assert(COUNT_GROUPS == 17);
// Four counts per vector (SSE2, the x86-64 baseline): a group is four vectors, the group
// starts five (the last three slots padding).
constexpr int COUNT_LANES = 4;
constexpr int COUNT_GROUP_SLOTS = 20;
static_assert(COUNT_GROUP_SIZE % COUNT_LANES == 0 && COUNT_GROUP_SLOTS % COUNT_LANES == 0);
static_assert(COUNT_GROUP_SLOTS >= COUNT_GROUPS);
// The padding slots of the cumulative arrays (whole vectors beyond the 257 symbols and 17
// groups): a value no cumulative count reaches, which the additions keep far below 2^31.
constexpr int32_t COUNT_PAST_END = 0x40000000;

struct ArithCoder {
  uint8_t bit_buffer;  // encoder: bits of the output byte being assembled;
                       // decoder: unconsumed bits of the current input byte, next one at bit 7
  uint8_t bit_count;   // encoder: bits collected in bit_buffer (0..7); decoder: bits left (0..8)
  uint8_t* stream;     // encoder: the output buffer
  const uint8_t* stream_in;  // decoder: the compressed input
  int32_t* stream_length;    // encoder: receives the bytes written when encoding finishes;
                             // decoder: points at the number of compressed input bytes
  int32_t stream_pos;        // encoder: bytes written so far; decoder: input bytes consumed
  int32_t stream_capacity;   // encoder: bytes the output buffer holds
  bool stream_full;          // encoder: a byte was dropped because the output was full
  uint32_t range_low;        // low end of the current interval, inclusive
  uint32_t range_high;       // high end of the current interval, inclusive
  uint32_t range_step;       // (range_high - range_low + 1) / total_count of the current symbol
  uint32_t pending_bits;     // encoder: deferred underflow bits
  uint32_t code_value;       // decoder: the current 31-bit window of the code stream
  const uint8_t* source;     // encoder: the bytes to compress
  int32_t source_pos;        // encoder: index of the next byte to compress
  int32_t source_length;     // encoder: number of bytes to compress
  uint8_t* decoded;          // decoder: where decoded bytes go
  int32_t decoded_length;    // decoder: decoded bytes written
  int32_t decoded_capacity;  // decoder: bytes the destination holds
  std::array<uint32_t, NUM_SYMBOLS> symbol_counts;  // 0..255 byte values, 256 = EOB_SYMBOL
  uint32_t total_count;                             // sum of symbol_counts
  // The encoder's cumulative counts, in two levels so that cum(s) is one sum (no scan). The
  // symbols form groups of
  // COUNT_GROUP_SIZE (the last group holds only the end-of-block symbol);
  //   group_start[g]   = the counts of all groups below g (g < COUNT_GROUPS),
  //   within[16 g + j] = the counts of the symbols of group g below its j-th,
  // so cum(s) = group_start[s / 16] + within[s]. The slots past the last group and the last
  // symbol are padding (COUNT_PAST_END). The sums are integers: exactly the scan's sums.
  alignas(16) std::array<int32_t, COUNT_GROUP_SLOTS> group_start;
  alignas(16) std::array<int32_t, COUNT_GROUPS * COUNT_GROUP_SIZE> within;
  // The decoder's form: the sums of symbol_counts per group, which its search walks (in
  // practice faster than searching the cumulative arrays, whose upkeep costs more than the
  // short walks over the small byte values that dominate the frames).
  std::array<uint32_t, COUNT_GROUPS> group_counts;
};

// Four counts, for the compiler's vector extension (GCC and Clang): additions and comparisons
// lane by lane, a comparison giving -1 where it holds and 0 elsewhere.
using CountVector = int32_t __attribute__((vector_size(16)));
inline CountVector load_counts(const int32_t* p) {
  CountVector v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store_counts(int32_t* p, CountVector v) { std::memcpy(p, &v, sizeof v); }


// The fresh model's cumulative counts: every count 1.
constexpr std::array<int32_t, COUNT_GROUP_SLOTS> initial_group_start() {
  std::array<int32_t, COUNT_GROUP_SLOTS> start{};
  for (int g = 0; g < COUNT_GROUP_SLOTS; ++g) {
    start[g] = g < COUNT_GROUPS ? g * COUNT_GROUP_SIZE : COUNT_PAST_END;
  }
  return start;
}
constexpr std::array<int32_t, COUNT_GROUPS * COUNT_GROUP_SIZE> initial_within() {
  std::array<int32_t, COUNT_GROUPS * COUNT_GROUP_SIZE> within{};
  for (int s = 0; s < COUNT_GROUPS * COUNT_GROUP_SIZE; ++s) {
    within[s] = s < NUM_SYMBOLS ? s % COUNT_GROUP_SIZE : COUNT_PAST_END;
  }
  return within;
}
inline constexpr std::array<int32_t, COUNT_GROUP_SLOTS> INITIAL_GROUP_START =
    initial_group_start();
inline constexpr std::array<int32_t, COUNT_GROUPS * COUNT_GROUP_SIZE> INITIAL_WITHIN =
    initial_within();

// Fresh model and interval: every count 1, total 257, interval [0, CODE_TOP]. Buffers and
// positions are attached by the caller.
// Which forms of the cumulative counts a reset prepares: both (for coder_reset's general use),
// or only the encoder's arrays or the decoder's group sums, so that each entry point
// initialises what it keeps up and nothing more.
enum class CountForms { BOTH, ENCODING, DECODING };

inline void coder_reset(ArithCoder& coder, CountForms forms = CountForms::BOTH) {
  coder.bit_buffer = 0;
  coder.bit_count = 0;
  coder.range_low = 0;
  coder.range_high = CODE_TOP;
  coder.range_step = 0;
  coder.pending_bits = 0;
  coder.code_value = 0;
  coder.symbol_counts.fill(1);
  coder.total_count = NUM_SYMBOLS;
  if (forms != CountForms::DECODING) {
    coder.group_start = INITIAL_GROUP_START;
    coder.within = INITIAL_WITHIN;
  }
  if (forms != CountForms::ENCODING) {
    coder.group_counts.fill(COUNT_GROUP_SIZE);
    coder.group_counts[COUNT_GROUPS - 1] = NUM_SYMBOLS - (COUNT_GROUPS - 1) * COUNT_GROUP_SIZE;
  }
}

// cum(symbol): the sum of the counts of the symbols below it. Needs the cumulative arrays
// (count_symbol or count_symbol_encoding).
inline uint32_t cumulative_count(const ArithCoder& coder, int symbol) {
  return static_cast<uint32_t>(coder.group_start[symbol / COUNT_GROUP_SIZE] +
                               coder.within[symbol]);
}

// One more occurrence of symbol, kept for the encoder: its count and the total, and every later
// symbol of its group and every later group start take one more, four lanes at a time.
inline void count_symbol_encoding(ArithCoder& coder, int symbol) {
  coder.symbol_counts[symbol] += 1;
  const int group = symbol / COUNT_GROUP_SIZE;
  const int rank = symbol % COUNT_GROUP_SIZE;
  // A lane comparison gives -1 where it holds: subtracting it adds one to the later entries.
  int32_t* within = coder.within.data() + group * COUNT_GROUP_SIZE;
  const CountVector lanes = {0, 1, 2, 3};
  const CountVector r = {rank, rank, rank, rank};
  for (int v = 0; v < COUNT_GROUP_SIZE; v += COUNT_LANES) {
    const CountVector index = lanes + v;
    store_counts(within + v, load_counts(within + v) - (index > r));
  }
  int32_t* start = coder.group_start.data();
  const CountVector g = {group, group, group, group};
  for (int v = 0; v < COUNT_GROUP_SLOTS; v += COUNT_LANES) {
    const CountVector index = lanes + v;
    store_counts(start + v, load_counts(start + v) - (index > g));
  }
  coder.total_count += 1;
}

// One more occurrence of symbol, kept for the decoder: its count, its group's sum and the total.
inline void count_symbol_decoding(ArithCoder& coder, int symbol) {
  coder.symbol_counts[symbol] += 1;
  coder.group_counts[symbol / COUNT_GROUP_SIZE] += 1;
  coder.total_count += 1;
}

// Both forms at once.
inline void count_symbol(ArithCoder& coder, int symbol) {
  count_symbol_encoding(coder, symbol);
  coder.group_counts[symbol / COUNT_GROUP_SIZE] += 1;
}

// The first symbol s with cum(s) + symbol_counts[s] > target, for target < total_count; cum
// receives cum(s). Needs the group sums (count_symbol or count_symbol_decoding): they lead to
// the group that holds s (the sum of all groups is total_count > target, so the walk stops at
// the last group at the latest), then its counts.
inline int find_symbol(const ArithCoder& coder, uint32_t target, uint32_t& cum) {
  uint32_t sum = 0;
  int g = 0;
  while (sum + coder.group_counts[g] <= target) sum += coder.group_counts[g++];
  int s = g * COUNT_GROUP_SIZE;
  while (sum + coder.symbol_counts[s] <= target) sum += coder.symbol_counts[s++];
  cum = sum;
  return s;
}

// Encoder side (arith_encoder.cpp).
void put_bit(ArithCoder& coder, uint32_t bit);
void flush_byte(ArithCoder& coder);
// Narrows the interval to counts [cum_low, cum_high) of total and renormalises.
void encode_symbol(ArithCoder& coder, uint32_t cum_low, uint32_t cum_high, uint32_t total);
void encode_finish(ArithCoder& coder);

// Decoder side (arith_decoder.cpp).
uint32_t get_bit(ArithCoder& coder);
void decode_start(ArithCoder& coder);
// Sets range_step for total and returns the count the code value points at (< total in a
// well-formed stream).
uint32_t decode_target(ArithCoder& coder, uint32_t total);
// Narrows the interval with the range_step of the preceding decode_target and renormalises.
void decode_update(ArithCoder& coder, uint32_t cum_low, uint32_t cum_high);

}  // namespace tarn
