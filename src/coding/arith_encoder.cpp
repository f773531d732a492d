// Arithmetic encoder: the compressing entry points of the adaptive 257-symbol coder.

#include "coding/arith_encoder.h"

#include <cstdint>

#include "coding/arith_coder.h"

namespace tarn {

namespace {

// One buffer's coding beside its coder (an ArithEncoder of its own, so that the compiler can
// keep the coder's fields in registers): its model (either form, arith_model.h: they give the
// same counts) and its input's next byte.
template <typename Model>
struct Encoding {
  Model m;
  const uint8_t* input;
  int32_t input_length;
  int32_t next;
};

bool arguments_valid(const uint8_t* input, uint8_t* output, int32_t input_length,
                     int32_t output_capacity) {
  if (input_length < 0 || input_length > ARITH_MAX_BYTES || output_capacity < 0) return false;
  return (input != nullptr || input_length == 0) && (output != nullptr || output_capacity == 0);
}

template <typename Model>
void start(ArithEncoder& e, Encoding<Model>& x, const uint8_t* input, int32_t input_length,
           uint8_t* output, int32_t output_capacity) {
  coder_reset(e, output, output_capacity);
  model_reset(x.m);
  x.input = input;
  x.input_length = input_length;
  x.next = 0;
}

// Codes the next byte. True while bytes remain; false once the input is done, the end-of-block
// symbol coded and the coder finished, with result the coded byte count or
// ARITH_ERR_OUTPUT_FULL.
template <typename Model>
[[gnu::always_inline]] inline bool step(ArithEncoder& e, Encoding<Model>& x, int32_t& result) {
  if (x.next < x.input_length) {
    const uint8_t c = x.input[x.next];
    x.next += 1;
    const uint32_t cum = cumulative_count(x.m, c);
    encode_symbol(e, cum, cum + x.m.symbol_counts[c], x.m.total_count);
    count_symbol(x.m, c);
    return true;
  }
  // The end-of-block count is still 1 and it is the last symbol: its interval is the top count.
  encode_symbol(e, x.m.total_count - 1, x.m.total_count, x.m.total_count);
  encode_finish(e);
  result = e.stream_full ? ARITH_ERR_OUTPUT_FULL : e.stream_pos;
  return false;
}

template <typename Model>
int32_t encode_one(const uint8_t* input, uint8_t* output, int32_t input_length,
                   int32_t output_capacity) {
  ArithEncoder e;
  Encoding<Model> x;
  start(e, x, input, input_length, output, output_capacity);
  int32_t result = 0;
  while (step(e, x, result)) {
  }
  return result;
}

}  // namespace

int32_t arith_compress(const uint8_t* input, uint8_t* output, int32_t input_length,
                       int32_t output_capacity) {
  if (!arguments_valid(input, output, input_length, output_capacity)) return ARITH_ERR_ARGUMENT;
  if (input_length <= SHORT_MODEL_SYMBOLS) {
    return encode_one<ShortModel>(input, output, input_length, output_capacity);
  }
  return encode_one<GroupModel>(input, output, input_length, output_capacity);
}

void arith_compress_pair(const ArithBuffer buffers[2], int32_t results[2]) {
  const ArithBuffer& a = buffers[0];
  const ArithBuffer& b = buffers[1];
  if (!arguments_valid(a.input, a.output, a.input_length, a.output_capacity) ||
      !arguments_valid(b.input, b.output, b.input_length, b.output_capacity) ||
      a.input_length > SHORT_MODEL_SYMBOLS || b.input_length > SHORT_MODEL_SYMBOLS) {
    for (int i = 0; i < 2; ++i) {
      results[i] = arith_compress(buffers[i].input, buffers[i].output, buffers[i].input_length,
                                  buffers[i].output_capacity);
    }
    return;
  }
  ArithEncoder ex;
  ArithEncoder ey;
  Encoding<ShortModel> x;
  Encoding<ShortModel> y;
  start(ex, x, a.input, a.input_length, a.output, a.output_capacity);
  start(ey, y, b.input, b.input_length, b.output, b.output_capacity);
  bool x_on = true;
  bool y_on = true;
  while (x_on && y_on) {
    x_on = step(ex, x, results[0]);
    y_on = step(ey, y, results[1]);
  }
  while (x_on) x_on = step(ex, x, results[0]);
  while (y_on) y_on = step(ey, y, results[1]);
}

}  // namespace tarn
