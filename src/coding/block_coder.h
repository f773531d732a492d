#pragma once
// Bit allocation, scale factors and quantisation of one channel's block: the coding entry points
// of the encoder loop (encode_channel_block) and the decoder loop (decode_channel_block).
// Both walk the bands of the BandTable they are given (psycho_tables.h), which encoder and decoder
// build identically.

#include <array>
#include <cstdint>

#include "format/channel_frame.h"
#include "psycho/psycho_tables.h"

namespace tarn {

struct KernelTable;  // kernels/kernel_table.h

constexpr int MAX_BAND_BITS = 15;

// Largest positive quantised value for a bit count 0 .. 16: 2^(n-1) - 1 from 2 bits on, so an
// n-bit code covers -QUANT_MAX[n] - 1 .. QUANT_MAX[n]. Counts 1 and 16 never occur in coding.
// clang-format off
constexpr std::array<int32_t, 17> QUANT_MAX = {
    /*  0 ..  3 */     0,     1,     1,     3,
    /*  4 ..  7 */     7,    15,    31,    63,
    /*  8 .. 11 */   127,   255,   511,  1023,
    /* 12 .. 15 */  2047,  4095,  8191, 16383,
    /* 16       */ 32767};
// clang-format on
static_assert(MAX_BAND_BITS == MAX_HEADER_BAND_BITS);



// The allocation's transform-size constant K for a bin count: 100, 200, 400, 900 for 128, 256,
// 512, 1024 bins, 150 for any other. Every band's estimate carries K / bin_count bits on top of
// its signal-to-mask share, so K sets how loud a band must be against its mask to be coded at
// all. For 128 to 512 bins K = 25 bin_count / 32, so the bias is 0.78125 bits: a band whose
// loudest level just reaches its lowest threshold (smr 0 dB) gets x = 0.78125, above the 0.7
// rounding edge, hence 1 bit, raised to 2; a band of w bins loses that bit once smr falls below
// -0.08125 / (0.16610 (1 - w / bin_count)) dB, about half a dB below its mask. At 1024 bins K
// is 900 (0.879 bits, about 1.1 dB of margin for narrow bands); the 150 of other counts keeps a
// fixed bias for partitions no table entry names. The values are fixed: the encoder's choices
// and so its output bytes depend on them.
int allocation_bias(int bin_count);

// Encodes bin_count coefficients with their per-bin masking thresholds (dB) into a zeroed
// CHANNEL_FRAME_BYTES packed block. bin_count must be that of bands and at most
// MAX_CODED_BINS. Returns the payload length L (14 .. 513 for 256 bins) or STATUS_SIZE
// (packed block untouched). Allocation-free and reentrant: its scratch lives on the stack.
int encode_channel_block(const BandTable& bands, const double* coefficients,
                         const double* thresholds, int bin_count, uint8_t* packed);
// The same with the given kernels (the form above takes the host's); every table gives the same
// bytes.
int encode_channel_block(const KernelTable& kernels, const BandTable& bands,
                         const double* coefficients, const double* thresholds, int bin_count,
                         uint8_t* packed);
// Rebuilds bin_count coefficients from band_bits (0 .. 15 each; 1 only in a damaged header) and
// the bit stream behind the band header, stream_bytes bytes long. Bins of 0-bit bands and bins
// outside every band are exact zeros. Returns STATUS_OK; STATUS_FIELDS when the fields
// run past stream_bytes or STATUS_BAND_BITS for a count above 15 (a damaged block: every
// coefficient is then 0); STATUS_SIZE as for the encoder (coefficients untouched).
int decode_channel_block(const BandTable& bands, const uint8_t band_bits[NUM_BANDS],
                         const uint8_t* stream, int32_t stream_bytes, double* coefficients,
                         int bin_count);
// The same with the given kernels (the form above takes the host's); every table gives the same
// coefficients.
int decode_channel_block(const KernelTable& kernels, const BandTable& bands,
                         const uint8_t band_bits[NUM_BANDS], const uint8_t* stream,
                         int32_t stream_bytes, double* coefficients, int bin_count);

// The band's signal-to-mask ratio in dB: its largest level minus its smallest threshold.
// 0.0 for a band without bins.
double band_smr(const BandTable& bands, const double* levels, const double* thresholds, int band);
// The band's bit count before clamping to MAX_BAND_BITS; k = allocation_bias(bin_count).
// One-bin bands get 0 or 1 (the encoder raises 1 to 2); a band without bins gets 0.
int allocate_band_bits(const BandTable& bands, const double* levels, const double* thresholds,
                       int bin_count, int k, int band);
// The real-valued bit count x of allocate_band_bits for a band of width bins with ratio smr dB:
// ln(10) (smr - smr width / bin_count) / (20 ln(2)) + k / bin_count, in that order.
double allocation_estimate(double smr, int width, int bin_count, int k);
// The rounding step of allocate_band_bits: x bits for a band of width bins (width >= 1).
// 0 for x < 0 or not a number; one-bin bands 1 when floor(x) >= 1, else 0; wider bands
// ceil(x) when the fraction of x exceeds 0.7 (strictly), else floor(x). Very large x returns a
// large count (at least 2^20) rather than overflowing.
int allocation_to_bits(double x, int width);
// The largest sf in -32 .. 31 with 2^(sf/4) <= peak / QUANT_MAX[bits], or -32; bits 2 .. 16.
int choose_scale_factor(double peak, int bits);
// value / 2^(sf/4) rounded to nearest with halves toward zero, clamped to the code range of
// bits (0 .. 16) and returned as its low bits in two's complement. 0 for bits outside 1 .. 16.
uint32_t quantise(double value, int sf, int bits);
// The signed value of a bits-wide two's complement code times 2^(sf/4). 0.0 for bits outside
// 1 .. 16.
double dequantise(uint32_t code, int sf, int bits);

}  // namespace tarn
