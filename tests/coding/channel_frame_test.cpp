#include "format/channel_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "psycho/psycho_tables.h"

namespace tarn {
namespace {

// The band partition the test in progress codes with.
BandTable band_table;

constexpr int BINS = 256;
constexpr int HALF_RATE_HZ = 22050;

using BandBits = std::array<uint8_t, NUM_BANDS>;
using ScaleFactors = std::array<int16_t, NUM_BANDS>;

// One frame's worth of values with the bit position it must end at.
struct FrameValues {
  BandBits band_bits{};
  ScaleFactors scale_factors{};
  std::array<uint16_t, BINS> codes{};
  uint32_t end_bit = BITSTREAM_START_BIT;  // P, counted directly from the layout
};

uint32_t expected_end_bit(const BandBits& bits) {
  uint32_t p = BITSTREAM_START_BIT;
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (bits[b] != 0)
      p += SCALE_FACTOR_BITS + bits[b] * static_cast<uint32_t>(band_width(band_table, b));
  }
  return p;
}

TEST(ChannelFrame, LayoutExamples) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  ASSERT_EQ(band_width(band_table, 0), 2);
  // All bands at 0 bits: the payload is the 14 zero header bytes.
  {
    ChannelFrame frame;
    const BandBits bits{};
    const ScaleFactors sf{};
    const std::array<uint16_t, BINS> codes{};
    EXPECT_EQ(
        write_channel_frame(band_table, frame.bytes.data(), bits.data(), sf.data(), codes.data()),
        14);
    for (int i = 0; i < CHANNEL_FRAME_BYTES; ++i) {
      EXPECT_EQ(frame.bytes[i], i == 0 ? 0x0E : 0x00) << "byte " << i;
    }
  }
  // Band 0 at 2 bits, scale factor -3, codes 1 and 2: P = 138.
  {
    ChannelFrame frame;
    BandBits bits{};
    ScaleFactors sf{};
    std::array<uint16_t, BINS> codes{};
    bits[0] = 2;
    sf[0] = -3;
    codes[0] = 1;
    codes[1] = 2;
    EXPECT_EQ(
        write_channel_frame(band_table, frame.bytes.data(), bits.data(), sf.data(), codes.data()),
        16);
    // clang-format off
    const std::array<uint8_t, 18> expected = {
        /* length */ 0x10, 0x00,
        /* header */ 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        /* stream */ 0x7D, 0x02};
    // clang-format on
    for (size_t i = 0; i < CHANNEL_FRAME_BYTES; ++i) {
      EXPECT_EQ(frame.bytes[i], i < expected.size() ? expected[i] : 0) << "byte " << i;
    }
  }
}

// P on a byte boundary adds no byte; one bit more adds one.
TEST(ChannelFrame, LengthRoundsUpToWholeBytes) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  struct Case {
    const char* name;
    uint8_t band0_bits;
    uint16_t length;
  };
  constexpr Case CASES[] = {
      {"P = 138", 2, 16}, {"P = 144", 5, 16}, {"P = 146", 6, 17}, {"P = 164", 15, 19}};
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    ChannelFrame frame;
    BandBits bits{};
    bits[0] = c.band0_bits;
    const ScaleFactors sf{};
    const std::array<uint16_t, BINS> codes{};
    EXPECT_EQ(
        write_channel_frame(band_table, frame.bytes.data(), bits.data(), sf.data(), codes.data()),
        c.length);
  }
  // Every bin at 15 bits: the largest payload.
  ChannelFrame frame;
  BandBits bits;
  bits.fill(15);
  const ScaleFactors sf{};
  const std::array<uint16_t, BINS> codes{};
  EXPECT_EQ(
      write_channel_frame(band_table, frame.bytes.data(), bits.data(), sf.data(), codes.data()),
      513);
}

TEST(ChannelFrame, ScaleFactorsAreSixBitTwosComplement) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  struct Case {
    int16_t sf;
    uint8_t stored;  // the six bits at frame byte 16
  };
  constexpr Case CASES[] = {{-1, 0x3F}, {-32, 0x20}, {31, 0x1F}, {0, 0x00}, {-3, 0x3D}};
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.sf);
    ChannelFrame frame;
    BandBits bits{};
    bits[3] = 2;  // a one-bin band: 6 + 2 bits fill byte 16
    ScaleFactors sf{};
    sf[3] = c.sf;
    const std::array<uint16_t, BINS> codes{};
    ASSERT_EQ(
        write_channel_frame(band_table, frame.bytes.data(), bits.data(), sf.data(), codes.data()),
        15);
    EXPECT_EQ(frame.bytes[16], c.stored);
    ScaleFactors back{};
    std::array<uint16_t, BINS> codes_back{};
    EXPECT_EQ(read_channel_frame(band_table, frame.bytes.data() + 16, 1, bits.data(), back.data(),
                                 codes_back.data()),
              8);
    EXPECT_EQ(back[3], c.sf);
  }
}

// A reader positioned at bit pos of a size_bits-bit buffer; positions past the end count as
// read (and flag the overrun).
BitReader reader_at(const uint8_t* buffer, uint32_t size_bits, uint32_t pos) {
  BitReader r = bit_reader(buffer, size_bits);
  for (; pos > 32; pos -= 32) get_bits(r, 32);
  get_bits(r, static_cast<int>(pos));
  return r;
}

TEST(ChannelFrame, PutBitsExample) {
  std::array<uint8_t, 4> buf{};
  BitWriter w = bit_writer(buf.data(), 5);
  EXPECT_EQ(put_bits(w, 0x1ABC, 13), 18u);
  EXPECT_EQ(put_bits(w, 0, 0), 18u);
  EXPECT_EQ(finish_bits(w), 18u);
  EXPECT_EQ(buf, (std::array<uint8_t, 4>{0x80, 0x57, 0x03, 0x00}));
  BitReader r = reader_at(buf.data(), 32, 5);
  EXPECT_EQ(get_bits(r, 13), 0x1ABCu);
  EXPECT_EQ(r.pos, 18u);
  EXPECT_FALSE(r.overrun);
  EXPECT_EQ(get_bits(r, 0), 0u);
  EXPECT_EQ(r.pos, 18u);
}

// Reference writer straight from the bit numbering: bit p is bit p % 8 of byte p / 8.
void put_bits_slow(std::vector<uint8_t>& buf, uint32_t value, int nbits, uint32_t pos) {
  for (int j = 0; j < nbits; ++j, ++pos) {
    if ((value >> j) & 1u) buf[pos / 8] |= static_cast<uint8_t>(1u << (pos % 8));
  }
}

TEST(ChannelFrame, RandomFieldsRoundTrip) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    std::vector<uint8_t> fast(160, 0);
    std::vector<uint8_t> slow(160, 0);
    std::vector<std::pair<uint32_t, int>> fields;
    const uint32_t start = std::uniform_int_distribution<uint32_t>(0, 40)(rng);
    uint32_t pos = start;
    BitWriter w = bit_writer(fast.data(), start);
    while (pos < 1000) {
      const int nbits = std::uniform_int_distribution<int>(0, 32)(rng);
      const uint32_t value = nbits == 0 ? 0 : static_cast<uint32_t>(rng()) >> (32 - nbits);
      put_bits_slow(slow, value, nbits, pos);
      const uint32_t next = put_bits(w, value, nbits);
      ASSERT_EQ(next, pos + static_cast<uint32_t>(nbits));
      fields.push_back({value, nbits});
      pos = next;
    }
    ASSERT_EQ(finish_bits(w), pos);
    ASSERT_EQ(fast, slow);
    const uint32_t size_bits = pos;
    BitReader r = reader_at(fast.data(), size_bits, start);
    for (size_t f = 0; f < fields.size(); ++f) {
      const uint32_t before = r.pos;
      ASSERT_EQ(get_bits(r, fields[f].second), fields[f].first) << "field " << f;
      ASSERT_EQ(r.pos, before + static_cast<uint32_t>(fields[f].second)) << "field " << f;
    }
    EXPECT_FALSE(r.overrun);  // the last field ends exactly at size_bits
  }
}

// The 64-bit word writer against the bit numbering, for each kind of field sequence: it stores
// whole words and then the last bytes, over whatever the buffer held, and touches no byte
// behind the last field (the buffer's 0xEE stays there).
TEST(ChannelFrame, WordWriterPlacesFieldsAsTheBitNumbering) {
  struct Kind {
    const char* name;
    int (*width)(std::mt19937&, int field);  // 1 .. 60
  };
  const Kind kinds[] = {
      {"random widths", [](std::mt19937& g, int) { return 1 + static_cast<int>(g() % 60); }},
      {"single bits", [](std::mt19937&, int) { return 1; }},
      {"words filled exactly", [](std::mt19937&, int f) { return f % 2 == 0 ? 60 : 4; }},
      {"the coder's widths",  // scale factors, then pairs and fours of 2 .. 15-bit codes
       [](std::mt19937& g, int f) {
         return f < 25 ? 6 : (1 + static_cast<int>(g() % 2)) * 2 * (2 + static_cast<int>(g() % 14));
       }},
  };
  for (const Kind& kind : kinds) {
    for (uint32_t seed = 1; seed <= 50; ++seed) {
      SCOPED_TRACE(testing::Message() << kind.name << ", seed " << seed);
      std::mt19937 rng(seed);
      std::vector<uint8_t> fast(200, 0xEE);
      std::vector<uint8_t> slow(200, 0);
      WordWriter w = word_writer(fast.data());
      uint32_t pos = 0;
      for (int f = 0; pos < 1200; ++f) {
        const int nbits = kind.width(rng, f);
        const uint64_t value = (static_cast<uint64_t>(rng()) << 32 | rng()) >> (64 - nbits);
        put_bits_slow(slow, static_cast<uint32_t>(value), std::min(nbits, 32), pos);
        if (nbits > 32) {
          put_bits_slow(slow, static_cast<uint32_t>(value >> 32), nbits - 32, pos + 32);
        }
        put_word_bits(w, value, nbits);
        pos += static_cast<uint32_t>(nbits);
      }
      ASSERT_EQ(finish_words(w, fast.data()), pos);
      const size_t used = (pos + 7) / 8;
      std::fill(slow.begin() + static_cast<std::ptrdiff_t>(used), slow.end(), 0xEE);
      ASSERT_EQ(fast, slow);
    }
  }
}

TEST(ChannelFrame, GetBitsPastTheEndReadsZerosAndFlags) {
  std::array<uint8_t, 16> buf;  // bits past size_bits are ones, so a zero read shows the bound
  buf.fill(0xFF);
  struct Case {
    const char* name;
    uint32_t size_bits;
    int nbits;
    uint32_t pos;
    uint32_t value;
    bool overrun;
  };
  constexpr Case CASES[] = {
      {"ends at the limit", 16, 8, 8, 0xFF, false},
      {"straddles the limit", 16, 8, 12, 0x0F, true},
      {"inside a partial byte", 11, 8, 0, 0xFF, false},
      {"partial byte limit", 11, 8, 4, 0x7F, true},
      {"wholly past", 16, 5, 40, 0, true},
      {"zero bits at the end", 16, 0, 16, 0, false},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    BitReader r = reader_at(buf.data(), c.size_bits, c.pos);
    EXPECT_EQ(get_bits(r, c.nbits), c.value);
    EXPECT_EQ(r.pos, c.pos + static_cast<uint32_t>(c.nbits));
    EXPECT_EQ(r.overrun, c.overrun);
  }
  // The flag is sticky: reads after an overrun keep it set and read zeros.
  BitReader r = bit_reader(buf.data(), 16);
  get_bits(r, 20);
  EXPECT_TRUE(r.overrun);
  EXPECT_EQ(get_bits(r, 4), 0u);
  EXPECT_TRUE(r.overrun);
}

TEST(ChannelFrame, BandHeaderPacksNibbles) {
  std::mt19937 rng(7);
  for (int round = 0; round < 100; ++round) {
    BandBits bits;
    for (uint8_t& v : bits) v = static_cast<uint8_t>(rng() % 16);
    std::array<uint8_t, BAND_HEADER_BYTES> header{};
    pack_band_bits(bits.data(), header.data());
    for (int k = 0; k < 12; ++k) EXPECT_EQ(header[k], bits[2 * k] | bits[2 * k + 1] << 4);
    EXPECT_EQ(header[12], bits[24]);
    EXPECT_EQ(header[13], 0);
    BandBits back{};
    unpack_band_bits(header.data(), back.data());
    EXPECT_EQ(back, bits);
    // The high nibble of byte 12 and all of byte 13 are ignored.
    header[12] |= static_cast<uint8_t>(rng() % 16) << 4;
    header[13] = static_cast<uint8_t>(rng());
    BandBits noisy{};
    unpack_band_bits(header.data(), noisy.data());
    EXPECT_EQ(noisy, bits);
  }
}

FrameValues random_frame(std::mt19937& rng) {
  FrameValues v;
  std::uniform_int_distribution<int> bits_dist(0, 14);  // 0 or 2 .. 15
  std::uniform_int_distribution<int> sf_dist(-32, 31);
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int drawn = bits_dist(rng);
    v.band_bits[b] = static_cast<uint8_t>(drawn == 0 ? 0 : drawn + 1);
    v.scale_factors[b] = static_cast<int16_t>(v.band_bits[b] == 0 ? 0 : sf_dist(rng));
    int first = 0;
    int last = -1;
    band_edges(band_table, b, first, last);
    for (int k = first; k <= last; ++k) {
      v.codes[k] = static_cast<uint16_t>(rng() & ((1u << v.band_bits[b]) - 1u));
    }
  }
  v.end_bit = expected_end_bit(v.band_bits);
  return v;
}

TEST(ChannelFrame, RandomFramesRoundTrip) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  for (uint32_t seed = 1; seed <= 500; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    const FrameValues v = random_frame(rng);
    ChannelFrame frame;
    const uint16_t length = write_channel_frame(band_table, frame.bytes.data(), v.band_bits.data(),
                                                v.scale_factors.data(), v.codes.data());
    ASSERT_EQ(length, (v.end_bit + 7) / 8 - 2);
    EXPECT_EQ(frame.bytes[0] | frame.bytes[1] << 8, length);
    for (int i = length + 2; i < CHANNEL_FRAME_BYTES; ++i) ASSERT_EQ(frame.bytes[i], 0) << i;

    // The decoder's view: payload from byte 2, header first, bit stream behind it.
    const uint8_t* payload = frame.bytes.data() + 2;
    BandBits bits{};
    unpack_band_bits(payload, bits.data());
    ASSERT_EQ(bits, v.band_bits);
    ScaleFactors sf{};
    std::array<uint16_t, BINS> codes{};
    const int32_t stream_bytes = length - BAND_HEADER_BYTES;
    ASSERT_EQ(read_channel_frame(band_table, payload + BAND_HEADER_BYTES, stream_bytes, bits.data(),
                                 sf.data(), codes.data()),
              static_cast<int32_t>(v.end_bit) - BITSTREAM_START_BIT);
    EXPECT_EQ(sf, v.scale_factors);
    EXPECT_EQ(codes, v.codes);

    // One byte short of the fields is a damaged block (when the fields need any byte at all).
    if (stream_bytes > 0) {
      EXPECT_EQ(read_channel_frame(band_table, payload + BAND_HEADER_BYTES, stream_bytes - 1,
                                   bits.data(), sf.data(), codes.data()),
                STATUS_FIELDS);
    }
  }
}

// A damaged header may hold 1 (never written by the encoder) or any count up to 15, against a
// stream too short for it: the reader stays inside the given bytes (the sanitizer build checks
// the exact-size heap buffer) and reports the truncation.
TEST(ChannelFrame, DamagedHeaderAgainstShortStream) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    BandBits bits;
    for (uint8_t& v : bits) v = static_cast<uint8_t>(rng() % 16);
    const int32_t needed = static_cast<int32_t>(expected_end_bit(bits) - BITSTREAM_START_BIT);
    const int32_t bytes = std::uniform_int_distribution<int32_t>(0, (needed + 7) / 8)(rng);
    std::vector<uint8_t> stream(static_cast<size_t>(bytes));
    for (uint8_t& b : stream) b = static_cast<uint8_t>(rng());
    ScaleFactors sf{};
    std::array<uint16_t, BINS> codes{};
    const int32_t r =
        read_channel_frame(band_table, stream.data(), bytes, bits.data(), sf.data(), codes.data());
    EXPECT_EQ(r, needed <= bytes * 8 ? needed : STATUS_FIELDS) << "round " << round;
  }
}

TEST(ChannelFrame, CountsAboveFifteenAreRefused) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  BandBits bits{};
  bits[5] = 16;
  ScaleFactors sf{};
  std::array<uint16_t, BINS> codes{};
  ChannelFrame frame;
  EXPECT_EQ(
      write_channel_frame(band_table, frame.bytes.data(), bits.data(), sf.data(), codes.data()), 0);
  EXPECT_EQ(frame.bytes, ChannelFrame{}.bytes);
  const std::array<uint8_t, 64> stream{};
  EXPECT_EQ(read_channel_frame(band_table, stream.data(), 64, bits.data(), sf.data(), codes.data()),
            STATUS_BAND_BITS);
}

// Other partitions may leave bands without bins: such a band at nonzero bits still carries its
// scale factor but no codes, on both sides alike.
TEST(ChannelFrame, EmptyBandsCarryNoCodes) {
  ASSERT_EQ(band_partition(128, HALF_RATE_HZ, band_table), STATUS_OK);
  ASSERT_EQ(band_width(band_table, 2), 0);
  BandBits bits{};
  bits[2] = 7;
  ScaleFactors sf{};
  sf[2] = 9;
  std::array<uint16_t, BINS> codes{};
  ChannelFrame frame;
  EXPECT_EQ(
      write_channel_frame(band_table, frame.bytes.data(), bits.data(), sf.data(), codes.data()),
      15);
  ScaleFactors back{};
  EXPECT_EQ(read_channel_frame(band_table, frame.bytes.data() + 16, 1, bits.data(), back.data(),
                               codes.data()),
            SCALE_FACTOR_BITS);
  EXPECT_EQ(back[2], 9);
}

// Codes wider than their band's field (any 16-bit value) go in as their low bits only, in bands
// of even and odd widths at every field width: the frame equals one built a bit at a time from
// the masked codes.
TEST(ChannelFrame, CodesWiderThanTheirFieldKeepTheirLowBits) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  std::mt19937 rng(4242);
  for (int bits = 2; bits <= 15; ++bits) {
    SCOPED_TRACE(testing::Message() << bits << " bits");
    BandBits band_bits{};
    ScaleFactors sf{};
    // Every other band, so both odd and even widths and both field alignments occur.
    for (int b = bits % 2; b < NUM_BANDS; b += 2) {
      band_bits[b] = static_cast<uint8_t>(bits);
      sf[b] = static_cast<int16_t>(static_cast<int>(rng() % 64) - 32);
    }
    std::array<uint16_t, BINS> codes{};
    for (uint16_t& c : codes) c = static_cast<uint16_t>(rng() | 0x8000u);
    ChannelFrame frame;
    const uint16_t length =
        write_channel_frame(band_table, frame.bytes.data(), band_bits.data(), sf.data(), codes.data());
    ASSERT_EQ(length, (expected_end_bit(band_bits) + 7) / 8 - 2);

    ChannelFrame expected;
    uint32_t pos = BITSTREAM_START_BIT;
    const auto put = [&](uint32_t value, int nbits) {
      for (int j = 0; j < nbits; ++j, ++pos) {
        expected.bytes[pos / 8] =
            static_cast<uint8_t>(expected.bytes[pos / 8] | ((value >> j) & 1u) << (pos % 8));
      }
    };
    for (int b = 0; b < NUM_BANDS; ++b) {
      if (band_bits[b] != 0) put(static_cast<uint32_t>(sf[b]) & 0x3Fu, SCALE_FACTOR_BITS);
    }
    for (int b = 0; b < NUM_BANDS; ++b) {
      if (band_bits[b] == 0) continue;
      for (int k = band_table.bands[b].first; k <= band_table.bands[b].last; ++k) {
        put(codes[k], band_bits[b]);
      }
    }
    pack_band_bits(band_bits.data(), expected.bytes.data() + 2);
    expected.bytes[0] = static_cast<uint8_t>(length & 0xFF);
    expected.bytes[1] = static_cast<uint8_t>(length >> 8);
    ASSERT_EQ(frame.bytes, expected.bytes);
  }
}

}  // namespace
}  // namespace tarn
