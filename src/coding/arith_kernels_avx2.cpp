// The arithmetic coder's short loops with the AVX2 model steps, compiled for AVX2 CPUs with
// their bit instructions (BMI, BMI2, LZCNT: shifts by a register without the count register, a
// leading-zero count without a branch for zero), which the kernel table asks of the CPU before
// it offers these loops. Integer steps only: every form gives the same bytes.

#if defined(__x86_64__)

#define TARN_SHORT_LOOP_TARGET __attribute__((target("avx2,bmi,bmi2,lzcnt")))
#include "coding/arith_decode_loop.h"
#include "coding/arith_encode_loop.h"
#include "coding/arith_search_x86.h"

namespace tarn {
namespace arith {

TARN_SHORT_LOOP_TARGET int32_t decompress_avx2(const uint8_t* input, uint8_t* output,
                                               int32_t input_length, int32_t output_capacity) {
  return decompress<Avx2Search>(input, output, input_length, output_capacity);
}

TARN_SHORT_LOOP_TARGET void decompress_pair_avx2(const ArithBuffer buffers[2], int32_t results[2]) {
  decompress_pair<Avx2Search>(buffers, results);
}

TARN_SHORT_LOOP_TARGET int32_t compress_avx2(const uint8_t* input, uint8_t* output,
                                             int32_t input_length, int32_t output_capacity) {
  return compress_short<Avx2Search>(input, output, input_length, output_capacity);
}

}  // namespace arith
}  // namespace tarn

#endif  // __x86_64__
