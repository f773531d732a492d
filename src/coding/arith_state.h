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

#include "coding/arith_coder.h"

namespace tarn {

// Counts start at 1 and grow by one per coded symbol; with 257 initial counts and the end-of-block
// count, total_count stays <= 0x20000001 for up to 2^29 - 256 coded bytes.
constexpr int32_t ARITH_MAX_BYTES = (1 << 29) - 256;
static_assert(static_cast<uint32_t>(ARITH_MAX_BYTES) + NUM_SYMBOLS <= CODE_FIRST_QUARTER + 1u);

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
  // symbol_counts as a Fenwick (binary indexed) tree: node i (1 .. NUM_SYMBOLS) holds the sum of
  // symbol_counts[i - lowbit(i) .. i - 1], lowbit(i) = i & -i; node 0 is unused. A cumulative
  // count and the symbol search then take at most 9 steps instead of a scan over up to 256
  // counts. The sums are integers, so the tree gives exactly the scan's sums and symbols.
  std::array<uint32_t, NUM_SYMBOLS + 1> count_tree;
};

// The tree of the fresh model: every count 1, so node i holds lowbit(i) (each node's range
// lies within the 257 symbols).
constexpr std::array<uint32_t, NUM_SYMBOLS + 1> initial_count_tree() {
  std::array<uint32_t, NUM_SYMBOLS + 1> tree{};
  for (uint32_t i = 1; i <= NUM_SYMBOLS; ++i) tree[i] = i & (0u - i);
  return tree;
}
constexpr std::array<uint32_t, NUM_SYMBOLS + 1> INITIAL_COUNT_TREE = initial_count_tree();

// Largest power of two not above NUM_SYMBOLS: the first step of the tree search.
constexpr int COUNT_TREE_TOP_STEP = 256;
static_assert(COUNT_TREE_TOP_STEP <= NUM_SYMBOLS && 2 * COUNT_TREE_TOP_STEP > NUM_SYMBOLS);

// Fresh model and interval: every count 1, total 257, interval [0, CODE_TOP]. Buffers and
// positions are attached by the caller.
inline void coder_reset(ArithCoder& coder) {
  coder.bit_buffer = 0;
  coder.bit_count = 0;
  coder.range_low = 0;
  coder.range_high = CODE_TOP;
  coder.range_step = 0;
  coder.pending_bits = 0;
  coder.code_value = 0;
  coder.symbol_counts.fill(1);
  coder.total_count = NUM_SYMBOLS;
  coder.count_tree = INITIAL_COUNT_TREE;
}

// cum(symbol): the sum of the counts of the symbols below it.
inline uint32_t cumulative_count(const ArithCoder& coder, int symbol) {
  uint32_t sum = 0;
  for (int i = symbol; i > 0; i -= i & -i) sum += coder.count_tree[i];
  return sum;
}

// One more occurrence of symbol: its count, the tree nodes that cover it and the total.
inline void count_symbol(ArithCoder& coder, int symbol) {
  coder.symbol_counts[symbol] += 1;
  for (int i = symbol + 1; i <= NUM_SYMBOLS; i += i & -i) coder.count_tree[i] += 1;
  coder.total_count += 1;
}

// The first symbol s with cum(s) + symbol_counts[s] > target, for target < total_count; cum
// receives cum(s). Every count is at least 1, so cum grows strictly with s and the tree can be
// descended from the top: each step keeps the longer prefix whose sum stays <= target.
inline int find_symbol(const ArithCoder& coder, uint32_t target, uint32_t& cum) {
  int pos = 0;  // symbols whose whole interval lies at or below target so far
  uint32_t rest = target;
  for (int step = COUNT_TREE_TOP_STEP; step > 0; step >>= 1) {
    const int next = pos + step;
    if (next <= NUM_SYMBOLS && coder.count_tree[next] <= rest) {
      pos = next;
      rest -= coder.count_tree[next];
    }
  }
  cum = target - rest;
  return pos;
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
