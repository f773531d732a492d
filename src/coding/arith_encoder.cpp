// Arithmetic encoder: the compressing entry point of the adaptive 257-symbol coder.

#include "coding/arith_encoder.h"

#include <cstdint>

#include "coding/arith_coder.h"
#if defined(__x86_64__)
#include "coding/arith_search_x86.h"
#endif

namespace tarn {

namespace {

// The short model's count update: in SSE2 vectors on x86-64 (every such CPU has them).
inline void count_byte(ShortModel& m, int symbol) {
#if defined(__x86_64__)
  Sse2Search::count(m, symbol);
#else
  count_symbol(m, symbol);
#endif
}
inline void count_byte(GroupModel& m, int symbol) { count_symbol(m, symbol); }

// The coding loop over either form of the model (arith_model.h), which give the same counts.
template <typename Model>
int32_t encode_bytes(const uint8_t* input, uint8_t* output, int32_t input_length,
                     int32_t output_capacity) {
  ArithEncoder e;
  Model m;
  coder_reset(e, output, output_capacity);
  model_reset(m);
  for (int32_t i = 0; i < input_length; ++i) {
    const uint8_t c = input[i];
    const uint32_t cum = cumulative_count(m, c);
    encode_symbol(e, cum, cum + m.symbol_counts[c], m.total_count);
    count_byte(m, c);
  }
  // The end-of-block count is still 1 and it is the last symbol: its interval is the top count.
  encode_symbol(e, m.total_count - 1, m.total_count, m.total_count);
  encode_finish(e);
  if (e.stream_full) return STATUS_OUTPUT_FULL;
  return e.stream_pos;
}

}  // namespace

int32_t arith_compress(const uint8_t* input, uint8_t* output, int32_t input_length,
                       int32_t output_capacity) {
  if (input_length < 0 || input_length > ARITH_MAX_BYTES || output_capacity < 0) {
    return STATUS_ARGUMENT;
  }
  if ((input == nullptr && input_length > 0) || (output == nullptr && output_capacity > 0)) {
    return STATUS_ARGUMENT;
  }
  if (input_length <= SHORT_MODEL_SYMBOLS) {
    return encode_bytes<ShortModel>(input, output, input_length, output_capacity);
  }
  return encode_bytes<GroupModel>(input, output, input_length, output_capacity);
}

}  // namespace tarn
