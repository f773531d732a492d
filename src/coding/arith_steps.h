#pragma once
// The arithmetic coder's interval step and renormalisation on plain values, shared by the
// ArithCoder operations (encode_symbol, decode_update) and the entry points' loops, which keep
// the interval, the code value and the bit position in local variables for the whole buffer
// rather than in the ArithCoder (whose fields the compiler must reload after every byte store).
// Internal to the coder.
//
// The renormalisation takes the bit-by-bit loop's two runs in one step each:
//  - while the interval lies in one half (bit 30 of range_low and range_high agree), the loop
//    sends that bit and doubles the interval: n such steps send the n leading bits the two ends
//    share, the first followed by the deferred underflow bits, and shift both ends left by n,
//    range_high filling with ones;
//  - then, while it straddles the middle within the inner quarters (range_low = 01...,
//    range_high = 10...), the loop defers a bit and widens around the middle: m such steps, m the
//    run of ones of range_low below bit 30 matched by zeros of range_high, double both ends m
//    times and subtract (2^m - 1) 2^30 from them, range_high again filling with ones.
// The first run cannot follow the second (after a widening range_low < 2^30 <= range_high), so
// the loop ends there. The integers are the loop's integers and the bits its bits. The decoder's
// code value follows the ends modulo 2^32, as the loop's 2 * (code_value - offset) + bit does: a
// damaged stream's code value may lie outside the interval and wraps the same way. Over the
// first run the loop's offsets sum to 2^31 times the shared leading bits, over the second to
// (2^m - 1) 2^30.

#include <bit>
#include <cstdint>

#include "coding/arith_coder.h"

namespace tarn {

// The encoder's output: bytes filled from the most significant bit down. A full buffer drops
// the byte and sets full instead of writing past it.
struct BitSink {
  uint8_t* stream;   // the output buffer
  int32_t pos;       // bytes written
  int32_t capacity;  // bytes the buffer holds
  bool full;         // a byte was dropped
  uint32_t bits;     // the low `count` bits: the byte being assembled, first bit highest
  int count;         // 0 .. 7
};

inline void sink_byte(BitSink& s, uint8_t byte) {
  if (s.pos < s.capacity) {
    s.stream[s.pos] = byte;
    s.pos += 1;
  } else {
    s.full = true;
  }
}

// The low n (0 .. 24) bits of value, most significant first.
inline void sink_bits(BitSink& s, uint32_t value, int n) {
  const uint32_t low_bits = value & ((uint32_t{1} << n) - 1u);
  uint32_t acc = (s.bits << n) | low_bits;  // at most 7 + 24 bits
  int total = s.count + n;
  while (total >= 8) {
    total -= 8;
    sink_byte(s, static_cast<uint8_t>(acc >> total));
  }
  s.bits = acc & ((uint32_t{1} << total) - 1u);
  s.count = total;
}

// n copies of bit.
inline void sink_run(BitSink& s, uint32_t bit, uint32_t n) {
  const uint32_t word = bit != 0 ? 0xFFFFFFu : 0u;
  for (; n > 24; n -= 24) sink_bits(s, word, 24);
  sink_bits(s, word, static_cast<int>(n));
}

// Narrows [low, high] to counts [cum_low, cum_high) of step-wide counts and renormalises,
// sending the resolved bits and keeping count of the deferred ones.
inline void encode_step(uint32_t& low32, uint32_t& high32, uint32_t& pending, BitSink& sink,
                        uint32_t step, uint32_t cum_low, uint32_t cum_high) {
  // Both ends from the old range_low.
  uint64_t high = low32 + step * cum_high - 1;
  uint64_t low = low32 + step * cum_low;
  const uint32_t differ = static_cast<uint32_t>(low ^ high);
  if ((differ & CODE_HALF) == 0) {
    const int n = std::countl_zero(differ) - 1;  // 1 .. 31: bit 31 is clear in both ends
    const uint32_t shared = static_cast<uint32_t>(low >> (31 - n));
    const uint32_t first = (shared >> (n - 1)) & 1u;
    sink_bits(sink, first, 1);
    sink_run(sink, first ^ 1u, pending);
    pending = 0;
    if (n - 1 > 24) {
      sink_bits(sink, shared >> 24, n - 1 - 24);
      sink_bits(sink, shared, 24);
    } else {
      sink_bits(sink, shared, n - 1);
    }
    low = (low << n) & CODE_TOP;
    high = ((high << n) & CODE_TOP) | ((uint64_t{1} << n) - 1);
  }
  // Bits 29 down: ones in range_low where range_high has zeros.
  const int m = std::countl_one(static_cast<uint32_t>(low & ~high) << 2);
  if (m > 0) {
    const uint64_t widen = ((uint64_t{1} << m) - 1) * CODE_HALF;
    low = (low << m) - widen;
    high = (high << m) - widen + ((uint64_t{1} << m) - 1);
    pending += static_cast<uint32_t>(m);
  }
  low32 = static_cast<uint32_t>(low);
  high32 = static_cast<uint32_t>(high);
}

// The decoder's input: bytes read from the most significant bit down, zero bits past the end.
struct BitSource {
  const uint8_t* stream;  // the compressed input
  int32_t pos;            // bytes consumed
  int32_t length;         // bytes the input holds
  uint32_t bits;          // unread bits of the current byte, next one at bit 7
  int count;              // unread bits left in it, 0 .. 8
};

// The next n (0 .. 32) bits, first bit most significant.
inline uint32_t source_bits(BitSource& s, int n) {
  uint64_t value = 0;
  while (n > 0) {
    if (s.count == 0) {
      s.bits = s.pos < s.length ? s.stream[s.pos] : 0u;
      if (s.pos < s.length) s.pos += 1;
      s.count = 8;
    }
    const int take = n < s.count ? n : s.count;
    value = (value << take) | ((s.bits & 0xFFu) >> (8 - take));
    s.bits = (s.bits << take) & 0xFFu;
    s.count -= take;
    n -= take;
  }
  return static_cast<uint32_t>(value);
}

// The decoder's mirror of encode_step, with the code value taking in the next code bits.
inline void decode_step(uint32_t& low32, uint32_t& high32, uint32_t& code32, BitSource& source,
                        uint32_t step, uint32_t cum_low, uint32_t cum_high) {
  uint64_t high = low32 + step * cum_high - 1;
  uint64_t low = low32 + step * cum_low;
  uint64_t code = code32;
  const uint32_t differ = static_cast<uint32_t>(low ^ high);
  if ((differ & CODE_HALF) == 0) {
    const int n = std::countl_zero(differ) - 1;
    const uint64_t shared = low >> (31 - n);
    code = (code << n) - (shared << 31) + source_bits(source, n);
    low = (low << n) & CODE_TOP;
    high = ((high << n) & CODE_TOP) | ((uint64_t{1} << n) - 1);
  }
  const int m = std::countl_one(static_cast<uint32_t>(low & ~high) << 2);
  if (m > 0) {
    const uint64_t widen = ((uint64_t{1} << m) - 1) * CODE_HALF;
    code = (code << m) - widen + source_bits(source, m);
    low = (low << m) - widen;
    high = (high << m) - widen + ((uint64_t{1} << m) - 1);
  }
  low32 = static_cast<uint32_t>(low);
  high32 = static_cast<uint32_t>(high);
  code32 = static_cast<uint32_t>(code);
}

}  // namespace tarn
