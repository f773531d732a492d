// Arithmetic decoder: the decompressing entry points of the adaptive 257-symbol coder. They
// mirror arith_compress's steps and model updates; a damaged stream stops with a negative result
// instead of scanning past the counts or writing past the destination.

#include "coding/arith_decoder.h"

#include <algorithm>
#include <cstdint>

#include "coding/arith_coder.h"

namespace tarn {

namespace {

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

bool arguments_valid(const uint8_t* input, uint8_t* output, int32_t input_length,
                     int32_t output_capacity) {
  if (input_length < 0 || output_capacity < 0) return false;
  return (input != nullptr || input_length == 0) && (output != nullptr || output_capacity == 0);
}

// No encoder output holds more than ARITH_MAX_BYTES bytes; the cap also keeps total_count
// within the range where range_step >= 1.
int32_t capped(int32_t output_capacity) { return std::min(output_capacity, ARITH_MAX_BYTES); }

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
// decoded byte count or ARITH_ERR_*.
template <typename Model>
[[gnu::always_inline]] inline bool step(ArithDecoder& d, Decoding<Model>& x, int32_t& result) {
  const uint32_t t = decode_target(d, x.m.total_count);
  // In a well-formed stream t < total_count; anything else would scan past the counts.
  if (t >= x.m.total_count) {
    result = ARITH_ERR_DAMAGED;
    return false;
  }
  uint32_t cum = 0;
  const int s = find_symbol(x.m, t, cum);
  if (s < EOB_SYMBOL) {
    if (x.decoded >= x.capacity) {
      result = ARITH_ERR_OUTPUT_FULL;
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

template <typename Model>
int32_t decode_one(const uint8_t* input, uint8_t* output, int32_t input_length,
                   int32_t capacity) {
  ArithDecoder d;
  Decoding<Model> x;
  start(d, x, input, input_length, output, capacity);
  int32_t result = 0;
  while (step(d, x, result)) {
  }
  return result;
}

}  // namespace

int32_t arith_decompress(const uint8_t* input, uint8_t* output, int32_t input_length,
                         int32_t output_capacity) {
  if (!arguments_valid(input, output, input_length, output_capacity)) return ARITH_ERR_ARGUMENT;
  const int32_t capacity = capped(output_capacity);
  if (capacity <= SHORT_MODEL_SYMBOLS) {
    return decode_one<ShortModel>(input, output, input_length, capacity);
  }
  return decode_one<GroupModel>(input, output, input_length, capacity);
}

void arith_decompress_pair(const ArithBuffer buffers[2], int32_t results[2]) {
  const ArithBuffer& a = buffers[0];
  const ArithBuffer& b = buffers[1];
  if (!arguments_valid(a.input, a.output, a.input_length, a.output_capacity) ||
      !arguments_valid(b.input, b.output, b.input_length, b.output_capacity) ||
      capped(a.output_capacity) > SHORT_MODEL_SYMBOLS ||
      capped(b.output_capacity) > SHORT_MODEL_SYMBOLS) {
    for (int i = 0; i < 2; ++i) {
      results[i] = arith_decompress(buffers[i].input, buffers[i].output, buffers[i].input_length,
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
    x_on = step(dx, x, results[0]);
    y_on = step(dy, y, results[1]);
  }
  while (x_on) x_on = step(dx, x, results[0]);
  while (y_on) y_on = step(dy, y, results[1]);
}

}  // namespace tarn
