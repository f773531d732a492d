// Arithmetic decoder: the decompressing entry points of the adaptive 257-symbol coder. They
// mirror arith_compress's steps and model updates; a damaged stream stops with a negative result
// instead of scanning past the counts or writing past the destination. The loops are in
// arith_decode_loop.h; here their portable form, and the entry points, which run the host's.

#include "coding/arith_decode_loop.h"
#include "kernels/kernel_table.h"

namespace tarn {

namespace arith {

int32_t decompress_portable(const uint8_t* input, uint8_t* output, int32_t input_length,
                            int32_t output_capacity) {
  return decompress<PortableSearch>(input, output, input_length, output_capacity);
}

void decompress_pair_portable(const ArithBuffer buffers[2], int32_t results[2]) {
  decompress_pair<PortableSearch>(buffers, results);
}

}  // namespace arith

int32_t arith_decompress(const uint8_t* input, uint8_t* output, int32_t input_length,
                         int32_t output_capacity) {
  return host_kernel_table().decompress(input, output, input_length, output_capacity);
}

void arith_decompress_pair(const ArithBuffer buffers[2], int32_t results[2]) {
  host_kernel_table().decompress_pair(buffers, results);
}

}  // namespace tarn
