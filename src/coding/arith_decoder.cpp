// Arithmetic decoder: the decompressing entry point of the adaptive 257-symbol coder. It mirrors
// arith_compress's steps and model updates; a damaged stream stops with a negative result
// instead of scanning past the counts or writing past the destination.

#include "coding/arith_decoder.h"

#include <algorithm>
#include <cstdint>

#include "coding/arith_coder.h"

namespace tarn {

namespace {

// The decoding loop over either form of the model (arith_model.h), which give the same counts.
template <typename Model>
int32_t decode_symbols(const uint8_t* input, uint8_t* output, int32_t input_length,
                       int32_t capacity) {
  int32_t decoded = 0;
  ArithDecoder d;
  Model m;
  coder_reset(d, input, input_length);
  model_reset(m);
  decode_start(d);
  for (;;) {
    const uint32_t t = decode_target(d, m.total_count);
    // In a well-formed stream t < total_count; anything else would scan past the counts.
    if (t >= m.total_count) return ARITH_ERR_DAMAGED;
    uint32_t cum = 0;
    const int s = find_symbol(m, t, cum);
    if (s < EOB_SYMBOL) {
      if (decoded >= capacity) return ARITH_ERR_OUTPUT_FULL;
      output[decoded] = static_cast<uint8_t>(s);
      decoded += 1;
    }
    decode_update(d, cum, cum + m.symbol_counts[s]);
    count_symbol(m, s);
    if (s == EOB_SYMBOL) return decoded;
  }
}

}  // namespace

int32_t arith_decompress(const uint8_t* input, uint8_t* output, int32_t input_length,
                         int32_t output_capacity) {
  if (input_length < 0 || output_capacity < 0) return ARITH_ERR_ARGUMENT;
  if ((input == nullptr && input_length > 0) || (output == nullptr && output_capacity > 0)) {
    return ARITH_ERR_ARGUMENT;
  }
  // No encoder output holds more than ARITH_MAX_BYTES bytes; the cap also keeps total_count
  // within the range where range_step >= 1.
  const int32_t capacity = std::min(output_capacity, ARITH_MAX_BYTES);
  if (capacity <= SHORT_MODEL_SYMBOLS) {
    return decode_symbols<ShortModel>(input, output, input_length, capacity);
  }
  return decode_symbols<GroupModel>(input, output, input_length, capacity);
}

}  // namespace tarn
