#pragma once
// The arithmetic decoder's loops, compiled once per form of the model steps (arith_model.h:
// PortableSearch; arith_search_x86.h: Sse2Search, Avx2Search) so that the search and the count
// update are inlined into every step: arith_decoder.cpp instantiates the portable loops,
// arith_kernels_x86.cpp the SSE2 ones and arith_kernels_avx2.cpp the AVX2 ones, and the kernel
// table (kernels/kernel_table.h) points at one pair. Internal to the coder.
//
// Two loops:
//  - the short loop, for every buffer a stream holds (input up to PADDED_INPUT_BYTES, output up
//    to SHORT_MODEL_SYMBOLS): the input copied into a zero-padded buffer, so that the code bits
//    a symbol takes are one 8-byte load, and the code kept as its offset from range_low;
//  - the window loop (ArithDecoder, arith_decoder.h), for any other length.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "coding/arith_coder.h"
#include "coding/arith_decoder.h"

// The short loop's functions take the target attribute a file defines here before including
// this header (arith_kernels_avx2.cpp: AVX2 and its bit instructions), so that the loops and
// the model steps inlined into them are compiled for that target. Every one of them is a
// template on the model steps (Search), whose forms each file instantiates alone, so no two
// files define the same function for different targets.
#ifndef TARN_SHORT_LOOP_TARGET
#define TARN_SHORT_LOOP_TARGET
#endif

namespace tarn {
namespace arith {

// The window loop.
//
// One buffer's decoding beside its coder (an ArithDecoder of its own, so that the compiler can
// keep the coder's fields in registers): its model (either form, arith_model.h: they give the
// same counts) and its output so far.
template <typename Model>
struct Decoding {
  Model m;
  uint8_t* output;
  int32_t capacity;
  int32_t decoded;
};

inline bool arguments_valid(const uint8_t* input, uint8_t* output, int32_t input_length,
                            int32_t output_capacity) {
  if (input_length < 0 || output_capacity < 0) return false;
  return (input != nullptr || input_length == 0) && (output != nullptr || output_capacity == 0);
}

// No encoder output holds more than ARITH_MAX_BYTES bytes; the cap also keeps total_count
// within the range where range_step >= 1.
inline int32_t capped(int32_t output_capacity) {
  return std::min(output_capacity, ARITH_MAX_BYTES);
}

template <typename Model>
void start(ArithDecoder& d, Decoding<Model>& x, const uint8_t* input, int32_t input_length,
           uint8_t* output, int32_t capacity) {
  coder_reset(d, input, input_length);
  model_reset(x.m);
  decode_start(d);
  x.output = output;
  x.capacity = capacity;
  x.decoded = 0;
}

// Decodes one symbol. True while the buffer goes on; false once it has ended, with result the
// decoded byte count or a negative Status.
template <typename Search, typename Model>
[[gnu::always_inline]] inline bool step(ArithDecoder& d, Decoding<Model>& x, int32_t& result) {
  const uint32_t t = decode_target(d, x.m.total_count);
  // In a well-formed stream t < total_count; anything else would scan past the counts.
  if (t >= x.m.total_count) {
    result = STATUS_UNDECODABLE;
    return false;
  }
  uint32_t cum = 0;
  const int s = find_symbol<Search>(x.m, t, cum);
  if (s < EOB_SYMBOL) {
    if (x.decoded >= x.capacity) {
      result = STATUS_OUTPUT_FULL;
      return false;
    }
    x.output[x.decoded] = static_cast<uint8_t>(s);
    x.decoded += 1;
  }
  decode_update(d, cum, cum + x.m.symbol_counts[s]);
  count_symbol(x.m, s);
  if (s == EOB_SYMBOL) {
    result = x.decoded;
    return false;
  }
  return true;
}

template <typename Search, typename Model>
int32_t decode_one(const uint8_t* input, uint8_t* output, int32_t input_length, int32_t capacity) {
  ArithDecoder d;
  Decoding<Model> x;
  start(d, x, input, input_length, output, capacity);
  int32_t result = 0;
  while (step<Search>(d, x, result)) {
  }
  return result;
}

// The short loop's inputs: at most this many bytes, copied behind the decoder with
// INPUT_PADDING_BYTES zero bytes after them.
constexpr int32_t PADDED_INPUT_BYTES = 2048;
constexpr int32_t INPUT_PADDING_BYTES = 8;

// One buffer's decoding in the short loop: what lives in memory (the model, the padded input,
// the output) and, apart so that the compiler keeps it in registers, the coder (ShortCoder).
struct ShortDecoding {
  ShortModel m;
  uint32_t length;  // input bytes; bytes[length ..] are zeros
  uint8_t* output;
  int32_t capacity;
  alignas(8) uint8_t bytes[PADDED_INPUT_BYTES + INPUT_PADDING_BYTES];
};

// The interval is [low, high] as in ArithDecoder; the code value is kept as its offset from
// low, offset = code_value - low (mod 2^32): both renormalisation runs map the code value and
// low alike (x -> 2x - a, the code value then taking a code bit), so the offset just doubles
// and takes the bit, and a symbol's k code bits shift in at once. A damaged stream's offset
// wraps as the code value does (arith_model.h).
struct ShortCoder {
  uint32_t low;
  uint32_t high;
  uint32_t offset;
  uint32_t bit_pos;  // code bits consumed (at most 31 per symbol: no overflow)
  int32_t decoded;   // bytes written to the output
};

// The next n (0 .. 31) code bits from bit_pos on, first bit most significant: the eight bytes
// from the one holding bit bit_pos (past the input, the zeros after it: every byte there reads
// as zero bits for ever).
template <typename Search>
[[gnu::always_inline]] TARN_SHORT_LOOP_TARGET inline uint32_t peek_code_bits(const ShortDecoding& x,
                                                                             uint32_t bit_pos,
                                                                             int n) {
  const uint32_t byte = std::min(bit_pos >> 3, x.length);
  uint64_t word;  // the eight bytes, the first one most significant
  std::memcpy(&word, x.bytes + byte, sizeof word);
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
  word <<= bit_pos & 7;
  // Two shifts, so that n = 0 shifts by 63 and 1 rather than by 64.
  return static_cast<uint32_t>((word >> 1) >> (63 - n));
}

template <typename Search>
[[gnu::always_inline]] TARN_SHORT_LOOP_TARGET inline void start_short(
    ShortDecoding& x, ShortCoder& c, const uint8_t* input, int32_t input_length, uint8_t* output,
    int32_t capacity) {
  if (input_length > 0) std::memcpy(x.bytes, input, static_cast<size_t>(input_length));
  std::memset(x.bytes + input_length, 0, INPUT_PADDING_BYTES);
  x.length = static_cast<uint32_t>(input_length);
  model_reset(x.m);
  x.output = output;
  x.capacity = capacity;
  c.low = 0;
  c.high = CODE_TOP;
  c.offset = peek_code_bits<Search>(x, 0, 31);  // the first 31 code bits; low is 0
  c.bit_pos = 31;
  c.decoded = 0;
}

// One symbol of the short loop: true while the buffer goes on; false once it has ended, with
// result the decoded byte count or a negative Status.
template <typename Search>
[[gnu::always_inline]] TARN_SHORT_LOOP_TARGET inline bool short_step(ShortDecoding& x,
                                                                     ShortCoder& c,
                                                                     int32_t& result) {
  const uint32_t total = x.m.total_count;
  const uint32_t step = divide_by_total(c.high - c.low + 1, total);
  const uint32_t t = c.offset / step;
  // In a well-formed stream t < total_count; anything else would scan past the counts.
  if (t >= total) {
    result = STATUS_UNDECODABLE;
    return false;
  }
  uint32_t cum = 0;
  const unsigned s = static_cast<unsigned>(Search::find(x.m, t, cum));
  if (s < EOB_SYMBOL) {
    if (c.decoded >= x.capacity) {
      result = STATUS_OUTPUT_FULL;
      return false;
    }
    x.output[c.decoded] = static_cast<uint8_t>(s);
    c.decoded += 1;
  }
  // Narrowing (arith_model.h, narrow), in 32 bits as there.
  const uint32_t below = step * cum;
  const uint32_t low = c.low + below;
  const uint32_t high = c.low + step * (cum + x.m.symbol_counts[s]) - 1;
  // Both renormalisation runs (arith_model.h); the offset takes the k = n + m code bits.
  const Renormalised r = renormalise(low, high);
  const int k = r.shared_bits + r.underflow_bits;
  c.offset = ((c.offset - below) << k) | peek_code_bits<Search>(x, c.bit_pos, k);
  c.bit_pos += static_cast<uint32_t>(k);
  c.low = r.low;
  c.high = r.high;
  Search::count(x.m, static_cast<int>(s));
  if (s == EOB_SYMBOL) {
    result = c.decoded;
    return false;
  }
  return true;
}

inline bool short_loop_takes(int32_t input_length, int32_t capacity) {
  return input_length <= PADDED_INPUT_BYTES && capacity <= SHORT_MODEL_SYMBOLS;
}

// arith_decompress with the model steps of Search.
template <typename Search>
[[gnu::always_inline]] TARN_SHORT_LOOP_TARGET inline int32_t decompress(const uint8_t* input,
                                                                        uint8_t* output,
                                                                        int32_t input_length,
                                                                        int32_t output_capacity) {
  if (!arguments_valid(input, output, input_length, output_capacity)) return STATUS_ARGUMENT;
  const int32_t capacity = capped(output_capacity);
  if (short_loop_takes(input_length, capacity)) {
    ShortDecoding x;
    ShortCoder c;
    start_short<Search>(x, c, input, input_length, output, capacity);
    int32_t result = 0;
    while (short_step<Search>(x, c, result)) {
    }
    return result;
  }
  if (capacity <= SHORT_MODEL_SYMBOLS) {
    return decode_one<PortableSearch, ShortModel>(input, output, input_length, capacity);
  }
  return decode_one<PortableSearch, GroupModel>(input, output, input_length, capacity);
}

// arith_decompress_pair with the model steps of Search.
template <typename Search>
[[gnu::always_inline]] TARN_SHORT_LOOP_TARGET inline void decompress_pair(
    const ArithBuffer buffers[2], int32_t results[2]) {
  const ArithBuffer& a = buffers[0];
  const ArithBuffer& b = buffers[1];
  if (!arguments_valid(a.input, a.output, a.input_length, a.output_capacity) ||
      !arguments_valid(b.input, b.output, b.input_length, b.output_capacity) ||
      !short_loop_takes(a.input_length, capped(a.output_capacity)) ||
      !short_loop_takes(b.input_length, capped(b.output_capacity))) {
    for (int i = 0; i < 2; ++i) {
      results[i] = decompress<Search>(buffers[i].input, buffers[i].output, buffers[i].input_length,
                                      buffers[i].output_capacity);
    }
    return;
  }
  ShortDecoding x;
  ShortDecoding y;
  ShortCoder cx;
  ShortCoder cy;
  start_short<Search>(x, cx, a.input, a.input_length, a.output, capped(a.output_capacity));
  start_short<Search>(y, cy, b.input, b.input_length, b.output, capped(b.output_capacity));
  bool x_on = true;
  bool y_on = true;
  while (x_on && y_on) {
    x_on = short_step<Search>(x, cx, results[0]);
    y_on = short_step<Search>(y, cy, results[1]);
  }
  while (x_on) x_on = short_step<Search>(x, cx, results[0]);
  while (y_on) y_on = short_step<Search>(y, cy, results[1]);
}

// The instantiations: portable (arith_decoder.cpp), SSE2 (arith_kernels_x86.cpp) and AVX2
// (arith_kernels_avx2.cpp); the last two on x86-64 only.
int32_t decompress_portable(const uint8_t* input, uint8_t* output, int32_t input_length,
                            int32_t output_capacity);
void decompress_pair_portable(const ArithBuffer buffers[2], int32_t results[2]);
int32_t decompress_sse2(const uint8_t* input, uint8_t* output, int32_t input_length,
                        int32_t output_capacity);
void decompress_pair_sse2(const ArithBuffer buffers[2], int32_t results[2]);
int32_t decompress_avx2(const uint8_t* input, uint8_t* output, int32_t input_length,
                        int32_t output_capacity);
void decompress_pair_avx2(const ArithBuffer buffers[2], int32_t results[2]);

}  // namespace arith
}  // namespace tarn
