#pragma once
// Adaptive order-0 arithmetic coder over 257 symbols (the 256 byte values and an end-of-block
// symbol). Integer range coder with 31-bit interval ends, renormalisation by single bits and
// deferred underflow bits. Every call starts from a fresh model (all counts 1), so each
// compressed buffer decodes on its own. Output bytes are filled from the most significant bit
// down; reading past the end of the input yields zero bits.

#include <cstdint>

#include "codec/status.h"

namespace tarn {

constexpr uint32_t CODE_TOP = 0x7FFFFFFFu;            // initial range_high: 31-bit code range
constexpr uint32_t CODE_HALF = 0x40000000u;           // 2^30
constexpr uint32_t CODE_FIRST_QUARTER = 0x20000000u;  // 2^29
constexpr uint32_t CODE_THIRD_QUARTER = 0x60000000u;  // 3 * 2^29
constexpr int NUM_SYMBOLS = 257;
constexpr int EOB_SYMBOL = 256;
static_assert(CODE_HALF == (CODE_TOP >> 1) + 1);
static_assert(CODE_FIRST_QUARTER == CODE_HALF / 2);
static_assert(CODE_THIRD_QUARTER == CODE_HALF + CODE_FIRST_QUARTER);

// Failure results of the entry points (successful results are byte counts, >= 0):
// STATUS_OUTPUT_FULL (the destination cannot hold the result), STATUS_UNDECODABLE (a decode
// target at or past total_count), STATUS_ARGUMENT (a negative length or capacity).

// Compresses input_length bytes into output (capacity bytes). Returns the byte count written.
int32_t arith_compress(const uint8_t* input, uint8_t* output, int32_t input_length,
                       int32_t output_capacity);
// Decodes input[0 .. input_length-1] into output (capacity bytes) up to the end-of-block symbol.
// Returns the byte count decoded, or a negative Status on a damaged stream; never reads
// past the input or writes past the destination.
int32_t arith_decompress(const uint8_t* input, uint8_t* output, int32_t input_length,
                         int32_t output_capacity);

// One buffer of arith_decompress_pair: what arith_decompress takes.
struct ArithBuffer {
  const uint8_t* input;
  int32_t input_length;
  uint8_t* output;
  int32_t output_capacity;
};
// Decodes two buffers as two calls of arith_decompress would, results[i] being buffer i's result,
// but with the two decoders' steps interleaved: each symbol waits on the one before it, and the
// other buffer's step fills that wait.
void arith_decompress_pair(const ArithBuffer buffers[2], int32_t results[2]);

}  // namespace tarn
