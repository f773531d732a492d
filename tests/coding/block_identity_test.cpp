// The block coder against its direct form (slow_block_coder.h),
// frame for frame and coefficient for coefficient: real blocks with their masking thresholds,
// random ones, and blocks whose signal-to-mask ratios sit on the rounding edges of the bit
// allocation, where the approximate largest level cannot decide and the exact one must.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "coding/block_coder.h"
#include "coding/channel_frame.h"
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
  if (psycho_init(tables, BINS, 22050) != PSYCHO_OK) return {};
  if (masking_work_init(masking, tables) != MASKING_OK) return {};
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

// Encodes with both coders and compares the frames; then decodes the frame with both decoders
// (whole, and cut short) and compares the coefficients.
void expect_same_coding(const Block& b) {
  ChannelFrame fast;
  ChannelFrame slow;
  const int fast_length = encode_channel_block(band_table, b.coefficients.data(),
                                               b.thresholds.data(), BINS, fast.bytes.data());
  const int slow_length = slow_encode_channel_block(band_table, b.coefficients.data(),
                                                    b.thresholds.data(), BINS, slow.bytes.data());
  ASSERT_EQ(fast_length, slow_length);
  ASSERT_EQ(fast.bytes, slow.bytes);

  uint8_t band_bits[NUM_BANDS];
  unpack_band_bits(fast.bytes.data() + 2, band_bits);
  const uint8_t* stream = fast.bytes.data() + 2 + BAND_HEADER_BYTES;
  const int32_t stream_bytes = fast_length - BAND_HEADER_BYTES;
  for (int32_t cut : {stream_bytes, stream_bytes / 2, 1}) {
    std::vector<double> fast_c(BINS, -1.0), slow_c(BINS, -1.0);
    const int fast_status =
        decode_channel_block(band_table, band_bits, stream, cut, fast_c.data(), BINS);
    const int slow_status =
        slow_decode_channel_block(band_table, band_bits, stream, cut, slow_c.data(), BINS);
    ASSERT_EQ(fast_status, slow_status) << "cut to " << cut << " bytes";
    ASSERT_EQ(tarn_test::first_difference(fast_c.data(), slow_c.data(), BINS), -1)
        << "cut to " << cut << " bytes";
  }
}

TEST(BlockIdentity, RealBlocksCodeAsTheDirectFormulas) {
  std::vector<double> hann(512);
  hann_window(hann.data(), 512);
  ASSERT_EQ(band_partition(BINS, 22050, band_table), PSYCHO_OK);
  const std::vector<Block> blocks = real_blocks(400);
  ASSERT_EQ(blocks.size(), 400u);
  int i = 0;
  for (const Block& b : blocks) {
    SCOPED_TRACE(testing::Message() << "block " << i++);
    expect_same_coding(b);
  }
}

TEST(BlockIdentity, RandomBlocksCodeAsTheDirectFormulas) {
  ASSERT_EQ(band_partition(BINS, 22050, band_table), PSYCHO_OK);
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
  ASSERT_EQ(band_partition(BINS, 22050, band_table), PSYCHO_OK);
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
  ASSERT_EQ(band_partition(BINS, 22050, band_table), PSYCHO_OK);
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
      if (fast == FRAME_ERR_BAND_BITS) continue;
      for (int b = 0; b < NUM_BANDS; ++b) ASSERT_EQ(fast_sf[b], slow_sf[b]) << "band " << b;
      ASSERT_EQ(fast_codes, slow_codes);
      std::vector<double> fast_c(BINS, -1.0), slow_c(BINS, -1.0);
      ASSERT_EQ(
          decode_channel_block(band_table, band_bits, stream.data(), cut, fast_c.data(), BINS),
          slow_decode_channel_block(band_table, band_bits, stream.data(), cut, slow_c.data(),
                                    BINS));
      ASSERT_EQ(tarn_test::first_difference(fast_c.data(), slow_c.data(), BINS), -1);
    }
  }
}

}  // namespace
}  // namespace tarn
