// The block coder against its direct form (slow_block_coder.h),
// frame for frame and coefficient for coefficient: real blocks with their masking thresholds,
// random ones, and blocks whose signal-to-mask ratios sit on the rounding edges of the bit
// allocation, where the approximate largest level cannot decide and the exact one must.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "coding/block_coder.h"
#include "format/channel_frame.h"
#include "identity_support.h"
#include "psycho/masking.h"
#include "psycho/psycho_tables.h"
#include "slow_block_coder.h"
#include "transform/mdct.h"
#include "transform/power_levels.h"
#include "transform/window.h"

namespace tarn {
namespace {

// The band partition the test in progress codes with.
BandTable band_table;

using namespace slow;

constexpr int BINS = 256;

struct Block {
  std::vector<double> coefficients;
  std::vector<double> thresholds;
};

// MDCT coefficients and masking thresholds of music-like frames, as the encoder makes them.
std::vector<Block> real_blocks(int count) {
  std::vector<double> kbd(512), hann(512);
  build_coding_window(kbd.data(), 512, WINDOW_KBD);
  hann_window(hann.data(), 512);
  MdctScratch mdct;
  SpectrumScratch spectrum;
  PsychoTables tables;
  MaskingWork masking;
  if (psycho_init(tables, BINS, 22050) != STATUS_OK) return {};
  if (masking_work_init(masking, tables) != STATUS_OK) return {};
  if (mdct_init(mdct, 512) != STATUS_OK || spectrum_init(spectrum, 512) != STATUS_OK) return {};
  std::vector<Block> blocks;
  for (int i = 0; i < count; ++i) {
    const std::vector<double> x = tarn_test::music_frame(i % 2, 5 * i, 512);
    Block b{std::vector<double>(BINS), std::vector<double>(BINS)};
    mdct_windowed(mdct, x.data(), kbd.data(), b.coefficients.data(), 512);
    std::vector<double> re(BINS), im(BINS);
    windowed_spectrum(spectrum, x.data(), hann.data(), re.data(), im.data(), 512);
    masking_threshold(tables, masking, re.data(), im.data(), BINS, b.thresholds.data());
    blocks.push_back(std::move(b));
  }
  return blocks;
}

// Decodes a stream with the direct decoder and with the fast one through every kernel table:
// the same result and the same coefficients.
void expect_same_decoding(const uint8_t band_bits[NUM_BANDS], const uint8_t* stream,
                          int32_t bytes) {
  std::vector<double> slow_c(BINS, -1.0);
  const int slow_status =
      slow_decode_channel_block(band_table, band_bits, stream, bytes, slow_c.data(), BINS);
  for (const KernelTable* kernels : tarn_test::usable_kernel_tables()) {
    SCOPED_TRACE(testing::Message() << kernels->name << " kernels, " << bytes << " bytes");
    std::vector<double> fast_c(BINS, -1.0);
    ASSERT_EQ(decode_channel_block(*kernels, band_table, band_bits, stream, bytes, fast_c.data(),
                                   BINS),
              slow_status);
    ASSERT_EQ(tarn_test::first_difference(fast_c.data(), slow_c.data(), BINS), -1);
  }
}

// Encodes with both coders, the fast one with every kernel table the CPU runs, and compares the
// frames; then decodes the frame with both decoders (whole, and cut short) and compares the
// coefficients.
void expect_same_coding(const Block& b) {
  ChannelFrame fast;
  ChannelFrame slow;
  const int slow_length = slow_encode_channel_block(band_table, b.coefficients.data(),
                                                    b.thresholds.data(), BINS, slow.bytes.data());
  int fast_length = 0;
  for (const KernelTable* kernels : tarn_test::usable_kernel_tables()) {
    SCOPED_TRACE(testing::Message() << kernels->name << " kernels");
    fast = ChannelFrame{};
    fast_length = encode_channel_block(*kernels, band_table, b.coefficients.data(),
                                       b.thresholds.data(), BINS, fast.bytes.data());
    ASSERT_EQ(fast_length, slow_length);
    ASSERT_EQ(fast.bytes, slow.bytes);
  }

  uint8_t band_bits[NUM_BANDS];
  unpack_band_bits(fast.bytes.data() + 2, band_bits);
  const uint8_t* stream = fast.bytes.data() + 2 + BAND_HEADER_BYTES;
  const int32_t stream_bytes = fast_length - BAND_HEADER_BYTES;
  for (int32_t cut : {stream_bytes, stream_bytes / 2, 1}) {
    expect_same_decoding(band_bits, stream, cut);
  }
}

TEST(BlockIdentity, RealBlocksCodeAsTheDirectFormulas) {
  std::vector<double> hann(512);
  hann_window(hann.data(), 512);
  ASSERT_EQ(band_partition(BINS, 22050, band_table), STATUS_OK);
  const std::vector<Block> blocks = real_blocks(400);
  ASSERT_EQ(blocks.size(), 400u);
  int i = 0;
  for (const Block& b : blocks) {
    SCOPED_TRACE(testing::Message() << "block " << i++);
    expect_same_coding(b);
  }
}

TEST(BlockIdentity, RandomBlocksCodeAsTheDirectFormulas) {
  ASSERT_EQ(band_partition(BINS, 22050, band_table), STATUS_OK);
  std::mt19937 gen(13579);
  for (int i = 0; i < 400; ++i) {
    SCOPED_TRACE(testing::Message() << "block " << i);
    Block b{std::vector<double>(BINS), std::vector<double>(BINS)};
    // Coefficient scales from silence to far beyond full scale, some bands zero; thresholds
    // from 0 to 100 dB.
    const double scale = std::pow(10.0, static_cast<double>(gen() % 14) - 8.0);
    for (int k = 0; k < BINS; ++k) {
      b.coefficients[k] = (k * 7 + i) % 11 == 0 ? 0.0 : scale * (gen() / 2147483648.0 - 1.0);
      b.thresholds[k] = (gen() % 1000) * 0.1;
    }
    expect_same_coding(b);
  }
}

// For each band, thresholds that put its ratio a few units in the last place either side of
// each rounding edge of the allocation: x = n (floor changes) and x = n + 0.7 (the upward
// rounding starts) for several n, and x = 1 for the one-bin bands.
TEST(BlockIdentity, RatiosOnTheRoundingEdgesCodeAsTheDirectFormulas) {
  ASSERT_EQ(band_partition(BINS, 22050, band_table), STATUS_OK);
  constexpr double LN_10 = 2.302585092994045684;
  constexpr double LN_2 = 0.6931471805599453094;
  const int k_bias = allocation_bias(BINS);
  std::vector<Block> blocks = real_blocks(6);
  int edges_crossed = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    Block& b = blocks[i];
    std::vector<double> levels(BINS);
    slow_coefficient_levels(b.coefficients.data(), BINS, levels.data());
    for (int band = 0; band < NUM_BANDS; ++band) {
      const BandEntry e = band_table.bands[band];
      const int w = e.last - e.first + 1;
      double loudest = levels[e.first];
      for (int k = e.first; k <= e.last; ++k) loudest = std::max(loudest, levels[k]);
      for (double edge : {1.0, 2.0, 3.7, 5.0, 6.7, 9.7}) {
        // smr with estimate(smr) = edge, then thresholds stepping across it.
        const double smr = (edge - static_cast<double>(k_bias) / BINS) * (20.0 * LN_2) /
                           (LN_10 * (1.0 - static_cast<double>(w) / BINS));
        double t = loudest - smr;
        for (int j = 0; j < 8; ++j) t = std::nextafter(t, 1e9);
        int previous = -1;
        for (int j = 0; j < 16; ++j, t = std::nextafter(t, -1e9)) {
          SCOPED_TRACE(testing::Message() << "block " << i << " band " << band << " edge " << edge
                                          << " step " << j);
          std::vector<double> thresholds = b.thresholds;
          for (int k = e.first; k <= e.last; ++k) thresholds[k] = t;
          expect_same_coding(Block{b.coefficients, thresholds});
          const int bits =
              allocate_band_bits(band_table, levels.data(), thresholds.data(), BINS, k_bias, band);
          if (previous != -1 && bits != previous) ++edges_crossed;
          previous = bits;
        }
      }
    }
  }
  // The steps do cross the edges, so the undecided cases were met.
  EXPECT_GT(edges_crossed, 100);
}

// The frame reader and the block decoder against the bit-by-bit reader and the direct
// dequantisation, on random band bit counts and random streams cut to every length: the same
// scale factors, codes, coefficients and results, complete or truncated.
TEST(BlockIdentity, FrameReaderAndDecoderMatchTheDirectOnes) {
  ASSERT_EQ(band_partition(BINS, 22050, band_table), STATUS_OK);
  std::mt19937 gen(24680);
  for (int round = 0; round < 40; ++round) {
    uint8_t band_bits[NUM_BANDS];
    // 0, 2 .. 15 as the encoder writes them, and 1 as only a damaged header holds it.
    for (uint8_t& bits : band_bits) bits = static_cast<uint8_t>(gen() % 3 == 0 ? 0 : 1 + gen() % 15);
    if (round % 10 == 9) band_bits[gen() % NUM_BANDS] = 16;  // a damaged header
    std::vector<uint8_t> stream(520);
    for (uint8_t& byte : stream) byte = static_cast<uint8_t>(gen());
    for (int32_t cut = 0; cut <= static_cast<int32_t>(stream.size()); cut += 1 + cut / 16) {
      SCOPED_TRACE(testing::Message() << "round " << round << ", " << cut << " bytes");
      int16_t fast_sf[NUM_BANDS], slow_sf[NUM_BANDS];
      std::vector<uint16_t> fast_codes(BINS, 0xEEEE), slow_codes(BINS, 0xEEEE);
      const int32_t fast =
          read_channel_frame(band_table, stream.data(), cut, band_bits, fast_sf, fast_codes.data());
      const int32_t slow = slow_read_channel_frame(band_table, stream.data(), cut, band_bits,
                                                   slow_sf, slow_codes.data());
      ASSERT_EQ(fast, slow);
      if (fast == STATUS_BAND_BITS) continue;
      for (int b = 0; b < NUM_BANDS; ++b) ASSERT_EQ(fast_sf[b], slow_sf[b]) << "band " << b;
      ASSERT_EQ(fast_codes, slow_codes);
      expect_same_decoding(band_bits, stream.data(), cut);
    }
  }
}

// Coefficients the arithmetic of the quantiser and the allocation must treat as the direct
// formulas do, placed at every lane position of the two-value steps and in the bands' last,
// unpaired bins: not-a-number, infinities, signed zeros, values beyond every clamp, values
// below the floor, and exact halves of the quantiser step (which round toward zero); and
// thresholds that are not numbers or signed zeros.
TEST(BlockIdentity, SpecialValuesCodeAsTheDirectFormulas) {
  ASSERT_EQ(band_partition(BINS, 22050, band_table), STATUS_OK);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    double value;      // placed at every stride-th bin from offset
    double threshold;  // that bin's threshold
  };
  const Case cases[] = {
      {"not a number", nan, 30.0},     {"+infinity", inf, 30.0},
      {"-infinity", -inf, 30.0},       {"-0.0", -0.0, 30.0},
      {"beyond the clamp", 3e9, 30.0}, {"below it", -3e9, 30.0},
      {"2^53", 9007199254740992.0, 30.0},
      {"below the floor", 1e-300, 30.0},
      {"threshold not a number", 40.0, nan},
      {"threshold -0.0", 40.0, -0.0},  {"threshold +0.0", 40.0, 0.0},
  };
  const std::vector<Block> music = real_blocks(2);
  ASSERT_EQ(music.size(), 2u);
  for (const Case& c : cases) {
    for (int stride : {1, 2, 3, 7}) {
      for (int offset = 0; offset < std::min(stride, 2); ++offset) {
        SCOPED_TRACE(testing::Message() << c.name << ", every " << stride << " from " << offset);
        Block b = music[(stride + offset) % 2];
        for (int k = offset; k < BINS; k += stride) {
          b.coefficients[k] = c.value;
          b.thresholds[k] = c.threshold;
        }
        expect_same_coding(b);
      }
    }
  }
}

// Streams exactly as long as their fields (in buffers of that size, so a sanitizer sees any
// read past them), one byte shorter, and in the sizes around the eight-byte words: the reader
// and the decoder against the direct ones.
TEST(BlockIdentity, StreamsEndingAtTheirLastFieldReadAsTheDirectOnes) {
  ASSERT_EQ(band_partition(BINS, 22050, band_table), STATUS_OK);
  struct Case {
    const char* name;
    int low_band;   // bands low_band .. high_band get bits, the rest 0
    int high_band;
    int bits;       // 0: a pattern of 2 .. 15 by band
  };
  const Case cases[] = {
      {"one narrow band at 2 bits", 0, 0, 2},  {"one narrow band at 15 bits", 3, 3, 15},
      {"the top band at 3 bits", 24, 24, 3},   {"every band at 2 bits", 0, 24, 2},
      {"every band at 15 bits", 0, 24, 15},    {"low bands at mixed bits", 0, 12, 0},
      {"high bands at mixed bits", 13, 24, 0}, {"every band at mixed bits", 0, 24, 0},
  };
  std::mt19937 gen(97531);
  for (const Case& c : cases) {
    uint8_t band_bits[NUM_BANDS] = {};
    uint32_t needed = 0;
    for (int b = c.low_band; b <= c.high_band; ++b) {
      band_bits[b] = static_cast<uint8_t>(c.bits != 0 ? c.bits : 2 + (b * 5) % 14);
      needed += SCALE_FACTOR_BITS + band_bits[b] * static_cast<uint32_t>(band_width(band_table, b));
    }
    const int32_t whole = static_cast<int32_t>((needed + 7) / 8);
    for (int32_t bytes : {whole, whole - 1, whole + 1, whole + 7, whole + 8, whole + 9}) {
      if (bytes < 0) continue;
      SCOPED_TRACE(testing::Message() << c.name << ", " << bytes << " bytes for " << needed
                                      << " bits");
      std::vector<uint8_t> stream(static_cast<size_t>(bytes));
      for (uint8_t& byte : stream) byte = static_cast<uint8_t>(gen());
      int16_t fast_sf[NUM_BANDS], slow_sf[NUM_BANDS];
      std::vector<uint16_t> fast_codes(BINS, 0xEEEE), slow_codes(BINS, 0xEEEE);
      const int32_t fast =
          read_channel_frame(band_table, stream.data(), bytes, band_bits, fast_sf, fast_codes.data());
      ASSERT_EQ(fast, slow_read_channel_frame(band_table, stream.data(), bytes, band_bits, slow_sf,
                                              slow_codes.data()));
      EXPECT_EQ(fast, bytes * 8 >= static_cast<int32_t>(needed) ? static_cast<int32_t>(needed)
                                                              : STATUS_FIELDS);
      for (int b = 0; b < NUM_BANDS; ++b) ASSERT_EQ(fast_sf[b], slow_sf[b]) << "band " << b;
      ASSERT_EQ(fast_codes, slow_codes);
      expect_same_decoding(band_bits, stream.data(), bytes);
    }
  }
}

// Coefficients that are exact odd multiples of half their band's quantiser step (ties, which
// round toward zero), of both signs, in every band: the bands' bit counts and scale factors come
// from a first encoding, and keeping each band's largest magnitude (and the thresholds) keeps
// them.
TEST(BlockIdentity, TiesOfTheQuantiserCodeAsTheDirectFormulas) {
  ASSERT_EQ(band_partition(BINS, 22050, band_table), STATUS_OK);
  int ties = 0;
  for (uint32_t i = 0; i < 8; ++i) {
    SCOPED_TRACE(testing::Message() << "block " << i);
    // Loud random coefficients over low thresholds: every band coded, most with many bits.
    Block b{tarn_test::random_frame(BINS, 8642 + i, 1 << (2 * i)),
            std::vector<double>(BINS, 10.0 * i)};
    ChannelFrame first;
    const int length = encode_channel_block(band_table, b.coefficients.data(),
                                            b.thresholds.data(), BINS, first.bytes.data());
    ASSERT_GT(length, 0);
    uint8_t band_bits[NUM_BANDS];
    unpack_band_bits(first.bytes.data() + 2, band_bits);
    int16_t sf[NUM_BANDS];
    std::vector<uint16_t> codes(BINS);
    ASSERT_GE(read_channel_frame(band_table, first.bytes.data() + 16, length - BAND_HEADER_BYTES,
                                 band_bits, sf, codes.data()),
              0);
    for (int band = 0; band < NUM_BANDS; ++band) {
      const BandEntry e = band_table.bands[band];
      if (band_bits[band] == 0) continue;
      int loudest = e.first;
      for (int k = e.first; k <= e.last; ++k) {
        if (std::fabs(b.coefficients[k]) > std::fabs(b.coefficients[loudest])) loudest = k;
      }
      const double step = slow_step(sf[band]);
      for (int k = e.first; k <= e.last; ++k) {
        if (k == loudest) continue;
        // Exact products: half of any step, and 1.5 or 2.5 of a power of two.
        const double tie = (sf[band] % 4 == 0 ? k % 3 + 0.5 : 0.5) * step;
        if (tie >= std::fabs(b.coefficients[loudest])) continue;
        b.coefficients[k] = k % 2 == 0 ? tie : -tie;
        ++ties;
      }
    }
    expect_same_coding(b);
  }
  EXPECT_GT(ties, 500);
}

}  // namespace
}  // namespace tarn
