#pragma once
// The arithmetic encoder's loop for the short model (every buffer a stream holds), compiled once
// per form of the model's count update (arith_model.h: PortableSearch; arith_search_x86.h:
// Sse2Search, Avx2Search): arith_encoder.cpp instantiates the portable loop,
// arith_kernels_x86.cpp the SSE2 one and arith_kernels_avx2.cpp the AVX2 one (compiled with the
// target attribute that file defines, as for the decoding loops: arith_decode_loop.h), and the
// kernel table (kernels/kernel_table.h) points at one. Internal to the coder.

#include <cstdint>

#include "coding/arith_coder.h"
#include "coding/arith_encoder.h"

#ifndef TARN_SHORT_LOOP_TARGET
#define TARN_SHORT_LOOP_TARGET
#endif

namespace tarn {
namespace arith {

// The coding loop over a model of either form (arith_model.h), Count::count(m, symbol) counting
// each byte: arith_compress once its arguments are checked.
template <typename Model, typename Count>
[[gnu::always_inline]] TARN_SHORT_LOOP_TARGET inline int32_t encode_with(const uint8_t* input,
                                                                         uint8_t* output,
                                                                         int32_t input_length,
                                                                         int32_t output_capacity) {
  ArithEncoder e;
  Model m;
  coder_reset(e, output, output_capacity);
  model_reset(m);
  for (int32_t i = 0; i < input_length; ++i) {
    const uint8_t c = input[i];
    const uint32_t cum = cumulative_count(m, c);
    encode_symbol(e, cum, cum + m.symbol_counts[c], m.total_count);
    Count::count(m, c);
  }
  // The end-of-block count is still 1 and it is the last symbol: its interval is the top count.
  encode_symbol(e, m.total_count - 1, m.total_count, m.total_count);
  encode_finish(e);
  if (e.stream_full) return STATUS_OUTPUT_FULL;
  return e.stream_pos;
}

// arith_compress for input_length <= SHORT_MODEL_SYMBOLS (checked by the caller, as are the
// other arguments), with the count update of Search.
template <typename Search>
[[gnu::always_inline]] TARN_SHORT_LOOP_TARGET inline int32_t compress_short(
    const uint8_t* input, uint8_t* output, int32_t input_length, int32_t output_capacity) {
  return encode_with<ShortModel, Search>(input, output, input_length, output_capacity);
}

// The instantiations: portable (arith_encoder.cpp), SSE2 (arith_kernels_x86.cpp) and AVX2
// (arith_kernels_avx2.cpp); the last two on x86-64 only.
int32_t compress_portable(const uint8_t* input, uint8_t* output, int32_t input_length,
                          int32_t output_capacity);
int32_t compress_sse2(const uint8_t* input, uint8_t* output, int32_t input_length,
                      int32_t output_capacity);
int32_t compress_avx2(const uint8_t* input, uint8_t* output, int32_t input_length,
                      int32_t output_capacity);

}  // namespace arith
}  // namespace tarn
