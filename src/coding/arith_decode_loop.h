#pragma once
// The arithmetic decoder's loops, compiled once per form of the symbol search (arith_model.h:
// PortableSearch; arith_search_x86.h: Sse2Search) so that the search is inlined into every step:
// arith_decoder.cpp instantiates the portable loops, arith_decoder_x86.cpp the SSE2 ones, and
// the kernel table (kernels/kernel_table.h) points at one pair. Internal to the coder.

#include <algorithm>
#include <cstdint>

#include "coding/arith_coder.h"
#include "coding/arith_decoder.h"

namespace tarn {
namespace arith {

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

// arith_decompress with the search Search.
template <typename Search>
int32_t decompress(const uint8_t* input, uint8_t* output, int32_t input_length,
                   int32_t output_capacity) {
  if (!arguments_valid(input, output, input_length, output_capacity)) return STATUS_ARGUMENT;
  const int32_t capacity = capped(output_capacity);
  if (capacity <= SHORT_MODEL_SYMBOLS) {
    return decode_one<Search, ShortModel>(input, output, input_length, capacity);
  }
  return decode_one<Search, GroupModel>(input, output, input_length, capacity);
}

// arith_decompress_pair with the search Search.
template <typename Search>
void decompress_pair(const ArithBuffer buffers[2], int32_t results[2]) {
  const ArithBuffer& a = buffers[0];
  const ArithBuffer& b = buffers[1];
  if (!arguments_valid(a.input, a.output, a.input_length, a.output_capacity) ||
      !arguments_valid(b.input, b.output, b.input_length, b.output_capacity) ||
      capped(a.output_capacity) > SHORT_MODEL_SYMBOLS ||
      capped(b.output_capacity) > SHORT_MODEL_SYMBOLS) {
    for (int i = 0; i < 2; ++i) {
      results[i] = decompress<Search>(buffers[i].input, buffers[i].output, buffers[i].input_length,
                                      buffers[i].output_capacity);
    }
    return;
  }
  ArithDecoder dx;
  ArithDecoder dy;
  Decoding<ShortModel> x;
  Decoding<ShortModel> y;
  start(dx, x, a.input, a.input_length, a.output, a.output_capacity);
  start(dy, y, b.input, b.input_length, b.output, b.output_capacity);
  bool x_on = true;
  bool y_on = true;
  while (x_on && y_on) {
    x_on = step<Search>(dx, x, results[0]);
    y_on = step<Search>(dy, y, results[1]);
  }
  while (x_on) x_on = step<Search>(dx, x, results[0]);
  while (y_on) y_on = step<Search>(dy, y, results[1]);
}

// The instantiations: portable (arith_decoder.cpp) and SSE2 (arith_decoder_x86.cpp, x86-64 only).
int32_t decompress_portable(const uint8_t* input, uint8_t* output, int32_t input_length,
                            int32_t output_capacity);
void decompress_pair_portable(const ArithBuffer buffers[2], int32_t results[2]);
int32_t decompress_sse2(const uint8_t* input, uint8_t* output, int32_t input_length,
                        int32_t output_capacity);
void decompress_pair_sse2(const ArithBuffer buffers[2], int32_t results[2]);

}  // namespace arith
}  // namespace tarn
