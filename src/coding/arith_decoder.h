#pragma once
// The arithmetic decoder's state and operations (the model: arith_model.h), the mirror of
// arith_encoder.h. One ArithDecoder and its model live in one arith_decompress call. Internal to
// the coder.

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "coding/arith_coder.h"
#include "coding/arith_model.h"

namespace tarn {

struct ArithDecoder {
  // Input: bytes read from the most significant bit down, up to eight at a time; past the end
  // the stream reads as zero bits for ever (the encoder leaves trailing zeros unwritten).
  const uint8_t* stream;  // the compressed input
  int32_t stream_pos;     // bytes consumed
  int32_t stream_length;  // bytes the input holds
  uint64_t bit_window;    // the next window_bits unread bits from bit 63 down; below them
                          // zeros or the stream's next bits
  int window_bits;        // 0 .. 63
  // Interval and code.
  uint32_t range_low;   // low end, inclusive
  uint32_t range_high;  // high end, inclusive
  uint32_t range_step;  // (range_high - range_low + 1) / total of the current symbol
  uint32_t code_value;  // the current 31-bit window of the code stream
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

// Tops the window up to at least 56 bits. With eight bytes left, the next eight go in at once
// (as many as fit; the bits below the window's end are then the stream's next bits, not zeros,
// which the next top-up writes again in place); otherwise byte by byte, zeros past the end.
inline void refill_window(ArithDecoder& d) {
  if (d.stream_length - d.stream_pos >= 8) {
    uint64_t word;  // the eight bytes, the first one most significant
    std::memcpy(&word, d.stream + d.stream_pos, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    d.bit_window |= word >> d.window_bits;
    const int bytes = (63 - d.window_bits) >> 3;
    d.stream_pos += bytes;
    d.window_bits += 8 * bytes;
  } else {
    while (d.window_bits <= 55) {
      const uint64_t byte = d.stream_pos < d.stream_length ? d.stream[d.stream_pos++] : 0u;
      d.bit_window |= byte << (56 - d.window_bits);
      d.window_bits += 8;
    }
  }
}

// The next n (0 .. 32, at most window_bits) code bits, first bit most significant.
inline uint32_t get_code_bits(ArithDecoder& d, int n) {
  // Two shifts, so that n = 0 shifts by 63 and 1 rather than by 64.
  const uint32_t value = static_cast<uint32_t>((d.bit_window >> 1) >> (63 - n));
  d.bit_window <<= n;
  d.window_bits -= n;
  return value;
}

// The first 31 code bits, the first one in bit 30.
inline void decode_start(ArithDecoder& d) {
  refill_window(d);
  d.code_value = get_code_bits(d, 31);
}

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
  // A symbol takes at most 31 code bits: the interval, at least range_step >= 1 wide after
  // narrowing, doubles with every bit and stays within 31 bits.
  refill_window(d);
  auto [low, high] = narrow(d.range_low, d.range_step, cum_low, cum_high);
  uint64_t code = d.code_value;
  // Both runs without branches: a run of length 0 shifts by 0 and reads no bits.
  const uint32_t differ = static_cast<uint32_t>(low ^ high);
  const int n = std::countl_zero(differ) - 1;  // 0 where bit 30 differs
  const uint64_t shared = low >> (31 - n);
  code = (code << n) - (shared << 31) + get_code_bits(d, n);
  low = (low << n) & CODE_TOP;
  high = ((high << n) & CODE_TOP) | ((uint64_t{1} << n) - 1);
  const int m = std::countl_one(static_cast<uint32_t>(low & ~high) << 2);
  const uint64_t widen = ((uint64_t{1} << m) - 1) * CODE_HALF;
  code = (code << m) - widen + get_code_bits(d, m);
  low = (low << m) - widen;
  high = (high << m) - widen + ((uint64_t{1} << m) - 1);
  d.range_low = static_cast<uint32_t>(low);
  d.range_high = static_cast<uint32_t>(high);
  d.code_value = static_cast<uint32_t>(code);
}

}  // namespace tarn
