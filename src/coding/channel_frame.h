#pragma once
// The packed bit frame of one channel's block before arithmetic coding, and its bit primitives.
//
//   bytes   content
//   0-1     payload length L, unsigned 16-bit little-endian (never stored in the stream file)
//   2-13    band bit counts in pairs: byte 2+k = band_bits[2k] | band_bits[2k+1] << 4
//   14      band_bits[24] in the low four bits
//   15      0
//   16..    bit stream from bit 128: 6-bit scale factors of the bands with bits, then every
//           bin's code, band by band, band_bits[b] bits each
// Bit p of a buffer is bit p mod 8 of byte p / 8 (bit 0 = least significant); values go least
// significant bit first. The payload (bytes 2 .. L+1) is what the arithmetic coder compresses.

#include <array>
#include <cstdint>

#include "psycho/psycho_tables.h"

namespace tarn {

constexpr int CHANNEL_FRAME_BYTES = 1024;
constexpr int BAND_HEADER_BYTES = 14;
constexpr int BITSTREAM_START_BIT = 128;
constexpr int SCALE_FACTOR_BITS = 6;
static_assert(BITSTREAM_START_BIT == (2 + BAND_HEADER_BYTES) * 8);
// Largest band bit count a four-bit header nibble holds.
constexpr int MAX_HEADER_BAND_BITS = 15;

// A zeroed frame buffer; the writer only ORs bits in.
struct ChannelFrame {
  std::array<uint8_t, CHANNEL_FRAME_BYTES> bytes{};
};

constexpr int FRAME_OK = 0;
constexpr int FRAME_ERR_TRUNCATED = -1;  // the bit stream ends before the fields it must hold
constexpr int FRAME_ERR_BAND_BITS = -2;  // a band bit count above MAX_HEADER_BAND_BITS

// Writes the low nbits (0 .. 32) of value at bit pos by ORing them in; returns pos + nbits.
// value < 2^nbits: higher bits would land in the next field.
uint32_t put_bits(uint8_t* buffer, uint32_t value, int nbits, uint32_t pos);
// Reads nbits (0 .. 32) at bit pos (first bit = least significant) into value; returns
// pos + nbits. Bits at or past size_bits read as 0 and set overrun (a sticky flag the caller
// checks); no byte at or past size_bits / 8 is touched, except the partly used last one.
uint32_t get_bits(const uint8_t* buffer, uint32_t size_bits, int nbits, uint32_t pos,
                  uint32_t& value, bool& overrun);

void pack_band_bits(const uint8_t band_bits[NUM_BANDS], uint8_t header[BAND_HEADER_BYTES]);
void unpack_band_bits(const uint8_t header[BAND_HEADER_BYTES], uint8_t band_bits[NUM_BANDS]);

// Fills a zeroed CHANNEL_FRAME_BYTES frame; band_bits 0 .. 15, codes has one entry per bin of
// the current BandTable and each code is taken to its band's width. Returns L, or 0 (nothing
// written) when a band bit count exceeds 15 or the fields would not fit the frame.
uint16_t write_channel_frame(uint8_t* frame, const uint8_t band_bits[NUM_BANDS],
                             const int16_t scale_factors[NUM_BANDS], const uint16_t* codes);
// Reads scale factors and codes from a bit stream of stream_bytes bytes (bit 0 = the first bit
// after the band header). Bands with 0 bits get scale factor 0 and codes 0. Returns the final bit
// position, FRAME_ERR_TRUNCATED when the fields run past stream_bytes (the missing bits read as
// 0), or FRAME_ERR_BAND_BITS (nothing read) for a count above 15.
int32_t read_channel_frame(const uint8_t* stream, int32_t stream_bytes,
                           const uint8_t band_bits[NUM_BANDS], int16_t scale_factors[NUM_BANDS],
                           uint16_t* codes);

}  // namespace tarn
