#include "coding/block_coder.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "coding/arith_coder.h"
#include "format/channel_frame.h"
#include "psycho/psycho_tables.h"
#include "reference_levels.h"
#include "transform/power_levels.h"

namespace tarn {
namespace {

// The band partition the test in progress codes with.
BandTable band_table;

constexpr int BINS = 256;
constexpr int HALF_RATE_HZ = 22050;
constexpr int K_256 = 200;

TEST(BlockCoder, QuantMaxFollowsItsFormula) {
  EXPECT_EQ(QUANT_MAX[0], 0);
  EXPECT_EQ(QUANT_MAX[1], 1);
  for (int n = 2; n <= 16; ++n) EXPECT_EQ(QUANT_MAX[n], (1 << (n - 1)) - 1) << "bits " << n;
  EXPECT_EQ(MAX_CODED_BINS, 527);
}

TEST(BlockCoder, AllocationBiasByBinCount) {
  constexpr std::array<std::array<int, 2>, 7> CASES = {
      {{128, 100}, {256, 200}, {512, 400}, {1024, 900}, {64, 150}, {300, 150}, {0, 150}}};
  for (const auto& c : CASES) EXPECT_EQ(allocation_bias(c[0]), c[1]) << "bins " << c[0];
}

TEST(BlockCoder, AllocationEstimateExamples) {
  struct Case {
    double smr_db;
    int width;
    double x;
  };
  constexpr Case CASES[] = {{0.0, 2, 0.78125}, {12.0, 2, 2.7588},   {30.0, 6, 5.6474},
                            {-3.0, 4, 0.2907}, {0.0, 256, 0.78125}, {50.0, 256, 0.78125}};
  for (const Case& c : CASES) {
    SCOPED_TRACE(testing::Message() << c.smr_db << " dB over " << c.width << " bins");
    // The examples are given to four decimals.
    EXPECT_NEAR(allocation_estimate(c.smr_db, c.width, BINS, K_256), c.x, 5e-5);
  }
}

// Bit-exact against the formula written with the library's logarithms, in the order written.
// Folding ln(10) / (20 ln(2)) into one constant changes the last bit for about a third of these.
TEST(BlockCoder, AllocationEstimateIsEvaluatedAsWritten) {
  std::mt19937 rng(9);
  // Random ratios, then ratios whose scaled terms are subnormal or near the largest double; for
  // the system's bin count and for others, powers of two or not.
  std::vector<double> ratios;
  for (int i = 0; i < 5000; ++i) {
    ratios.push_back(std::uniform_real_distribution<double>(-60.0, 120.0)(rng));
  }
  for (const double r : {1e-310, -3e-320, 4.9e-324, 1e300, -1.7e308, 0.0, -0.0}) {
    ratios.push_back(r);
  }
  for (const int bins : {BINS, 128, 1024, 250, 1}) {
    const int k = allocation_bias(bins);
    for (const double smr : ratios) {
      const int w = std::uniform_int_distribution<int>(1, 80)(rng);
      const double expected = std::log(10.0) * (smr - smr * w / bins) / (20.0 * std::log(2.0)) +
                              static_cast<double>(k) / bins;
      const double x = allocation_estimate(smr, w, bins, k);
      // The same bits (the sign of a zero included), or both not a number.
      ASSERT_TRUE(std::memcmp(&x, &expected, sizeof x) == 0 ||
                  (std::isnan(x) && std::isnan(expected)))
          << smr << " dB, " << w << " of " << bins;
    }
  }
}

// Levels and thresholds that give band b the ratio smr_db: every level smr_db + 20, every
// threshold 20 (all exact in binary).
void fill_band(int band, double smr_db, std::vector<double>& levels,
               std::vector<double>& thresholds) {
  int first = 0;
  int last = -1;
  band_edges(band_table, band, first, last);
  for (int k = first; k <= last; ++k) {
    levels[k] = smr_db + 20.0;
    thresholds[k] = 20.0;
  }
}

TEST(BlockCoder, AllocationExamples) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  struct Case {
    const char* name;
    int band;
    int width;
    double smr_db;
    int bits;  // before the encoder's clamp and its raise of 1 to 2
  };
  constexpr Case CASES[] = {
      {"two bins, 0 dB: x = 0.78125", 0, 2, 0.0, 1},
      {"one bin, 0 dB", 1, 1, 0.0, 0},
      {"two bins, 12 dB: x = 2.7588", 4, 2, 12.0, 3},
      {"six bins, 30 dB: x = 5.6474", 15, 6, 30.0, 5},
      {"four bins, -3 dB: x = 0.2907", 13, 4, -3.0, 0},
      {"one bin, 20 dB", 2, 1, 20.0, 1},
      {"one bin, -40 dB", 3, 1, -40.0, 0},
      {"76 bins, 110 dB: x = 13.628", 24, 76, 110.0, 13},
      {"76 bins, 120 dB: x = 14.796", 24, 76, 120.0, 15},
      {"76 bins, 150 dB: x = 18.299", 24, 76, 150.0, 18},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(band_width(band_table, c.band), c.width);
    std::vector<double> levels(BINS, 0.0);
    std::vector<double> thresholds(BINS, 0.0);
    fill_band(c.band, c.smr_db, levels, thresholds);
    EXPECT_EQ(band_smr(band_table, levels.data(), thresholds.data(), c.band), c.smr_db);
    EXPECT_EQ(allocate_band_bits(band_table, levels.data(), thresholds.data(), BINS, K_256, c.band),
              c.bits);
  }
}

TEST(BlockCoder, BandSmrIsLoudestLevelOverMostSensitiveThreshold) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  int first = 0;
  int last = -1;
  band_edges(band_table, 15, first, last);  // six bins
  std::vector<double> levels(BINS, 90.0);   // outside the band: ignored
  std::vector<double> thresholds(BINS, -50.0);
  const double band_levels[6] = {10, 42, 7, 30, 41.5, 0};
  const double band_thresholds[6] = {25, 12, 18, 11, 30, 19};
  for (int i = 0; i < 6; ++i) {
    levels[first + i] = band_levels[i];
    thresholds[first + i] = band_thresholds[i];
  }
  EXPECT_EQ(band_smr(band_table, levels.data(), thresholds.data(), 15), 42.0 - 11.0);
}

TEST(BlockCoder, AllocationRounding) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    double x;
    int width;
    int bits;
  };
  const Case CASES[] = {
      {"fraction exactly 0.7 rounds down", 0.7, 2, 0},
      {"fraction just above 0.7", std::nextafter(0.7, 1.0), 2, 1},
      {"3.7 has a fraction just above 0.7", 3.7, 5, 4},
      {"fraction 0.5 rounds down", 4.5, 3, 4},
      {"K / 256 alone", 0.78125, 2, 1},
      {"integer", 15.0, 9, 15},
      {"above the cap stays above 15", 16.9, 9, 17},
      {"zero", 0.0, 4, 0},
      {"negative", -0.25, 4, 0},
      {"not a number", nan, 4, 0},
      {"negative zero", -0.0, 4, 0},
      {"minus infinity", -inf, 4, 0},
      {"largest double", std::numeric_limits<double>::max(), 4, 1 << 20},
      {"infinite, wide band", inf, 4, 1 << 20},
      {"one bin below 1", std::nextafter(1.0, 0.0), 1, 0},
      {"one bin at 1", 1.0, 1, 1},
      {"one bin far above", 9.99, 1, 1},
      {"one bin not a number", nan, 1, 0},
      {"one bin negative zero", -0.0, 1, 0},
      {"one bin infinite", inf, 1, 1},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(allocation_to_bits(c.x, c.width), c.bits);
  }
}

TEST(BlockCoder, ScaleFactorExamples) {
  struct Case {
    double peak;
    int bits;
    int sf;
  };
  constexpr Case CASES[] = {{1.0, 2, 0},      {10.0, 2, 13},  {1000.0, 2, 31}, {0.001, 2, -32},
                            {0.0, 2, -32},    {7.0, 4, 0},    {6.99, 4, -1},   {14.0, 4, 4},
                            {16383.0, 15, 0}, {1.0, 15, -32}, {-1.0, 2, -32}};
  for (const Case& c : CASES) {
    SCOPED_TRACE(testing::Message() << "peak " << c.peak << " bits " << c.bits);
    EXPECT_EQ(choose_scale_factor(c.peak, c.bits), c.sf);
  }
}

// Against a search from the bottom: the largest sf with 2^(sf/4) <= peak / QUANT_MAX[bits].
TEST(BlockCoder, ScaleFactorIsTheLargestStepNotAboveTheRatio) {
  std::mt19937 rng(3);
  for (int i = 0; i < 2000; ++i) {
    const int bits = std::uniform_int_distribution<int>(2, 15)(rng);
    const double peak = std::pow(10.0, std::uniform_real_distribution<double>(-6.0, 6.0)(rng));
    int slow = -32;
    for (int s = -32; s <= 31; ++s) {
      if (std::pow(2.0, s * 0.25) <= peak / QUANT_MAX[bits]) slow = s;
    }
    EXPECT_EQ(choose_scale_factor(peak, bits), slow) << "peak " << peak << " bits " << bits;
  }
}

struct QuantCase {
  double value;
  int sf;
  int bits;
  uint32_t code;
};

constexpr QuantCase QUANT_CASES[] = {
    // 2 bits, step 1: codes cover -2 .. 1.
    {0.5, 0, 2, 0},
    {0.51, 0, 2, 1},
    {1.5, 0, 2, 1},
    {7.0, 0, 2, 1},
    {-0.5, 0, 2, 0},
    {-1.5, 0, 2, 3},
    {-1.51, 0, 2, 2},
    {-7.0, 0, 2, 2},
    // 4 bits, step 2.
    {5.0, 4, 4, 2},
    {5.2, 4, 4, 3},
    {-5.0, 4, 4, 14},
    // Halves go toward zero.
    {2.5, 0, 4, 2},
    {-2.5, 0, 4, 14},
    {2.5000001, 0, 4, 3},
    // Saturation at the top and bottom codes of 15 bits.
    {1e9, 0, 15, 16383},
    {-1e9, 0, 15, 0x4000},
    {16383.4, 0, 15, 16383},
    // 0 bits: no code.
    {123.0, 0, 0, 0},
};

TEST(BlockCoder, QuantiseTable) {
  for (const QuantCase& c : QUANT_CASES) {
    SCOPED_TRACE(testing::Message() << c.value << " sf " << c.sf << " bits " << c.bits);
    EXPECT_EQ(quantise(c.value, c.sf, c.bits), c.code);
  }
}

TEST(BlockCoder, DequantiseTable) {
  struct Case {
    uint32_t code;
    int sf;
    int bits;
    double value;
  };
  constexpr Case CASES[] = {
      {2, 0, 2, -2.0},
      {3, 0, 2, -1.0},
      {1, 0, 2, 1.0},
      {0, 0, 2, 0.0},
      {14, 4, 4, -4.0},
      {7, 4, 4, 14.0},
      {0x4000, 0, 15, -16384.0},
      {16383, -8, 15, 4095.75},
      {1, -32, 2, 1.0 / 256.0},
      {5, 0, 0, 0.0},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(testing::Message() << "code " << c.code << " sf " << c.sf << " bits " << c.bits);
    EXPECT_EQ(dequantise(c.code, c.sf, c.bits), c.value);
  }
}

// Inside the code range the reconstruction error is at most half a step.
TEST(BlockCoder, QuantiserErrorWithinHalfAStep) {
  std::mt19937 rng(5);
  for (int i = 0; i < 5000; ++i) {
    const int bits = std::uniform_int_distribution<int>(2, 15)(rng);
    const int sf = std::uniform_int_distribution<int>(-32, 31)(rng);
    const double step = std::pow(2.0, sf * 0.25);
    const double limit = (QUANT_MAX[bits] + 0.5) * step;
    const double v = std::uniform_real_distribution<double>(-limit, limit)(rng);
    const uint32_t code = quantise(v, sf, bits);
    ASSERT_LT(code, 1u << bits);
    EXPECT_LE(std::fabs(dequantise(code, sf, bits) - v), step * 0.5)
        << v << " sf " << sf << " bits " << bits;
  }
}

// A random block: coefficients over a wide range of magnitudes (a few bands silent), thresholds
// anywhere from 0 to 70 dB.
void random_block(std::mt19937& rng, std::vector<double>& coefficients,
                  std::vector<double>& thresholds) {
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::uniform_real_distribution<double> decades(-3.0, 2.5);
  std::uniform_real_distribution<double> threshold_db(0.0, 70.0);
  const int silent_band = std::uniform_int_distribution<int>(0, NUM_BANDS - 1)(rng);
  const double scale = std::pow(10.0, decades(rng));
  for (size_t k = 0; k < coefficients.size(); ++k) {
    coefficients[k] = gauss(rng) * scale * std::pow(10.0, decades(rng) * 0.5);
    thresholds[k] = threshold_db(rng);
  }
  int first = 0;
  int last = -1;
  band_edges(band_table, silent_band, first, last);
  for (int k = first; k <= last; ++k) coefficients[k] = 0.0;
}

// The decoder loop's path: payload through the arithmetic coder, header split off, block decoded.
struct Decoded {
  std::array<uint8_t, NUM_BANDS> band_bits{};
  std::array<int16_t, NUM_BANDS> scale_factors{};
  std::vector<double> coefficients;
};

Decoded encode_and_decode(const std::vector<double>& coefficients,
                          const std::vector<double>& thresholds) {
  const int bins = static_cast<int>(coefficients.size());
  Decoded d;
  ChannelFrame frame;
  const int length = encode_channel_block(band_table, coefficients.data(), thresholds.data(), bins,
                                          frame.bytes.data());
  EXPECT_GE(length, BAND_HEADER_BYTES);
  if (length < BAND_HEADER_BYTES) return d;
  std::array<uint8_t, CHANNEL_FRAME_BYTES> packed{};
  const int32_t packed_bytes =
      arith_compress(frame.bytes.data() + 2, packed.data(), length, CHANNEL_FRAME_BYTES);
  EXPECT_GT(packed_bytes, 0);
  std::array<uint8_t, CHANNEL_FRAME_BYTES> payload{};
  EXPECT_EQ(arith_decompress(packed.data(), payload.data(), packed_bytes, CHANNEL_FRAME_BYTES),
            length);
  unpack_band_bits(payload.data(), d.band_bits.data());
  std::vector<uint16_t> codes(static_cast<size_t>(bins));
  EXPECT_GE(
      read_channel_frame(band_table, payload.data() + BAND_HEADER_BYTES, length - BAND_HEADER_BYTES,
                         d.band_bits.data(), d.scale_factors.data(), codes.data()),
      0);
  d.coefficients.assign(static_cast<size_t>(bins), std::nan(""));  // must all be overwritten
  EXPECT_EQ(decode_channel_block(band_table, d.band_bits.data(), payload.data() + BAND_HEADER_BYTES,
                                 length - BAND_HEADER_BYTES, d.coefficients.data(), bins),
            STATUS_OK);
  return d;
}

// The whole path reproduces dequantise(quantise(c)) per bin, with the encoder's band bits being
// the clamped allocation and its scale factors those of the band peaks.
void check_round_trip(int bins, uint32_t seeds) {
  for (uint32_t seed = 1; seed <= seeds; ++seed) {
    SCOPED_TRACE(testing::Message() << "bins " << bins << " seed " << seed);
    std::mt19937 rng(seed);
    std::vector<double> coefficients(static_cast<size_t>(bins));
    std::vector<double> thresholds(static_cast<size_t>(bins));
    random_block(rng, coefficients, thresholds);
    const Decoded d = encode_and_decode(coefficients, thresholds);
    ASSERT_EQ(d.coefficients.size(), coefficients.size());

    std::vector<double> levels(static_cast<size_t>(bins));
    tarn_test::reference_coefficient_levels(coefficients.data(), bins, levels.data());
    for (int b = 0; b < NUM_BANDS; ++b) {
      int n = allocate_band_bits(band_table, levels.data(), thresholds.data(), bins,
                                 allocation_bias(bins), b);
      n = n > MAX_BAND_BITS ? MAX_BAND_BITS : (n == 1 ? 2 : n);
      ASSERT_EQ(d.band_bits[b], n) << "band " << b;
      int first = 0;
      int last = -1;
      band_edges(band_table, b, first, last);
      double peak = 0.0;
      for (int k = first; k <= last; ++k) peak = std::max(peak, std::fabs(coefficients[k]));
      if (n != 0) {
        ASSERT_EQ(d.scale_factors[b], choose_scale_factor(peak, n)) << "band " << b;
      }
      for (int k = first; k <= last; ++k) {
        const double expected = n == 0
                                    ? 0.0
                                    : dequantise(quantise(coefficients[k], d.scale_factors[b], n),
                                                 d.scale_factors[b], n);
        ASSERT_EQ(d.coefficients[k], expected) << "bin " << k;
      }
    }
  }
}

TEST(BlockCoder, EncodeDecodeRoundTrip) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  check_round_trip(BINS, 300);
}

// 128 bins leave bands 2 and 5 without bins: they get 0 bits on both sides.
TEST(BlockCoder, EncodeDecodeRoundTripWithEmptyBands) {
  ASSERT_EQ(band_partition(128, HALF_RATE_HZ, band_table), STATUS_OK);
  ASSERT_EQ(band_width(band_table, 2), 0);
  check_round_trip(128, 50);
}

// Level 20 dB over the threshold in a one-bin band gives 1 bit, which the encoder raises to 2.
TEST(BlockCoder, OneBinBandIsRaisedToTwoBits) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  ASSERT_EQ(band_width(band_table, 1), 1);
  std::vector<double> coefficients(BINS, 0.0);
  std::vector<double> thresholds(BINS, 200.0);  // every other band far below its threshold
  coefficients[2] = 3.0;                        // band 1 is bin 2
  std::vector<double> levels(BINS);
  tarn_test::reference_coefficient_levels(coefficients.data(), BINS, levels.data());
  thresholds[2] = levels[2] - 20.0;
  ChannelFrame frame;
  // One scale factor and one 2-bit code: 8 bits behind the header.
  ASSERT_EQ(encode_channel_block(band_table, coefficients.data(), thresholds.data(), BINS,
                                 frame.bytes.data()),
            15);
  EXPECT_EQ(frame.bytes[2], 0x20);  // band 0: 0 bits, band 1: 2 bits
  const Decoded d = encode_and_decode(coefficients, thresholds);
  EXPECT_EQ(d.band_bits[1], 2);
  EXPECT_EQ(d.coefficients[2], dequantise(1, d.scale_factors[1], 2));
}

TEST(BlockCoder, RefusesBinCountsTheFrameOrTableCannotTake) {
  std::vector<double> coefficients(1024, 1.0);
  std::vector<double> thresholds(1024, 0.0);
  uint8_t band_bits[NUM_BANDS] = {};
  const uint8_t stream[4] = {};
  struct Case {
    const char* name;
    int table_bins;
    int bins;
  };
  constexpr Case CASES[] = {{"table for another count", 256, 128},
                            {"worst case beyond the frame", 1024, 1024},
                            {"zero bins", 256, 0},
                            {"negative", 256, -4}};
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    ASSERT_GE(band_partition(c.table_bins, HALF_RATE_HZ, band_table), STATUS_OK);
    ChannelFrame frame;
    EXPECT_EQ(encode_channel_block(band_table, coefficients.data(), thresholds.data(), c.bins,
                                   frame.bytes.data()),
              STATUS_SIZE);
    EXPECT_EQ(frame.bytes, ChannelFrame{}.bytes);
    EXPECT_EQ(decode_channel_block(band_table, band_bits, stream, 4, coefficients.data(), c.bins),
              STATUS_SIZE);
  }
}

// Bands at 0 bits and bins outside every band decode to exact zeros whatever the buffer held.
TEST(BlockCoder, UncodedBandsDecodeToZeros) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  uint8_t band_bits[NUM_BANDS] = {};
  band_bits[0] = 2;
  const uint8_t stream[2] = {0x7D, 0x02};  // sf -3, codes 1 and 2
  std::vector<double> coefficients(BINS, std::nan(""));
  ASSERT_EQ(decode_channel_block(band_table, band_bits, stream, 2, coefficients.data(), BINS),
            STATUS_OK);
  const double step = std::pow(2.0, -0.75);
  EXPECT_EQ(coefficients[0], step);
  EXPECT_EQ(coefficients[1], -2.0 * step);
  for (int k = 2; k < BINS; ++k) EXPECT_EQ(coefficients[k], 0.0) << "bin " << k;
}

// A damaged block: a header whose fields need more bits than the stream holds, or a count above
// 15, fails without reading outside the stream and leaves silence.
TEST(BlockCoder, DamagedBlocksDecodeAsSilence) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  std::mt19937 rng(13);
  for (int round = 0; round < 100; ++round) {
    uint8_t band_bits[NUM_BANDS];
    for (uint8_t& v : band_bits) v = static_cast<uint8_t>(rng() % 16);
    band_bits[24] = 1;  // never written by the encoder, possible in a damaged header
    const int32_t bytes = std::uniform_int_distribution<int32_t>(0, 120)(rng);
    std::vector<uint8_t> stream(static_cast<size_t>(bytes), 0xA5);
    std::vector<double> coefficients(BINS, std::nan(""));
    EXPECT_EQ(decode_channel_block(band_table, band_bits, stream.data(), bytes, coefficients.data(),
                                   BINS),
              STATUS_FIELDS);
    for (int k = 0; k < BINS; ++k) ASSERT_EQ(coefficients[k], 0.0) << "bin " << k;
  }
  uint8_t band_bits[NUM_BANDS] = {};
  band_bits[7] = 16;
  const uint8_t stream[8] = {};
  std::vector<double> coefficients(BINS, 1.0);
  EXPECT_EQ(decode_channel_block(band_table, band_bits, stream, 8, coefficients.data(), BINS),
            STATUS_BAND_BITS);
  EXPECT_EQ(coefficients[0], 0.0);
}

// Flipped bytes in a compressed block, run through the decoder loop's steps: every stage stops
// with a result inside its buffers (the sanitizer build checks the accesses).
TEST(BlockCoder, FlippedCompressedBlocksStayInBounds) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  int decoded_blocks = 0;
  for (uint32_t seed = 1; seed <= 30; ++seed) {
    std::mt19937 rng(seed);
    std::vector<double> coefficients(BINS);
    std::vector<double> thresholds(BINS);
    random_block(rng, coefficients, thresholds);
    ChannelFrame frame;
    const int length = encode_channel_block(band_table, coefficients.data(), thresholds.data(),
                                            BINS, frame.bytes.data());
    ASSERT_GE(length, BAND_HEADER_BYTES);
    std::array<uint8_t, CHANNEL_FRAME_BYTES> packed{};
    const int32_t packed_bytes =
        arith_compress(frame.bytes.data() + 2, packed.data(), length, CHANNEL_FRAME_BYTES);
    ASSERT_GT(packed_bytes, 0);
    for (int flip = 0; flip < 40; ++flip) {
      std::vector<uint8_t> bad(packed.begin(), packed.begin() + packed_bytes);
      bad[rng() % bad.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      std::vector<uint8_t> payload(CHANNEL_FRAME_BYTES);
      const int32_t n = arith_decompress(bad.data(), payload.data(),
                                         static_cast<int32_t>(bad.size()), CHANNEL_FRAME_BYTES);
      // Shorter than the header: no frame to decode.
      if (n < BAND_HEADER_BYTES) continue;
      payload.resize(static_cast<size_t>(n));  // exact size: any overread is caught
      uint8_t band_bits[NUM_BANDS];
      unpack_band_bits(payload.data(), band_bits);
      std::vector<double> out(BINS);
      const int r = decode_channel_block(band_table, band_bits, payload.data() + BAND_HEADER_BYTES,
                                         n - BAND_HEADER_BYTES, out.data(), BINS);
      EXPECT_TRUE(r == STATUS_OK || r == STATUS_FIELDS) << r;
      decoded_blocks += 1;
    }
  }
  EXPECT_GT(decoded_blocks, 0);
}

}  // namespace
}  // namespace tarn
