#pragma once
// The arithmetic encoder's state and operations (the model: arith_model.h). One ArithEncoder
// and its model live in one arith_compress call: reset, attached to the output, fed the
// buffer's bytes and the end-of-block symbol, finished, discarded. Internal to the coder.

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "coding/arith_coder.h"
#include "coding/arith_model.h"

namespace tarn {

struct ArithEncoder {
  // Output: bytes filled from the most significant bit down, whole 32-bit words as they are
  // complete. A full buffer drops the bytes past its end and sets stream_full instead of
  // writing there.
  uint8_t* stream;          // the output buffer
  int32_t stream_pos;       // bytes written
  int32_t stream_capacity;  // bytes the buffer holds
  bool stream_full;         // a byte was dropped
  uint64_t bit_buffer;      // the low bit_count bits: the bits not yet written, first highest;
                            // the bits above them are left over and never written
  int bit_count;            // 0 .. 31
  // Interval.
  uint32_t range_low;     // low end, inclusive
  uint32_t range_high;    // high end, inclusive
  uint32_t range_step;    // (range_high - range_low + 1) / total of the current symbol
  uint32_t pending_bits;  // deferred underflow bits
};

// Fresh interval [0, CODE_TOP] writing to output, capacity bytes.
inline void coder_reset(ArithEncoder& e, uint8_t* output, int32_t capacity) {
  e.stream = output;
  e.stream_pos = 0;
  e.stream_capacity = capacity;
  e.stream_full = false;
  e.bit_buffer = 0;
  e.bit_count = 0;
  e.range_low = 0;
  e.range_high = CODE_TOP;
  e.range_step = 0;
  e.pending_bits = 0;
}

inline void put_byte(ArithEncoder& e, uint8_t byte) {
  if (e.stream_pos < e.stream_capacity) {
    e.stream[e.stream_pos] = byte;
    e.stream_pos += 1;
  } else {
    e.stream_full = true;
  }
}

// Four bytes, the most significant first.
inline void put_word(ArithEncoder& e, uint32_t word) {
  if (e.stream_capacity - e.stream_pos >= 4) {
    uint8_t* p = e.stream + e.stream_pos;
    p[0] = static_cast<uint8_t>(word >> 24);
    p[1] = static_cast<uint8_t>(word >> 16);
    p[2] = static_cast<uint8_t>(word >> 8);
    p[3] = static_cast<uint8_t>(word);
    e.stream_pos += 4;
  } else {
    for (int shift = 24; shift >= 0; shift -= 8) put_byte(e, static_cast<uint8_t>(word >> shift));
  }
}

// The low n (0 .. 32) bits of value, most significant first.
inline void put_code_bits(ArithEncoder& e, uint32_t value, int n) {
  const uint64_t low_bits = value & ((uint64_t{1} << n) - 1u);
  const uint64_t acc = (e.bit_buffer << n) | low_bits;  // bit_count + n <= 63 bits
  int total = e.bit_count + n;
  if (total >= 32) {
    total -= 32;
    put_word(e, static_cast<uint32_t>(acc >> total));
  }
  e.bit_buffer = acc;
  e.bit_count = total;
}

inline void put_bit(ArithEncoder& e, uint32_t bit) { put_code_bits(e, bit, 1); }

// n copies of bit.
inline void put_repeated_bit(ArithEncoder& e, uint32_t bit, uint32_t n) {
  const uint32_t word = bit != 0 ? 0xFFFFFFFFu : 0u;
  for (; n > 32; n -= 32) put_code_bits(e, word, 32);
  put_code_bits(e, word, static_cast<int>(n));
}

// The bits not yet written, then zero bits up to the byte boundary.
inline void flush_byte(ArithEncoder& e) {
  const int bytes = (e.bit_count + 7) / 8;
  const uint64_t padded = e.bit_buffer << (8 * bytes - e.bit_count);
  for (int i = bytes - 1; i >= 0; --i) put_byte(e, static_cast<uint8_t>(padded >> (8 * i)));
  e.bit_count = 0;
}

// Narrows the interval to counts [cum_low, cum_high) of total and renormalises (arith_model.h),
// sending the resolved bits and counting the deferred ones.
inline void encode_symbol(ArithEncoder& e, uint32_t cum_low, uint32_t cum_high, uint32_t total) {
  e.range_step = divide_by_total(e.range_high - e.range_low + 1, total);
  auto [low, high] = narrow(e.range_low, e.range_step, cum_low, cum_high);
  // Both runs without a branch on the data: a run of length 0 sends nothing and shifts by 0.
  const uint32_t differ = static_cast<uint32_t>(low ^ high);
  const int n = std::countl_zero(differ) - 1;  // 0 .. 31: 0 where bit 30 differs
  const uint32_t shared = static_cast<uint32_t>(low >> (31 - n));
  const uint32_t pending = n > 0 ? e.pending_bits : 0;
  // The first of the n shared bits (0 when n = 0, as shared is then 0).
  const uint32_t first = static_cast<uint32_t>((uint64_t{shared} << 1) >> n) & 1u;
  if (pending + static_cast<uint32_t>(n) <= 32) {
    // The first shared bit, the deferred bits (its opposite), the other shared bits: n = 0
    // (and so pending = 0) gives no bits.
    const uint64_t deferred = (first ^ 1u) * ((uint64_t{1} << pending) - 1u);
    const uint64_t rest = shared & (((uint64_t{1} << n) >> 1) - 1u);
    const uint64_t bits = (((((uint64_t{first} << pending) | deferred) << n) >> 1)) | rest;
    put_code_bits(e, static_cast<uint32_t>(bits), static_cast<int>(pending) + n);
  } else {
    put_bit(e, first);
    put_repeated_bit(e, first ^ 1u, pending);
    put_code_bits(e, shared, n - 1);
  }
  e.pending_bits -= pending;
  low = (low << n) & CODE_TOP;
  high = ((high << n) & CODE_TOP) | ((uint64_t{1} << n) - 1);
  // Bits 29 down: ones in range_low where range_high has zeros.
  const int m = std::countl_one(static_cast<uint32_t>(low & ~high) << 2);
  const uint64_t widen = ((uint64_t{1} << m) - 1) * CODE_HALF;
  low = (low << m) - widen;
  high = (high << m) - widen + ((uint64_t{1} << m) - 1);
  e.pending_bits += static_cast<uint32_t>(m);
  e.range_low = static_cast<uint32_t>(low);
  e.range_high = static_cast<uint32_t>(high);
}

// The bits that put a code inside the final interval, then zeros to the byte boundary.
inline void encode_finish(ArithEncoder& e) {
  if (e.range_low < CODE_FIRST_QUARTER) {
    // Code 01...1 (pending + 1 ones) lies inside [range_low, range_high].
    put_bit(e, 0);
    put_repeated_bit(e, 1, e.pending_bits + 1);
  } else {
    // Code 10...0: the zeros are not written, the decoder reads zeros past the end of its input.
    put_bit(e, 1);
  }
  flush_byte(e);
}

}  // namespace tarn
