// Arithmetic encoder: the compressing entry point of the adaptive 257-symbol coder.

#include "coding/arith_encoder.h"

#include <cstdint>

#include "coding/arith_coder.h"
#include "coding/arith_encode_loop.h"
#include "kernels/kernel_table.h"

namespace tarn {

namespace {

// The coding loop over the group model (arith_model.h), for buffers longer than the short
// model takes.
int32_t encode_long(const uint8_t* input, uint8_t* output, int32_t input_length,
                    int32_t output_capacity) {
  ArithEncoder e;
  GroupModel m;
  coder_reset(e, output, output_capacity);
  model_reset(m);
  for (int32_t i = 0; i < input_length; ++i) {
    const uint8_t c = input[i];
    const uint32_t cum = cumulative_count(m, c);
    encode_symbol(e, cum, cum + m.symbol_counts[c], m.total_count);
    count_symbol(m, c);
  }
  // The end-of-block count is still 1 and it is the last symbol: its interval is the top count.
  encode_symbol(e, m.total_count - 1, m.total_count, m.total_count);
  encode_finish(e);
  if (e.stream_full) return STATUS_OUTPUT_FULL;
  return e.stream_pos;
}

}  // namespace

namespace arith {

int32_t compress_portable(const uint8_t* input, uint8_t* output, int32_t input_length,
                          int32_t output_capacity) {
  return compress_short<PortableSearch>(input, output, input_length, output_capacity);
}

}  // namespace arith

int32_t arith_compress(const uint8_t* input, uint8_t* output, int32_t input_length,
                       int32_t output_capacity) {
  if (input_length < 0 || input_length > ARITH_MAX_BYTES || output_capacity < 0) {
    return STATUS_ARGUMENT;
  }
  if ((input == nullptr && input_length > 0) || (output == nullptr && output_capacity > 0)) {
    return STATUS_ARGUMENT;
  }
  if (input_length <= SHORT_MODEL_SYMBOLS) {
    return host_kernel_table().compress(input, output, input_length, output_capacity);
  }
  return encode_long(input, output, input_length, output_capacity);
}

}  // namespace tarn
