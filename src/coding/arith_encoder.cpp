// Arithmetic encoder: the compressing half of the adaptive 257-symbol coder (arith_state.h).

#include <cstdint>

#include "coding/arith_coder.h"
#include "coding/arith_state.h"
#include "coding/arith_steps.h"

namespace tarn {

// Output bits fill each byte from the most significant bit down. A full output buffer drops the
// byte and marks the state instead of writing past it; arith_compress then reports the failure.
void put_bit(ArithCoder& coder, uint32_t bit) {
  coder.bit_buffer = static_cast<uint8_t>((coder.bit_buffer << 1) | (bit & 1u));
  coder.bit_count += 1;
  if (coder.bit_count == 8) {
    if (coder.stream_pos < coder.stream_capacity) {
      coder.stream[coder.stream_pos] = coder.bit_buffer;
      coder.stream_pos += 1;
    } else {
      coder.stream_full = true;
    }
    coder.bit_count = 0;
  }
}

void flush_byte(ArithCoder& coder) {
  while (coder.bit_count != 0) put_bit(coder, 0);
}

// The interval step of arith_steps.h on the coder's fields.
void encode_symbol(ArithCoder& coder, uint32_t cum_low, uint32_t cum_high, uint32_t total) {
  coder.range_step = (coder.range_high - coder.range_low + 1) / total;
  BitSink sink{coder.stream,      coder.stream_pos, coder.stream_capacity,
               coder.stream_full, coder.bit_buffer & ((1u << coder.bit_count) - 1u),
               coder.bit_count};
  encode_step(coder.range_low, coder.range_high, coder.pending_bits, sink, coder.range_step,
              cum_low, cum_high);
  coder.stream_pos = sink.pos;
  coder.stream_full = sink.full;
  coder.bit_buffer = static_cast<uint8_t>(sink.bits);
  coder.bit_count = static_cast<uint8_t>(sink.count);
}

void encode_finish(ArithCoder& coder) {
  if (coder.range_low < CODE_FIRST_QUARTER) {
    // Code 01...1 (pending + 1 ones) lies inside [range_low, range_high].
    put_bit(coder, 0);
    for (uint32_t i = 0; i < coder.pending_bits + 1; ++i) put_bit(coder, 1);
  } else {
    // Code 10...0: the zeros are not written, the decoder reads zeros past the end of its input.
    put_bit(coder, 1);
  }
  flush_byte(coder);
  *coder.stream_length = coder.stream_pos;
}

int32_t arith_compress(const uint8_t* input, uint8_t* output, int32_t input_length,
                       int32_t output_capacity) {
  if (input_length < 0 || input_length > ARITH_MAX_BYTES || output_capacity < 0) {
    return ARITH_ERR_ARGUMENT;
  }
  if ((input == nullptr && input_length > 0) || (output == nullptr && output_capacity > 0)) {
    return ARITH_ERR_ARGUMENT;
  }
  int32_t written = 0;
  ArithCoder coder;
  coder_reset(coder, CountForms::ENCODING);
  coder.stream = output;
  coder.stream_in = nullptr;
  coder.stream_pos = 0;
  coder.stream_length = &written;
  coder.stream_capacity = output_capacity;
  coder.stream_full = false;
  coder.source = input;
  coder.source_pos = 0;
  coder.source_length = input_length;
  coder.decoded = nullptr;
  coder.decoded_length = 0;
  coder.decoded_capacity = 0;

  // The interval and the output position live in locals for the whole buffer (arith_steps.h);
  // the coder takes them back for the final bits.
  uint32_t low = coder.range_low;
  uint32_t high = coder.range_high;
  uint32_t pending = coder.pending_bits;
  uint32_t step = 0;
  BitSink sink{output, 0, output_capacity, false, 0, 0};
  for (; coder.source_pos < coder.source_length; ++coder.source_pos) {
    const uint8_t c = coder.source[coder.source_pos];
    // cum(c): the counts below c.
    const uint32_t cum = cumulative_count(coder, c);
    step = (high - low + 1) / coder.total_count;
    encode_step(low, high, pending, sink, step, cum, cum + coder.symbol_counts[c]);
    count_symbol_encoding(coder, c);
  }
  // The end-of-block count is still 1 and it is the last symbol: its interval is the top count.
  step = (high - low + 1) / coder.total_count;
  encode_step(low, high, pending, sink, step, coder.total_count - 1, coder.total_count);
  coder.range_low = low;
  coder.range_high = high;
  coder.range_step = step;
  coder.pending_bits = pending;
  coder.stream_pos = sink.pos;
  coder.stream_full = sink.full;
  coder.bit_buffer = static_cast<uint8_t>(sink.bits);
  coder.bit_count = static_cast<uint8_t>(sink.count);
  encode_finish(coder);
  if (coder.stream_full) return ARITH_ERR_OUTPUT_FULL;
  return written;
}

}  // namespace tarn
