// Arithmetic decoder: the decompressing half of the adaptive 257-symbol coder (arith_state.h).
// It mirrors the encoder's interval steps and model updates; a damaged stream stops with a
// negative result instead of scanning past the counts or writing past the destination.

#include <algorithm>
#include <cstdint>

#include "coding/arith_coder.h"
#include "coding/arith_state.h"
#include "coding/arith_steps.h"

namespace tarn {

// Past the end of the input the stream reads as zero bits for ever: the encoder leaves trailing
// zeros unwritten.
uint32_t get_bit(ArithCoder& coder) {
  if (coder.bit_count == 0) {
    if (coder.stream_pos < *coder.stream_length) {
      coder.bit_buffer = coder.stream_in[coder.stream_pos];
      coder.stream_pos += 1;
    } else {
      coder.bit_buffer = 0;
    }
    coder.bit_count = 8;
  }
  const uint32_t bit = coder.bit_buffer >> 7;
  coder.bit_buffer = static_cast<uint8_t>(coder.bit_buffer << 1);
  coder.bit_count -= 1;
  return bit;
}

void decode_start(ArithCoder& coder) {
  // The first bit read ends up in bit 30.
  for (int i = 0; i < 31; ++i) coder.code_value = 2 * coder.code_value + get_bit(coder);
}

uint32_t decode_target(ArithCoder& coder, uint32_t total) {
  coder.range_step = (coder.range_high - coder.range_low + 1) / total;
  // A code value below range_low (damaged stream) wraps to a huge target; the caller checks it.
  return (coder.code_value - coder.range_low) / coder.range_step;
}

// The interval step of arith_steps.h on the coder's fields.
void decode_update(ArithCoder& coder, uint32_t cum_low, uint32_t cum_high) {
  BitSource source{coder.stream_in, coder.stream_pos, *coder.stream_length, coder.bit_buffer,
                   coder.bit_count};
  decode_step(coder.range_low, coder.range_high, coder.code_value, source, coder.range_step,
              cum_low, cum_high);
  coder.stream_pos = source.pos;
  coder.bit_buffer = static_cast<uint8_t>(source.bits);
  coder.bit_count = static_cast<uint8_t>(source.count);
}

int32_t arith_decompress(const uint8_t* input, uint8_t* output, int32_t input_length,
                         int32_t output_capacity) {
  if (input_length < 0 || output_capacity < 0) return ARITH_ERR_ARGUMENT;
  if ((input == nullptr && input_length > 0) || (output == nullptr && output_capacity > 0)) {
    return ARITH_ERR_ARGUMENT;
  }
  ArithCoder coder;
  coder_reset(coder, CountForms::DECODING);
  coder.stream = nullptr;
  coder.stream_in = input;
  coder.stream_length = &input_length;
  coder.stream_pos = 0;
  coder.stream_capacity = 0;
  coder.stream_full = false;
  coder.source = nullptr;
  coder.source_pos = 0;
  coder.source_length = 0;
  coder.decoded = output;
  coder.decoded_length = 0;
  // No encoder output holds more than ARITH_MAX_BYTES bytes; the cap also keeps total_count
  // within the range where range_step >= 1.
  coder.decoded_capacity = std::min(output_capacity, ARITH_MAX_BYTES);

  decode_start(coder);
  // The interval, the code value and the input position live in locals for the whole buffer
  // (arith_steps.h).
  uint32_t low = coder.range_low;
  uint32_t high = coder.range_high;
  uint32_t code = coder.code_value;
  BitSource source{input, coder.stream_pos, input_length, coder.bit_buffer, coder.bit_count};
  for (;;) {
    const uint32_t step = (high - low + 1) / coder.total_count;
    // A code value below range_low (damaged stream) wraps to a huge target.
    const uint32_t t = (code - low) / step;
    // In a well-formed stream t < total_count; anything else would scan past the counts.
    if (t >= coder.total_count) return ARITH_ERR_DAMAGED;
    // First s with cum(s) + symbol_counts[s] > t; exists because cum(257) = total_count > t.
    uint32_t cum = 0;
    const int s = find_symbol(coder, t, cum);
    if (s < EOB_SYMBOL) {
      if (coder.decoded_length >= coder.decoded_capacity) return ARITH_ERR_OUTPUT_FULL;
      coder.decoded[coder.decoded_length] = static_cast<uint8_t>(s);
      coder.decoded_length += 1;
    }
    decode_step(low, high, code, source, step, cum, cum + coder.symbol_counts[s]);
    count_symbol_decoding(coder, s);
    if (s == EOB_SYMBOL) return coder.decoded_length;
  }
}

}  // namespace tarn
