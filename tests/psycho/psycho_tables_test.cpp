#include "psycho/psycho_tables.h"

#include "psycho/fail_alloc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace tarn::test {
int fail_nothrow_array_new_at = 0;
}  // namespace tarn::test

// Replaces the program's nothrow array new (see fail_alloc.h). Unarmed it forwards to the
// ordinary array new, so every allocation still pairs with the ordinary delete[].
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  int& armed = tarn::test::fail_nothrow_array_new_at;
  if (armed > 0 && --armed == 0) return nullptr;
  return ::operator new[](size);
}

namespace tarn {
namespace {

constexpr int SYSTEM_BINS = 256;
constexpr int SYSTEM_HALF_RATE = 22050;

struct BinCase {
  int bin;
  double bark;           // Bark, to 6 decimals
  double abs_threshold;  // dB, to 4 decimals
};
// clang-format off
constexpr BinCase SYSTEM_BIN_CASES[] = {
    {0,   0.0,      75.0},
    {1,   0.850241, 12.9335},
    {2,   1.694205,  7.4229},
    {3,   2.525051,  5.3607},
    {4,   3.336612,  4.2514},
    {39, -1.0,      -2.4891},  // bark not stated; the lowest threshold of all bins
    {228, -1.0,     74.5357},  // the last bin under the cap
};
// clang-format on

// (first, last) of bands 0 .. 24 for 256 bins at 22050 Hz.
// clang-format off
constexpr BandEntry SYSTEM_BANDS[NUM_BANDS] = {
    {0, 1},     {2, 2},     {3, 3},     {4, 4},     {5, 6},       // bands  0 ..  4
    {7, 7},     {8, 9},     {10, 10},   {11, 12},   {13, 14},     // bands  5 ..  9
    {15, 16},   {17, 19},   {20, 22},   {23, 26},   {27, 31},     // bands 10 .. 14
    {32, 37},   {38, 44},   {45, 52},   {53, 62},   {63, 74},     // bands 15 .. 19
    {75, 88},   {89, 106},  {107, 132}, {133, 179}, {180, 255},   // bands 20 .. 24
};
// clang-format on

// The table under test, through the band queries the coders use.
void expect_bands(const BandTable& table, const BandEntry* expected, int count) {
  for (int b = 0; b < count; ++b) {
    SCOPED_TRACE(testing::Message() << "band " << b);
    int first = -7, last = -7;
    band_edges(table, b, first, last);
    EXPECT_EQ(first, expected[b].first);
    EXPECT_EQ(last, expected[b].last);
    EXPECT_EQ(band_width(table, b), expected[b].last - expected[b].first + 1);
  }
}

int width(const BandTable& table, int b) {
  return table.bands[b].last - table.bands[b].first + 1;
}

// Every non-empty band b holds exactly bins with b <= bark < b + 1, and the bands follow each
// other without gap or overlap.
void expect_bands_follow_bark(const PsychoTables& t, int n) {
  int next = 0;
  for (int b = 0; b < NUM_BANDS; ++b) {
    SCOPED_TRACE(testing::Message() << "band " << b);
    const BandEntry e = t.band_table.bands[b];
    if (e.last < e.first) continue;
    EXPECT_EQ(e.first, next);
    for (int k = e.first; k <= e.last; ++k) {
      EXPECT_LT(t.bark[k], b + 1.0) << "bin " << k;
      if (b > 0) {
        EXPECT_GE(t.bark[k], static_cast<double>(b)) << "bin " << k;
      }
    }
    next = e.last + 1;
  }
  EXPECT_LE(next, n);
}

bool arrays_released(const PsychoTables& t) {
  return !t.bark && !t.abs_threshold && !t.spreading && !t.row && !t.reach;
}

TEST(PsychoTables, BarkAndThresholdInQuietAtSystemParameters) {
  PsychoTables t;
  ASSERT_EQ(psycho_init(t, SYSTEM_BINS, SYSTEM_HALF_RATE), STATUS_OK);
  for (const BinCase& c : SYSTEM_BIN_CASES) {
    SCOPED_TRACE(testing::Message() << "bin " << c.bin);
    if (c.bark >= 0.0) {
      EXPECT_NEAR(t.bark[c.bin], c.bark, 5e-7);
    }
    EXPECT_NEAR(t.abs_threshold[c.bin], c.abs_threshold, 5e-5);
  }
  EXPECT_EQ(t.bark[0], 0.0);
  EXPECT_EQ(t.abs_threshold[0], 75.0);  // the infinite term at 0 Hz is capped
  EXPECT_NEAR(t.bark[255], 24.734, 5e-4);
  psycho_free(t);
}

TEST(PsychoTables, ThresholdMinimumAndCap) {
  PsychoTables t;
  ASSERT_EQ(psycho_init(t, SYSTEM_BINS, SYSTEM_HALF_RATE), STATUS_OK);
  int lowest = 0;
  for (int k = 1; k < SYSTEM_BINS; ++k) {
    if (t.abs_threshold[k] < t.abs_threshold[lowest]) lowest = k;
  }
  EXPECT_EQ(lowest, 39);
  for (int k = 1; k <= 228; ++k) EXPECT_LT(t.abs_threshold[k], 75.0) << "bin " << k;
  for (int k = 229; k < SYSTEM_BINS; ++k) {
    EXPECT_EQ(t.abs_threshold[k], 75.0) << "bin " << k;
  }
  psycho_free(t);
}

TEST(PsychoTables, SystemBandTable) {
  PsychoTables t;
  // The encoder's call and the decoder's, from a header with 256 bins and 44100 Hz.
  const int half_rates[] = {SYSTEM_HALF_RATE, static_cast<int>(44100u >> 1)};
  for (int h : half_rates) {
    ASSERT_EQ(psycho_init(t, SYSTEM_BINS, h), STATUS_OK);
    EXPECT_TRUE(t.band_table.complete);
    EXPECT_EQ(t.band_table.bin_count, SYSTEM_BINS);
    expect_bands(t.band_table, SYSTEM_BANDS, NUM_BANDS);
    expect_bands_follow_bark(t, SYSTEM_BINS);
    int total = 0;
    for (int b = 0; b < NUM_BANDS; ++b) total += width(t.band_table, b);
    EXPECT_EQ(total, SYSTEM_BINS);
    psycho_free(t);
  }
}

TEST(PsychoTables, BinsRunningOutLeaveTheRemainingBandsEmpty) {
  PsychoTables t;
  ASSERT_EQ(psycho_init(t, SYSTEM_BINS, 8000), STATUS_PARTITION);
  EXPECT_FALSE(t.band_table.complete);
  EXPECT_EQ(t.band_table.bin_count, SYSTEM_BINS);
  EXPECT_NE(t.bark, nullptr);  // the tables are still built
  EXPECT_EQ(t.band_table.bands[0].first, 0);
  EXPECT_EQ(t.band_table.bands[0].last, 3);
  EXPECT_EQ(t.band_table.bands[21].first, 244);
  EXPECT_EQ(t.band_table.bands[21].last, 255);
  for (int b = 22; b < NUM_BANDS; ++b) {
    SCOPED_TRACE(testing::Message() << "band " << b);
    EXPECT_EQ(t.band_table.bands[b].first, SYSTEM_BINS);
    EXPECT_EQ(t.band_table.bands[b].last, SYSTEM_BINS - 1);
    EXPECT_EQ(width(t.band_table, b), 0);
  }
  expect_bands_follow_bark(t, SYSTEM_BINS);
  psycho_free(t);
}

TEST(PsychoTables, RebuildKeepsNoStaleBands) {
  PsychoTables t;
  ASSERT_EQ(psycho_init(t, SYSTEM_BINS, SYSTEM_HALF_RATE), STATUS_OK);
  ASSERT_EQ(psycho_init(t, 64, 4000), STATUS_PARTITION);
  EXPECT_FALSE(t.band_table.complete);
  EXPECT_EQ(t.band_table.bin_count, 64);
  int covered = 0;
  for (int b = 0; b < NUM_BANDS; ++b) {
    const BandEntry e = t.band_table.bands[b];
    EXPECT_LE(e.last, 63) << "band " << b;
    EXPECT_GE(width(t.band_table, b), 0) << "band " << b;
    covered += width(t.band_table, b);
  }
  EXPECT_EQ(covered, 64);
  expect_bands_follow_bark(t, 64);

  // And back: the full partition replaces the short one completely.
  ASSERT_EQ(psycho_init(t, SYSTEM_BINS, SYSTEM_HALF_RATE), STATUS_OK);
  EXPECT_TRUE(t.band_table.complete);
  expect_bands(t.band_table, SYSTEM_BANDS, NUM_BANDS);
  psycho_free(t);
}

TEST(PsychoTables, SecondBuildIsIdentical) {
  PsychoTables t;
  ASSERT_EQ(psycho_init(t, SYSTEM_BINS, SYSTEM_HALF_RATE), STATUS_OK);
  std::vector<double> bark(t.bark.get(), t.bark.get() + SYSTEM_BINS);
  std::vector<double> quiet(t.abs_threshold.get(),
                            t.abs_threshold.get() + SYSTEM_BINS);
  const BandTable bands = t.band_table;
  ASSERT_EQ(psycho_init(t, SYSTEM_BINS, SYSTEM_HALF_RATE), STATUS_OK);
  EXPECT_EQ(std::memcmp(bark.data(), t.bark.get(), SYSTEM_BINS * sizeof(double)), 0);
  EXPECT_EQ(
      std::memcmp(quiet.data(), t.abs_threshold.get(), SYSTEM_BINS * sizeof(double)),
      0);
  EXPECT_EQ(std::memcmp(&bands.bands, &t.band_table.bands, sizeof(bands.bands)), 0);
  psycho_free(t);
  EXPECT_TRUE(arrays_released(t));
  // The band table outlives the arrays.
  expect_bands(t.band_table, SYSTEM_BANDS, NUM_BANDS);
}

TEST(PsychoTables, FreeWithoutBuildReleasesNothing) {
  PsychoTables t;
  psycho_free(t);
  EXPECT_TRUE(arrays_released(t));
  psycho_free(t);
  EXPECT_TRUE(arrays_released(t));
}

TEST(PsychoTables, NonPositiveBinCountBuildsNothing) {
  PsychoTables t;
  const int counts[] = {0, -1, -256};
  for (int n : counts) {
    SCOPED_TRACE(testing::Message() << "bin_count " << n);
    ASSERT_EQ(psycho_init(t, SYSTEM_BINS, SYSTEM_HALF_RATE), STATUS_OK);
    EXPECT_EQ(psycho_init(t, n, SYSTEM_HALF_RATE), STATUS_SIZE);
    EXPECT_TRUE(arrays_released(t));
    EXPECT_FALSE(t.band_table.complete);
    EXPECT_EQ(t.band_table.bin_count, n);
    for (int b = 0; b < NUM_BANDS; ++b) EXPECT_EQ(width(t.band_table, b), 0) << "band " << b;
  }
}

TEST(PsychoTables, FailedAllocationLeavesNothingBuilt) {
  PsychoTables t;
  // Each of the four arrays a build needs (bark, abs_threshold, the spreading rows and table)
  // fails to allocate in turn, after a good build whose arrays must go.
  for (int nth = 1; nth <= 4; ++nth) {
    SCOPED_TRACE(testing::Message() << "allocation " << nth << " fails");
    ASSERT_EQ(psycho_init(t, SYSTEM_BINS, SYSTEM_HALF_RATE), STATUS_OK);
    test::fail_nothrow_array_new_at = nth;
    EXPECT_EQ(psycho_init(t, SYSTEM_BINS, SYSTEM_HALF_RATE), STATUS_NO_MEMORY);
    test::fail_nothrow_array_new_at = 0;
    EXPECT_TRUE(arrays_released(t));
    EXPECT_FALSE(t.band_table.complete);
    EXPECT_EQ(t.band_table.bin_count, 0);
    for (int b = 0; b < NUM_BANDS; ++b) EXPECT_EQ(width(t.band_table, b), 0) << "band " << b;
  }
  EXPECT_EQ(psycho_init(t, SYSTEM_BINS, SYSTEM_HALF_RATE), STATUS_OK);
  expect_bands(t.band_table, SYSTEM_BANDS, NUM_BANDS);
  psycho_free(t);
}

// The decoder's partition alone is the full build's, for the codec's parameters, other sizes,
// partitions that run out of bins and counts that build nothing.
TEST(PsychoTables, BandPartitionAloneMatchesTheFullBuild) {
  struct Case {
    int bins, half_rate;
  };
  const Case cases[] = {{256, 22050}, {128, 22050}, {512, 22050}, {256, 8000}, {64, 4000},
                        {7, 22050},   {0, 22050},   {-3, 22050},  {65536, 44100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bins << " bins at " << c.half_rate << " Hz");
    PsychoTables t;
    const int built = psycho_init(t, c.bins, c.half_rate);
    BandTable alone;
    alone.bands[3] = {-5, 9};  // stale contents must not survive
    EXPECT_EQ(band_partition(c.bins, c.half_rate, alone), built);
    EXPECT_EQ(alone.bin_count, t.band_table.bin_count);
    EXPECT_EQ(alone.complete, t.band_table.complete);
    for (int b = 0; b < NUM_BANDS; ++b) {
      EXPECT_EQ(alone.bands[b].first, t.band_table.bands[b].first) << "band " << b;
      EXPECT_EQ(alone.bands[b].last, t.band_table.bands[b].last) << "band " << b;
    }
  }
}

TEST(PsychoTables, LargeBinTimesRateDoesNotOverflow) {
  PsychoTables t;
  // 65536 bins up to 44100 Hz: bin * half_rate passes 2^31 from bin 48696 on. A 32-bit product
  // would wrap to negative frequencies and break the rise of the Bark scale.
  constexpr int n = 65536;
  ASSERT_EQ(psycho_init(t, n, 44100), STATUS_OK);
  for (int k = 1; k < n; ++k) {
    ASSERT_GT(t.bark[k], t.bark[k - 1]) << "bin " << k;
  }
  // Near 44 kHz the Bark scale passes 25: those top bins belong to no band.
  EXPECT_GT(t.bark[n - 1], 25.0);
  EXPECT_LT(t.band_table.bands[24].last, n - 1);
  EXPECT_GE(t.bark[t.band_table.bands[24].last + 1], 25.0);
  expect_bands_follow_bark(t, n);
  psycho_free(t);
}

}  // namespace
}  // namespace tarn
