#pragma once
// The arithmetic decoder's state and operations (shared layout: arith_model.h), the mirror of
// arith_encoder.h. One ArithDecoder and its DecoderModel live in one arith_decompress call.
// Internal to the coder.

#include <array>
#include <bit>
#include <cstdint>

#include "coding/arith_coder.h"
#include "coding/arith_model.h"

namespace tarn {

struct ArithDecoder {
  // Input: bytes read from the most significant bit down, 32 bits at a time; past the end the
  // stream reads as zero bits for ever (the encoder leaves trailing zeros unwritten).
  const uint8_t* stream;  // the compressed input
  int32_t stream_pos;     // bytes consumed
  int32_t stream_length;  // bytes the input holds
  uint64_t bit_window;    // the next window_bits unread bits from bit 63 down, zeros below
  int window_bits;        // 0 .. 63
  // Interval and code.
  uint32_t range_low;   // low end, inclusive
  uint32_t range_high;  // high end, inclusive
  uint32_t range_step;  // (range_high - range_low + 1) / total of the current symbol
  uint32_t code_value;  // the current 31-bit window of the code stream
};

// The decoder's model, kept apart from the ArithDecoder so that the compiler can hold the
// interval and input fields in registers while the counts stay in memory: the counts and their
// sums per group of COUNT_GROUP_SIZE symbols, which the symbol search walks (in practice faster
// than keeping cumulative counts, whose upkeep costs more than the short walks over the small
// byte values that dominate the packed blocks).
struct DecoderModel {
  std::array<uint32_t, NUM_SYMBOLS> symbol_counts;  // 0..255 byte values, 256 = EOB_SYMBOL
  uint32_t total_count;                             // sum of symbol_counts
  std::array<uint32_t, COUNT_GROUPS> group_counts;
};

// Fresh interval [0, CODE_TOP] reading input[0 .. length-1].
inline void coder_reset(ArithDecoder& d, const uint8_t* input, int32_t length) {
  d.stream = input;
  d.stream_pos = 0;
  d.stream_length = length;
  d.bit_window = 0;
  d.window_bits = 0;
  d.range_low = 0;
  d.range_high = CODE_TOP;
  d.range_step = 0;
  d.code_value = 0;
}

// Fresh model: every count 1, total 257.
inline void model_reset(DecoderModel& m) {
  m.symbol_counts.fill(1);
  m.total_count = NUM_SYMBOLS;
  m.group_counts.fill(COUNT_GROUP_SIZE);
  m.group_counts[COUNT_GROUPS - 1] = NUM_SYMBOLS - (COUNT_GROUPS - 1) * COUNT_GROUP_SIZE;
}

// The next 32 bits of the stream into the window, which holds at most 31.
inline void refill_window(ArithDecoder& d) {
  uint32_t word = 0;
  if (d.stream_length - d.stream_pos >= 4) {
    const uint8_t* p = d.stream + d.stream_pos;
    word = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    d.stream_pos += 4;
  } else {
    for (int shift = 24; shift >= 0; shift -= 8) {
      if (d.stream_pos < d.stream_length) {
        word |= uint32_t{d.stream[d.stream_pos]} << shift;
        d.stream_pos += 1;
      }
    }
  }
  d.bit_window |= uint64_t{word} << (32 - d.window_bits);
  d.window_bits += 32;
}

// The next n (0 .. 32) code bits, first bit most significant.
inline uint32_t get_code_bits(ArithDecoder& d, int n) {
  if (d.window_bits < n) refill_window(d);
  // Two shifts, so that n = 0 shifts by 63 and 1 rather than by 64.
  const uint32_t value = static_cast<uint32_t>((d.bit_window >> 1) >> (63 - n));
  d.bit_window <<= n;
  d.window_bits -= n;
  return value;
}

// The first 31 code bits, the first one in bit 30.
inline void decode_start(ArithDecoder& d) { d.code_value = get_code_bits(d, 31); }

// Sets range_step for total and returns the count the code value points at (< total in a
// well-formed stream; a code value below range_low, from a damaged stream, wraps to a huge
// target, which the caller checks).
inline uint32_t decode_target(ArithDecoder& d, uint32_t total) {
  d.range_step = divide_by_total(d.range_high - d.range_low + 1, total);
  return (d.code_value - d.range_low) / d.range_step;
}

// Narrows the interval with the range_step of the preceding decode_target and renormalises
// (arith_model.h), the code value taking in the next code bits.
inline void decode_update(ArithDecoder& d, uint32_t cum_low, uint32_t cum_high) {
  auto [low, high] = narrow(d.range_low, d.range_step, cum_low, cum_high);
  uint64_t code = d.code_value;
  const uint32_t differ = static_cast<uint32_t>(low ^ high);
  if ((differ & CODE_HALF) == 0) {
    const int n = std::countl_zero(differ) - 1;
    const uint64_t shared = low >> (31 - n);
    code = (code << n) - (shared << 31) + get_code_bits(d, n);
    low = (low << n) & CODE_TOP;
    high = ((high << n) & CODE_TOP) | ((uint64_t{1} << n) - 1);
  }
  const int m = std::countl_one(static_cast<uint32_t>(low & ~high) << 2);
  if (m > 0) {
    const uint64_t widen = ((uint64_t{1} << m) - 1) * CODE_HALF;
    code = (code << m) - widen + get_code_bits(d, m);
    low = (low << m) - widen;
    high = (high << m) - widen + ((uint64_t{1} << m) - 1);
  }
  d.range_low = static_cast<uint32_t>(low);
  d.range_high = static_cast<uint32_t>(high);
  d.code_value = static_cast<uint32_t>(code);
}

// The first symbol s with cum(s) + symbol_counts[s] > target, for target < total_count; cum
// receives cum(s). The group sums lead to the group that holds s (the sum of all groups is
// total_count > target, so the walk stops at the last group at the latest), then its counts.
inline int find_symbol(const DecoderModel& m, uint32_t target, uint32_t& cum) {
  uint32_t sum = 0;
  int g = 0;
  while (sum + m.group_counts[g] <= target) sum += m.group_counts[g++];
  int s = g * COUNT_GROUP_SIZE;
  while (sum + m.symbol_counts[s] <= target) sum += m.symbol_counts[s++];
  cum = sum;
  return s;
}

// One more occurrence of symbol: its count, its group's sum and the total.
inline void count_symbol(DecoderModel& m, int symbol) {
  m.symbol_counts[symbol] += 1;
  m.group_counts[symbol / COUNT_GROUP_SIZE] += 1;
  m.total_count += 1;
}

}  // namespace tarn
