#pragma once
// The block coder in its direct form, the reference of the identity tests: pow for every
// quantiser step, a linear scale-factor search, floor and ceil in the rounding, every
// coefficient's level through log10 and the bit allocation from those levels
// (allocate_band_bits), and the bit stream written and read one bit at a time. The block coder
// must give the same packed blocks and the same coefficients.

#include <cmath>
#include <cstdint>
#include <vector>

#include "coding/block_coder.h"
#include "format/channel_frame.h"
#include "psycho/psycho_tables.h"

namespace tarn::slow {

inline double slow_step(int sf) { return std::pow(2.0, sf * 0.25); }

inline bool slow_bits_valid(int bits) {
  return bits >= 0 && bits < static_cast<int>(QUANT_MAX.size());
}

inline int slow_choose_scale_factor(double peak, int bits) {
  const double ratio = peak / (slow_bits_valid(bits) ? QUANT_MAX[bits] : 0);
  int s = 31;
  while (slow_step(s) > ratio) {
    s = s - 1;
    if (s < -32) break;
  }
  if (s < -32) s = -32;
  return s;
}

inline uint32_t slow_quantise(double value, int sf, int bits) {
  if (!slow_bits_valid(bits)) return 0;
  const double m = QUANT_MAX[bits];
  const double y = value / slow_step(sf);
  double q = 0.0;
  if (y > 0.5) {
    q = y - std::floor(y) > 0.5 ? std::ceil(y) : std::floor(y);
  } else if (y < -0.5) {
    q = y - std::ceil(y) < -0.5 ? std::floor(y) : std::ceil(y);
  }
  if (q > m) q = m;
  if (q < -m - 1.0) q = -m - 1.0;
  const uint32_t mask = (1u << bits) - 1u;
  return static_cast<uint32_t>(static_cast<int32_t>(q)) & mask;
}

inline double slow_dequantise(uint32_t code, int sf, int bits) {
  if (bits < 1 || !slow_bits_valid(bits)) return 0.0;
  const int64_t q = ((code >> (bits - 1)) & 1u) != 0
                        ? static_cast<int64_t>(code) - (int64_t{1} << bits)
                        : static_cast<int64_t>(code);
  return static_cast<double>(q) * slow_step(sf);
}

// levels[k] = 96 + 10 log10((G c) c), G = 8 / ((2n)^2 0.5), 0 on the floor.
inline void slow_coefficient_levels(const double* c, int n, double* levels) {
  const uint64_t two_n = 2 * static_cast<uint64_t>(n);
  const double g = 8.0 / (static_cast<double>(two_n * two_n) * 0.5);
  for (int k = 0; k < n; ++k) {
    const double level = 96.0 + 10.0 * std::log10((g * c[k]) * c[k]);
    levels[k] = (level < 0.0 || std::isnan(level) || c[k] == 0.0) ? 0.0 : level;
  }
}

// The bit stream one bit at a time: bit p is bit p mod 8 of byte p / 8, values least
// significant bit first.
inline void slow_put_bits(uint8_t* buffer, uint32_t value, int nbits, uint32_t& pos) {
  for (int j = 0; j < nbits; ++j, ++pos) {
    buffer[pos / 8] = static_cast<uint8_t>(buffer[pos / 8] | (((value >> j) & 1u) << (pos % 8)));
  }
}

// encode_channel_block in its direct form; frame must be zeroed, CHANNEL_FRAME_BYTES long.
inline int slow_encode_channel_block(const BandTable& band_table, const double* coefficients,
                                     const double* thresholds, int bin_count, uint8_t* frame) {
  std::vector<double> levels(bin_count);
  slow_coefficient_levels(coefficients, bin_count, levels.data());
  const int k_bias = allocation_bias(bin_count);
  uint8_t band_bits[NUM_BANDS] = {};
  int16_t scale_factors[NUM_BANDS] = {};
  for (int b = 0; b < NUM_BANDS; ++b) {
    int n = allocate_band_bits(band_table, levels.data(), thresholds, bin_count, k_bias, b);
    if (n > 15) n = 15;
    if (n == 1) n = 2;
    band_bits[b] = static_cast<uint8_t>(n);
    double peak = 0.0;
    for (int k = band_table.bands[b].first; k <= band_table.bands[b].last; ++k) {
      if (std::fabs(coefficients[k]) > peak) peak = std::fabs(coefficients[k]);
    }
    if (n != 0) scale_factors[b] = static_cast<int16_t>(slow_choose_scale_factor(peak, n));
  }
  uint32_t pos = 128;
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] != 0) {
      slow_put_bits(frame, static_cast<uint32_t>(scale_factors[b]) & 0x3Fu, 6, pos);
    }
  }
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] == 0) continue;
    for (int k = band_table.bands[b].first; k <= band_table.bands[b].last; ++k) {
      const uint32_t code = slow_quantise(coefficients[k], scale_factors[b], band_bits[b]);
      slow_put_bits(frame, code, band_bits[b], pos);
    }
  }
  const uint16_t length = static_cast<uint16_t>(pos % 8 == 0 ? pos / 8 - 2 : pos / 8 - 1);
  for (int k = 0; k < 12; ++k) {
    frame[2 + k] = static_cast<uint8_t>(band_bits[2 * k] | band_bits[2 * k + 1] << 4);
  }
  frame[14] = band_bits[24];
  frame[0] = static_cast<uint8_t>(length & 0xFF);
  frame[1] = static_cast<uint8_t>(length >> 8);
  return length;
}

// read_channel_frame in its direct form: every field one bit at a time; missing bits read as 0 and
// set the overrun that makes the result STATUS_FIELDS.
inline int32_t slow_read_channel_frame(const BandTable& band_table, const uint8_t* stream,
                                       int32_t stream_bytes, const uint8_t band_bits[NUM_BANDS],
                                       int16_t scale_factors[NUM_BANDS], uint16_t* codes) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] > 15) return STATUS_BAND_BITS;
  }
  const uint32_t size_bits = static_cast<uint32_t>(stream_bytes < 0 ? 0 : stream_bytes) * 8u;
  uint32_t pos = 0;
  bool overrun = false;
  const auto get = [&](int nbits) {
    uint32_t value = 0;
    for (int j = 0; j < nbits; ++j, ++pos) {
      if (pos < size_bits) {
        value |= static_cast<uint32_t>((stream[pos / 8] >> (pos % 8)) & 1u) << j;
      } else {
        overrun = true;
      }
    }
    return value;
  };
  for (int b = 0; b < NUM_BANDS; ++b) {
    scale_factors[b] = 0;
    if (band_bits[b] == 0) continue;
    const uint32_t field = get(6);
    scale_factors[b] = static_cast<int16_t>((field & 0x20u) != 0 ? static_cast<int>(field) - 64
                                                                 : static_cast<int>(field));
  }
  for (int b = 0; b < NUM_BANDS; ++b) {
    for (int k = band_table.bands[b].first; k <= band_table.bands[b].last; ++k) {
      codes[k] = static_cast<uint16_t>(band_bits[b] != 0 ? get(band_bits[b]) : 0);
    }
  }
  if (overrun) return STATUS_FIELDS;
  return static_cast<int32_t>(pos);
}

// decode_channel_block in its direct form: the fields read one bit at a time (a damaged block
// decodes to zeros), then dequantised. Returns STATUS_OK, STATUS_FIELDS or
// STATUS_BAND_BITS.
inline int slow_decode_channel_block(const BandTable& band_table,
                                     const uint8_t band_bits[NUM_BANDS], const uint8_t* stream,
                                     int32_t stream_bytes, double* coefficients, int bin_count) {
  for (int k = 0; k < bin_count; ++k) coefficients[k] = 0.0;
  int16_t scale_factors[NUM_BANDS];
  std::vector<uint16_t> codes(bin_count, 0);
  const int32_t end = slow_read_channel_frame(band_table, stream, stream_bytes, band_bits,
                                              scale_factors, codes.data());
  if (end == STATUS_BAND_BITS) return STATUS_BAND_BITS;
  if (end < 0) return STATUS_FIELDS;
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] == 0) continue;
    for (int k = band_table.bands[b].first; k <= band_table.bands[b].last; ++k) {
      coefficients[k] = slow_dequantise(codes[k], scale_factors[b], band_bits[b]);
    }
  }
  return STATUS_OK;
}

}  // namespace tarn::slow
