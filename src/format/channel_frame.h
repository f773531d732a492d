#pragma once
// The packed block (ChannelFrame): one channel's block as a 1,024-byte bit buffer before
// arithmetic coding, and its bit primitives.
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

#include "format/byte_order.h"
#include "codec/status.h"
#include "format/band_partition.h"

namespace tarn {

constexpr int CHANNEL_FRAME_BYTES = 1024;
constexpr int BAND_HEADER_BYTES = 14;
constexpr int BITSTREAM_START_BIT = 128;
constexpr int SCALE_FACTOR_BITS = 6;
static_assert(BITSTREAM_START_BIT == (2 + BAND_HEADER_BYTES) * 8);
// Largest band bit count a four-bit header nibble holds.
constexpr int MAX_HEADER_BAND_BITS = 15;

// Most bins a packed block can code: the worst case, every bin at MAX_HEADER_BAND_BITS behind the header
// and 25 scale factors, must fit CHANNEL_FRAME_BYTES (527 bins; the system codes 256).
constexpr int MAX_CODED_BINS =
    (CHANNEL_FRAME_BYTES * 8 - BITSTREAM_START_BIT - NUM_BANDS * SCALE_FACTOR_BITS) / MAX_HEADER_BAND_BITS;
static_assert(MAX_CODED_BINS >= 256);


// A zeroed packed block; the writer only ORs bits in.
struct ChannelFrame {
  std::array<uint8_t, CHANNEL_FRAME_BYTES> bytes{};
};


constexpr uint32_t low_mask(int bits) { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1u; }

// Writes fields into a zeroed buffer from a bit position on, each value's bits lowest first at
// increasing positions. The bits are gathered in a word and ORed into place 32 at a time as four
// bytes in buffer order, so the writer only ORs (the buffer must be zero where fields go) and
// touches no byte beyond the last one a field reaches.
struct BitWriter {
  uint8_t* buffer;   // the whole buffer: bit positions count from its start
  uint8_t* out;      // where the next completed 32 bits go
  uint64_t pending;  // bits not yet written, the oldest lowest
  int count;         // how many: 0 .. 31 between fields
};

// A writer whose first field goes to bit pos; the bits below pos in its byte stay as they are.
inline BitWriter bit_writer(uint8_t* buffer, uint32_t pos) {
  return {buffer, buffer + pos / 8, 0, static_cast<int>(pos % 8)};
}

// Writes the low nbits (0 .. 32) of value; returns the bit position after them. value < 2^nbits:
// higher bits would land in the next field.
inline uint32_t put_bits(BitWriter& w, uint32_t value, int nbits) {
  w.pending |= static_cast<uint64_t>(value) << w.count;
  w.count += nbits;
  if (w.count >= 32) {
    store_le32(w.out, load_le32(w.out) | static_cast<uint32_t>(w.pending));
    w.out += 4;
    w.pending >>= 32;
    w.count -= 32;
  }
  return static_cast<uint32_t>(w.out - w.buffer) * 8 + static_cast<uint32_t>(w.count);
}

// Writes the last, partly filled bytes; returns the bit position after the last field.
inline uint32_t finish_bits(BitWriter& w) {
  const uint32_t pos = static_cast<uint32_t>(w.out - w.buffer) * 8 + static_cast<uint32_t>(w.count);
  for (int done = 0; done < w.count; done += 8) {
    *w.out++ |= static_cast<uint8_t>(w.pending);
    w.pending >>= 8;
  }
  w.count = 0;
  return pos;
}

// Writes fields from a byte boundary on into a buffer that no one else writes beyond it, 64 bits
// at a time: the bits are gathered in a word, and each completed word is stored whole (all of its
// bytes belong to fields), so a field costs a shift, an OR and a test. The bytes behind the last
// whole word go out at finish_words.
struct WordWriter {
  uint8_t* out;  // where the next completed 64 bits go
  uint64_t acc;  // bits not yet stored, the oldest lowest
  int count;     // how many: 0 .. 63
};

inline WordWriter word_writer(uint8_t* out) { return {out, 0, 0}; }

// Appends the low nbits (1 .. 60) of value; value < 2^nbits.
inline void put_word_bits(WordWriter& w, uint64_t value, int nbits) {
  w.acc |= value << w.count;
  const int total = w.count + nbits;
  if (total >= 64) {
    store_le64(w.out, w.acc);
    w.out += 8;
    w.acc = value >> (64 - w.count);  // count >= 4 here, as nbits <= 60
    w.count = total - 64;
  } else {
    w.count = total;
  }
}

// Stores the partly filled bytes; returns the number of bits written from the start, which was
// at start.
inline uint32_t finish_words(WordWriter& w, const uint8_t* start) {
  const uint32_t bits = static_cast<uint32_t>(w.out - start) * 8 + static_cast<uint32_t>(w.count);
  for (int done = 0; done < w.count; done += 8) {
    *w.out++ = static_cast<uint8_t>(w.acc);
    w.acc >>= 8;
  }
  w.count = 0;
  return bits;
}

// Reads fields from the first size_bits bits of a buffer, in the writer's order. Bytes are taken
// into a word as they are needed, eight at a time while eight whole bytes remain. Bits at or past
// size_bits read as zeros and set overrun (sticky), without touching a byte beyond the one that
// holds bit size_bits - 1.
struct BitReader {
  const uint8_t* stream;
  int32_t whole_bytes;  // bytes wholly inside size_bits
  int tail_bits;        // bits of the partly used byte behind them, 0 .. 7
  int32_t next;         // the next byte to take
  uint64_t pending;     // bits taken but not read, the next lowest
  int count;            // how many are valid
  bool overrun;         // a field ran past size_bits
  uint32_t pos;         // bits read in all, including missing ones
};

// size_bits up to 2^31.
inline BitReader bit_reader(const uint8_t* buffer, uint32_t size_bits) {
  return {buffer, static_cast<int32_t>(size_bits / 8), static_cast<int>(size_bits % 8), 0, 0, 0,
          false, 0};
}

// Reads nbits (0 .. 32) as an unsigned value, the first bit read least significant.
inline uint32_t get_bits(BitReader& r, int nbits) {
  if (r.count < nbits) {
    if (r.next + 8 <= r.whole_bytes) {
      // Eight bytes from next on: the whole bytes that fit above the valid bits are taken. The
      // bits the load puts above those are the stream's next bits in their places, so the next
      // load ORs the same bits over them.
      r.pending |= load_le64(r.stream + r.next) << r.count;
      const int take = (63 - r.count) >> 3;
      r.next += take;
      r.count += 8 * take;
    } else {
      while (r.count < nbits && r.next < r.whole_bytes) {
        r.pending |= static_cast<uint64_t>(r.stream[r.next++]) << r.count;
        r.count += 8;
      }
      if (r.count < nbits && r.next == r.whole_bytes && r.tail_bits != 0) {
        r.pending |= static_cast<uint64_t>(r.stream[r.next++] & low_mask(r.tail_bits)) << r.count;
        r.count += r.tail_bits;
      }
    }
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

// Bits the fields of these band bit counts (each at most 15) take behind the band header: a
// scale factor and band_width bins of band_bits[b] bits for each band with bits.
uint32_t field_bits(const BandTable& bands, const uint8_t band_bits[NUM_BANDS]);

// The signed value of a six-bit scale-factor field: two's complement, bit 5 the sign.
inline int16_t scale_factor_value(uint32_t field) {
  return static_cast<int16_t>((field & 0x20u) != 0 ? static_cast<int>(field) - 64
                                                   : static_cast<int>(field));
}

// Reads the bits of a stream from any bit position, 57 or more at a time (the bits at or past
// the stream's end as zeros), without touching a byte outside it: while eight bytes remain from
// the position's byte the word is loaded from the stream, behind that from a zero-padded copy of
// its last eight bytes (or of all of them in a shorter stream). For readers that know the
// stream holds every field (field_bits), so that no field needs a check of its own.
struct WordReader {
  const uint8_t* stream;
  int32_t bytes;
  int32_t tail_start;  // the stream byte tail[0] holds
  uint8_t tail[16];
};

void word_reader(WordReader& r, const uint8_t* stream, int32_t bytes);

// The stream's bits from pos on, bit pos lowest; pos / 8 at most bytes.
inline uint64_t bits_at(const WordReader& r, uint32_t pos) {
  const int32_t at = static_cast<int32_t>(pos / 8);
  const uint8_t* p = at + 8 <= r.bytes ? r.stream + at : r.tail + (at - r.tail_start);
  return load_le64(p) >> (pos % 8);
}

void pack_band_bits(const uint8_t band_bits[NUM_BANDS], uint8_t header[BAND_HEADER_BYTES]);
void unpack_band_bits(const uint8_t header[BAND_HEADER_BYTES], uint8_t band_bits[NUM_BANDS]);

// Fills a zeroed CHANNEL_FRAME_BYTES packed block; band_bits 0 .. 15, codes has one entry per
// bin of bands and each code is taken to its band's width. Returns L, or 0 (nothing
// written) when a band bit count exceeds 15 or the fields would not fit the packed block.
uint16_t write_channel_frame(const BandTable& bands, uint8_t* packed,
                             const uint8_t band_bits[NUM_BANDS],
                             const int16_t scale_factors[NUM_BANDS], const uint16_t* codes);
// Reads scale factors and codes from a bit stream of stream_bytes bytes (bit 0 = the first bit
// after the band header). Bands with 0 bits get scale factor 0 and codes 0. Returns the final bit
// position, STATUS_FIELDS when the fields run past stream_bytes (the missing bits read as
// 0), or STATUS_BAND_BITS (nothing read) for a count above 15.
int32_t read_channel_frame(const BandTable& bands, const uint8_t* stream, int32_t stream_bytes,
                           const uint8_t band_bits[NUM_BANDS], int16_t scale_factors[NUM_BANDS],
                           uint16_t* codes);

}  // namespace tarn
