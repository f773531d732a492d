// Arithmetic encoder: the compressing entry point of the adaptive 257-symbol coder.

#include "coding/arith_encoder.h"

#include <cstdint>

#include "coding/arith_coder.h"
#include "coding/arith_encode_loop.h"
#include "kernels/kernel_table.h"

namespace tarn {

namespace {

// The group model's count update, for encode_with.
struct GroupCount {
  static void count(GroupModel& m, int symbol) { count_symbol(m, symbol); }
};

// The coding loop over the group model (arith_model.h), for buffers longer than the short
// model takes.
int32_t encode_long(const uint8_t* input, uint8_t* output, int32_t input_length,
                    int32_t output_capacity) {
  return arith::encode_with<GroupModel, GroupCount>(input, output, input_length, output_capacity);
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
