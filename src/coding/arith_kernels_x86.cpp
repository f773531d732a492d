// The arithmetic decoder's loops with the SSE2 model steps (every x86-64 CPU) and with the AVX2
// ones; the AVX2 loops are compiled for AVX2 CPUs with their bit instructions (BMI, BMI2,
// LZCNT: variable shifts without the count register, a leading-zero count without a branch for
// zero), which every CPU the kernel table gives AVX2 has. Integer steps only: every form gives
// the same bytes.

#if defined(__x86_64__)

#include "coding/arith_decode_loop.h"
#include "coding/arith_encode_loop.h"
#include "coding/arith_search_x86.h"

namespace tarn {
namespace arith {

int32_t decompress_sse2(const uint8_t* input, uint8_t* output, int32_t input_length,
                        int32_t output_capacity) {
  return decompress<Sse2Search>(input, output, input_length, output_capacity);
}

void decompress_pair_sse2(const ArithBuffer buffers[2], int32_t results[2]) {
  decompress_pair<Sse2Search>(buffers, results);
}

int32_t compress_sse2(const uint8_t* input, uint8_t* output, int32_t input_length,
                      int32_t output_capacity) {
  return compress_short<Sse2Search>(input, output, input_length, output_capacity);
}

}  // namespace arith
}  // namespace tarn

#endif  // __x86_64__
