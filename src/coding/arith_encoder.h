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

// Four bytes, the most significant first, into a buffer with fewer than four bytes of room.
[[gnu::noinline]] inline void put_word_near_end(ArithEncoder& e, uint32_t word) {
  for (int shift = 24; shift >= 0; shift -= 8) put_byte(e, static_cast<uint8_t>(word >> shift));
}

// Four bytes, the most significant first.
inline void put_word(ArithEncoder& e, uint32_t word) {
  if (__builtin_expect(e.stream_capacity - e.stream_pos >= 4, 1)) {
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap32(word);
    std::memcpy(e.stream + e.stream_pos, &word, sizeof word);
    e.stream_pos += 4;
  } else {
    // On a copy, so that the caller's state need not live in memory (its fields stay in
    // registers in the coding loop).
    ArithEncoder near_end = e;
    put_word_near_end(near_end, word);
    e = near_end;
  }
}

// The low n (0 .. 32) bits of value, most significant first.
inline void put_code_bits(ArithEncoder& e, uint64_t value, int n) {
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

// The first run's bits where they do not fit one word: the first of the n shared bits, the
// pending deferred bits (its opposite), the other n - 1 (n >= 1).
[[gnu::noinline]] inline void put_long_run(ArithEncoder& e, uint32_t shared, int n,
                                           uint32_t pending) {
  const uint32_t first = shared >> (n - 1);
  put_bit(e, first);
  put_repeated_bit(e, first ^ 1u, pending);
  put_code_bits(e, shared, n - 1);
}

// Narrows the interval to counts [cum_low, cum_high) of total and renormalises (arith_model.h),
// sending the resolved bits and counting the deferred ones.
//
// The bits a first run of n > 0 shared bits sends are its first bit, the p deferred bits (the
// first bit's opposite) and its other n - 1 bits: 0 1^p rest or 1 0^p rest. Read as one number
// of n + p bits, both are (2^p - 1) 2^(n - 1) + shared, shared being the n bits themselves: with
// a first bit of 1 the sum carries through the p ones, which is the deferred bits' resolution.
[[gnu::always_inline]] inline void encode_symbol(ArithEncoder& e, uint32_t cum_low,
                                                 uint32_t cum_high, uint32_t total) {
  e.range_step = divide_by_total(e.range_high - e.range_low + 1, total);
  const uint32_t low = e.range_low + e.range_step * cum_low;
  const uint32_t high = e.range_low + e.range_step * cum_high - 1;
  // Both ends lie below 2^31; n = 0 where bit 30 differs, 31 where low = high.
  const int n = std::countl_zero(((low ^ high) << 1) | 1u);
  const uint32_t pending = n > 0 ? e.pending_bits : 0;
  const uint64_t shared = low >> (31 - n);  // 0 where n = 0
  if (__builtin_expect(pending + static_cast<uint32_t>(n) <= 32, 1)) {
    // (2^p - 1) 2^(n - 1) as ((2^p - 1) 2^n) / 2, so that n = 0 (and p = 0) gives 0.
    const uint64_t deferred = (((uint64_t{1} << pending) - 1u) << n) >> 1;
    put_code_bits(e, deferred + shared, static_cast<int>(pending) + n);
  } else {
    ArithEncoder long_run = e;  // a copy, as in put_word
    put_long_run(long_run, static_cast<uint32_t>(shared), n, pending);
    e = long_run;
  }
  const Renormalised r = renormalise(low, high);
  e.pending_bits = e.pending_bits - pending + static_cast<uint32_t>(r.underflow_bits);
  e.range_low = r.low;
  e.range_high = r.high;
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
