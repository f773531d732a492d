#pragma once
// Bit allocation, scale factors and quantisation of one channel's block: the coding entry points
// of the encoder loop (encode_channel_block) and the decoder loop (decode_channel_block).
// Both walk the bands of the current BandTable (psycho_tables.h), which encoder and decoder
// build identically.

#include <array>
#include <cstdint>

#include "coding/channel_frame.h"
#include "psycho/psycho_tables.h"

namespace tarn {

constexpr int MAX_BAND_BITS = 15;

// Largest positive quantised value for a bit count 0 .. 16: 2^(n-1) - 1 from 2 bits on.
// clang-format off
constexpr std::array<int32_t, 17> QUANT_MAX = {
    /* 0 - 3 */    0,     1,     1,     3,
    /* 4 - 7 */    7,    15,    31,    63,
    /* 8 - 11 */ 127,   255,   511,  1023,
    /* 12 - 15 */ 2047, 4095, 8191, 16383,
    /* 16 */   32767};
// clang-format on

constexpr int CODING_OK = 0;
constexpr int CODING_ERR_BIN_COUNT = -1;  // bin_count the frame or the band table cannot take
constexpr int CODING_ERR_NO_MEMORY = -2;
constexpr int CODING_ERR_TRUNCATED = -3;  // the bit stream ends before its fields

// The allocation's transform-size constant K for a bin count.
int allocation_bias(int bin_count);

// Encodes bin_count coefficients with their per-bin masking thresholds (dB) into a zeroed frame.
// Returns the payload length L (14 .. 513 for 256 bins) or a negative CODING_ERR_*.
int encode_channel_block(const double* coefficients, const double* thresholds, int bin_count,
                         uint8_t* frame);
// Rebuilds bin_count coefficients from band_bits and a bit stream of stream_bytes bytes: zero
// outside coded bands. Returns CODING_OK or CODING_ERR_TRUNCATED (coefficients then undefined).
int decode_channel_block(const uint8_t band_bits[NUM_BANDS], const uint8_t* stream,
                         int32_t stream_bytes, double* coefficients, int bin_count);

double band_smr(const double* levels, const double* thresholds, int band);
int allocate_band_bits(const double* levels, const double* thresholds, int bin_count, int k,
                       int band);
int choose_scale_factor(double peak, int bits);
uint32_t quantise(double value, int sf, int bits);
double dequantise(uint32_t code, int sf, int bits);

}  // namespace tarn
