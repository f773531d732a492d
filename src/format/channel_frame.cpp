// The packed block: the 14-byte band header and the writer and reader of its fields. Field
// widths follow from the band bit counts and the BandTable alone, so the packed block
// has no markers or lengths of its own.

#include "format/channel_frame.h"

#include <algorithm>
#include <cassert>

#include "format/byte_order.h"

namespace tarn {

namespace {

// read_channel_frame for a stream that holds every field its band bit counts announce (at most
// 15 each), the position after the last field at most bytes * 8: each word read gives a band
// as many codes as fit its 57 sure bits.
int32_t read_whole_fields(const BandTable& bands, const uint8_t* stream, int32_t bytes,
                          const uint8_t band_bits[NUM_BANDS], int16_t scale_factors[NUM_BANDS],
                          uint16_t* codes) {
  WordReader in;
  word_reader(in, stream, bytes);
  uint32_t pos = 0;
  for (int b = 0; b < NUM_BANDS; ++b) {
    scale_factors[b] = 0;
    if (band_bits[b] == 0) continue;
    scale_factors[b] = scale_factor_value(static_cast<uint32_t>(bits_at(in, pos)) & 0x3Fu);
    pos += SCALE_FACTOR_BITS;
  }
  for (int b = 0; b < NUM_BANDS; ++b) {
    int first = 0;
    int last = -1;
    band_edges(bands, b, first, last);
    const int bits = band_bits[b];
    if (bits == 0) {
      for (int k = first; k <= last; ++k) codes[k] = 0;
      continue;
    }
    const uint32_t mask = low_mask(bits);
    const int per_word = 57 / bits;
    for (int k = first; k <= last;) {
      uint64_t word = bits_at(in, pos);
      const int n = std::min(per_word, last - k + 1);
      for (int j = 0; j < n; ++j, word >>= bits) codes[k + j] = static_cast<uint16_t>(word & mask);
      k += n;
      pos += static_cast<uint32_t>(n * bits);
    }
  }
  return static_cast<int32_t>(pos);
}

}  // namespace

uint32_t field_bits(const BandTable& bands, const uint8_t band_bits[NUM_BANDS]) {
  uint32_t bits = 0;
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] != 0) {
      bits += SCALE_FACTOR_BITS + static_cast<uint32_t>(band_width(bands, b)) * band_bits[b];
    }
  }
  return bits;
}

void word_reader(WordReader& r, const uint8_t* stream, int32_t bytes) {
  r.stream = stream;
  r.bytes = bytes;
  r.tail_start = bytes > 8 ? bytes - 8 : 0;
  for (int i = 0; i < 16; ++i) {
    r.tail[i] = r.tail_start + i < bytes ? stream[r.tail_start + i] : 0;
  }
}

//   header byte   bits 7..4            bits 3..0
//   0 .. 11       band_bits[2k + 1]    band_bits[2k]
//   12            0 (ignored)          band_bits[24]
//   13            0 (ignored)
void pack_band_bits(const uint8_t band_bits[NUM_BANDS], uint8_t header[BAND_HEADER_BYTES]) {
  for (int k = 0; k < 12; ++k) {
    header[k] =
        static_cast<uint8_t>((band_bits[2 * k] & 0x0F) | (band_bits[2 * k + 1] & 0x0F) << 4);
  }
  header[12] = static_cast<uint8_t>(band_bits[24] & 0x0F);
  header[13] = 0;
}

void unpack_band_bits(const uint8_t header[BAND_HEADER_BYTES], uint8_t band_bits[NUM_BANDS]) {
  for (int k = 0; k < 12; ++k) {
    band_bits[2 * k] = header[k] & 0x0F;
    band_bits[2 * k + 1] = header[k] >> 4;
  }
  band_bits[24] = header[12] & 0x0F;
}

uint16_t write_channel_frame(const BandTable& bands, uint8_t* packed,
                             const uint8_t band_bits[NUM_BANDS],
                             const int16_t scale_factors[NUM_BANDS], const uint16_t* codes) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] > MAX_HEADER_BAND_BITS) return 0;
  }
  if (BITSTREAM_START_BIT + field_bits(bands, band_bits) > CHANNEL_FRAME_BYTES * 8u)
    return 0;

  BitWriter out = bit_writer(packed, BITSTREAM_START_BIT);
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] != 0) {
      put_bits(out, static_cast<uint32_t>(scale_factors[b]) & 0x3Fu, SCALE_FACTOR_BITS);
    }
  }
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int bits = band_bits[b];
    if (bits == 0) continue;
    int first = 0;
    int last = -1;
    band_edges(bands, b, first, last);
    // Masking keeps an out-of-range code from spilling into the next field; codes from the
    // quantiser already fit their width. Two codes at a time as one field of twice the width,
    // the first code lowest: the same bits in the same places.
    const uint32_t mask = low_mask(bits);
    int k = first;
    for (; k < last; k += 2) {
      put_bits(out, (codes[k] & mask) | (codes[k + 1] & mask) << bits, 2 * bits);
    }
    if (k == last) put_bits(out, codes[k] & mask, bits);
  }
  const uint32_t pos = finish_bits(out);
  // L = ceil(pos / 8) - 2: a field that ends on a byte boundary adds no byte.
  const uint16_t length = static_cast<uint16_t>(pos % 8 == 0 ? pos / 8 - 2 : pos / 8 - 1);
  pack_band_bits(band_bits, packed + 2);
  packed[0] = static_cast<uint8_t>(length & 0xFF);
  packed[1] = static_cast<uint8_t>(length >> 8);
  return length;
}

int32_t read_channel_frame(const BandTable& bands, const uint8_t* stream, int32_t stream_bytes,
                           const uint8_t band_bits[NUM_BANDS], int16_t scale_factors[NUM_BANDS],
                           uint16_t* codes) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] > MAX_HEADER_BAND_BITS) return STATUS_BAND_BITS;
  }
  // Up to 2^28 bytes keeps the bit count within 32 bits; no packed block comes near it.
  const int32_t bytes = std::clamp(stream_bytes, 0, 1 << 28);
  if (field_bits(bands, band_bits) <= static_cast<uint32_t>(bytes) * 8) {
    return read_whole_fields(bands, stream, bytes, band_bits, scale_factors, codes);
  }
  // A stream too short for its fields: read field by field, the missing bits as zeros.
  BitReader in = bit_reader(stream, static_cast<uint32_t>(bytes) * 8);
  for (int b = 0; b < NUM_BANDS; ++b) {
    scale_factors[b] = 0;
    if (band_bits[b] == 0) continue;
    scale_factors[b] = scale_factor_value(get_bits(in, SCALE_FACTOR_BITS));
  }
  for (int b = 0; b < NUM_BANDS; ++b) {
    int first = 0;
    int last = -1;
    band_edges(bands, b, first, last);
    // A zero-bit field reads as 0 and takes no bit.
    for (int k = first; k <= last; ++k) {
      codes[k] = static_cast<uint16_t>(get_bits(in, band_bits[b]));
    }
  }
  if (in.overrun) return STATUS_FIELDS;
  return static_cast<int32_t>(in.pos);
}

}  // namespace tarn
