// The channel frame: bit primitives, the 14-byte band header and the frame writer and reader.
// Field widths follow from the band bit counts and the current BandTable alone, so the frame has
// no markers or lengths of its own.

#include "coding/channel_frame.h"

#include <algorithm>
#include <cassert>

namespace tarn {

namespace {

constexpr uint32_t low_mask(int bits) { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1u; }

// Bit-by-bit read for a field that reaches size_bits: missing bits are 0 and flag the overrun.
uint32_t get_bits_bounded(const uint8_t* buffer, uint32_t size_bits, int nbits, uint32_t pos,
                          uint32_t& value, bool& overrun) {
  value = 0;
  for (int j = 0; j < nbits; ++j, ++pos) {
    if (pos < size_bits) {
      value |= static_cast<uint32_t>((buffer[pos / 8] >> (pos % 8)) & 1u) << j;
    } else {
      overrun = true;
    }
  }
  return pos;
}

// Bits the fields of these band bit counts take behind the header, with the current BandTable.
uint32_t stream_bits_needed(const uint8_t band_bits[NUM_BANDS]) {
  uint32_t bits = 0;
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] != 0) {
      bits += SCALE_FACTOR_BITS + static_cast<uint32_t>(band_width(b)) * band_bits[b];
    }
  }
  return bits;
}

// The frame writer's fields, gathered lowest bit first in a word from a byte boundary on; each
// completed byte is ORed into place (the writer only ORs: the frame is zero where fields go).
struct BitWriter {
  uint8_t* out;      // the byte the next completed byte goes to
  uint64_t pending;  // bits not yet written, the oldest lowest
  int count;         // how many: 0 .. 7 between fields
};

// value < 2^nbits, nbits <= 32.
void write_field(BitWriter& w, uint32_t value, int nbits) {
  w.pending |= static_cast<uint64_t>(value) << w.count;
  w.count += nbits;
  while (w.count >= 8) {
    *w.out++ |= static_cast<uint8_t>(w.pending);
    w.pending >>= 8;
    w.count -= 8;
  }
}

// Writes the partly filled last byte; returns the bits written in all.
uint32_t finish_fields(BitWriter& w, uint8_t* start) {
  if (w.count > 0) *w.out |= static_cast<uint8_t>(w.pending);
  return static_cast<uint32_t>(w.out - start) * 8 + static_cast<uint32_t>(w.count);
}

// The frame reader's fields: bytes taken into a word as they are needed. Past the end of the
// stream the bits are zeros and overrun is set, as get_bits does, without touching a byte
// beyond it.
struct BitReader {
  const uint8_t* stream;
  int32_t size;       // bytes of the stream
  int32_t next;       // the next byte to take
  uint64_t pending;   // bits taken but not read, the next lowest
  int count;          // how many
  bool overrun;       // a field ran past the end
  uint32_t pos = 0;   // bits read in all, including missing ones
};

// nbits <= 32.
uint32_t read_field(BitReader& r, int nbits) {
  while (r.count < nbits && r.next < r.size) {
    r.pending |= static_cast<uint64_t>(r.stream[r.next++]) << r.count;
    r.count += 8;
  }
  const uint32_t value = static_cast<uint32_t>(r.pending) & low_mask(nbits);
  if (r.count < nbits) {
    r.overrun = true;
    r.pending = 0;
    r.count = 0;
  } else {
    r.pending >>= nbits;
    r.count -= nbits;
  }
  r.pos += static_cast<uint32_t>(nbits);
  return value;
}

}  // namespace

uint32_t put_bits(uint8_t* buffer, uint32_t value, int nbits, uint32_t pos) {
  assert(nbits >= 0 && nbits <= 32);
  uint32_t i = pos / 8;
  int o = static_cast<int>(pos % 8);
  int s = 0;
  while (nbits > 0) {
    const int free = 8 - o;
    // The writer only ORs: the buffer must be zero where the field goes.
    buffer[i] |= static_cast<uint8_t>(((value >> s) & low_mask(free)) << o);
    if (nbits < free) {
      pos += static_cast<uint32_t>(nbits);
      break;
    }
    pos += static_cast<uint32_t>(free);
    s += free;
    nbits -= free;
    i += 1;
    o = 0;
  }
  return pos;
}

uint32_t get_bits(const uint8_t* buffer, uint32_t size_bits, int nbits, uint32_t pos,
                  uint32_t& value, bool& overrun) {
  assert(nbits >= 0 && nbits <= 32);
  if (static_cast<uint64_t>(pos) + static_cast<uint64_t>(nbits) > size_bits) {
    return get_bits_bounded(buffer, size_bits, nbits, pos, value, overrun);
  }
  value = 0;
  uint32_t i = pos / 8;
  int o = static_cast<int>(pos % 8);
  int s = 0;
  while (nbits > 0) {
    const int d = std::min(8 - o, nbits);
    value |= ((static_cast<uint32_t>(buffer[i]) >> o) & low_mask(d)) << s;
    if (o + d < 8) {
      pos += static_cast<uint32_t>(d);
      break;
    }
    pos += static_cast<uint32_t>(d);
    s += d;
    nbits -= d;
    i += 1;
    o = 0;
  }
  return pos;
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

uint16_t write_channel_frame(uint8_t* frame, const uint8_t band_bits[NUM_BANDS],
                             const int16_t scale_factors[NUM_BANDS], const uint16_t* codes) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] > MAX_HEADER_BAND_BITS) return 0;
  }
  if (BITSTREAM_START_BIT + stream_bits_needed(band_bits) > CHANNEL_FRAME_BYTES * 8u) return 0;

  // The fields go in order from a byte boundary, so they are gathered in a 64-bit word, lowest
  // bit first, and each completed byte is ORed into the frame: the bits put_bits would set, in
  // eight-bit steps instead of one field at a time.
  BitWriter out{frame + BITSTREAM_START_BIT / 8, 0, 0};
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] != 0) {
      write_field(out, static_cast<uint32_t>(scale_factors[b]) & 0x3Fu, SCALE_FACTOR_BITS);
    }
  }
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int bits = band_bits[b];
    if (bits == 0) continue;
    int first = 0;
    int last = -1;
    band_edges(b, first, last);
    // Masking keeps an out-of-range code from spilling into the next field; codes from the
    // quantiser already fit their width.
    for (int k = first; k <= last; ++k) write_field(out, codes[k] & low_mask(bits), bits);
  }
  const uint32_t pos = BITSTREAM_START_BIT + finish_fields(out, frame + BITSTREAM_START_BIT / 8);
  // L = ceil(pos / 8) - 2: a field that ends on a byte boundary adds no byte.
  const uint16_t length = static_cast<uint16_t>(pos % 8 == 0 ? pos / 8 - 2 : pos / 8 - 1);
  pack_band_bits(band_bits, frame + 2);
  frame[0] = static_cast<uint8_t>(length & 0xFF);
  frame[1] = static_cast<uint8_t>(length >> 8);
  return length;
}

int32_t read_channel_frame(const uint8_t* stream, int32_t stream_bytes,
                           const uint8_t band_bits[NUM_BANDS], int16_t scale_factors[NUM_BANDS],
                           uint16_t* codes) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] > MAX_HEADER_BAND_BITS) return FRAME_ERR_BAND_BITS;
  }
  // Up to 2^28 bytes keeps the bit count within 32 bits; no frame comes near it.
  BitReader in{stream, std::clamp(stream_bytes, 0, 1 << 28), 0, 0, 0, false};
  for (int b = 0; b < NUM_BANDS; ++b) {
    scale_factors[b] = 0;
    if (band_bits[b] == 0) continue;
    const uint32_t field = read_field(in, SCALE_FACTOR_BITS);
    // Six-bit two's complement: bit 5 is the sign.
    scale_factors[b] = static_cast<int16_t>((field & 0x20u) != 0 ? static_cast<int>(field) - 64
                                                                 : static_cast<int>(field));
  }
  for (int b = 0; b < NUM_BANDS; ++b) {
    int first = 0;
    int last = -1;
    band_edges(b, first, last);
    const int bits = band_bits[b];
    if (bits == 0) {
      for (int k = first; k <= last; ++k) codes[k] = 0;
      continue;
    }
    for (int k = first; k <= last; ++k) codes[k] = static_cast<uint16_t>(read_field(in, bits));
  }
  if (in.overrun) return FRAME_ERR_TRUNCATED;
  return static_cast<int32_t>(in.pos);
}

}  // namespace tarn
