#include "psycho/masking.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "psycho/fail_alloc.h"
#include "psycho/masking_support.h"
#include "psycho/masking_tables.h"
#include "reference_levels.h"
#include "psycho/psycho_tables.h"
#include "transform/power_levels.h"
#include "transform/window.h"

namespace tarn {
namespace {

constexpr int BINS = 256;
constexpr int HALF_RATE = 22050;

// Thresholds are stated to 6 decimals.
constexpr double DB_6 = 5e-7;

struct BinValue {
  int bin;
  double db;
};

struct ToneCase {
  const char* name;
  int bin;          // the one bin above 0 dB
  double level_db;  // its level
  BinValue expected[6];
  int expected_count;
};
// clang-format off
const ToneCase TONE_CASES[] = {
    // Bark 17.2047, band 17: the range is bins 23 (first of band 13) to 254 (before the last
    // bin of band 24). 80 dB lands far above the 0 dB start, 14 dB within 3 dB of it (+6 dB).
    {"80 dB at bin 46", 46, 80.0,
     {{46, 67.999750}, {45, 67.881780}, {47, 67.898651}, {100, 30.435611}, {23, 0.0}, {255, 75.0}},
     6},
    {"14 dB at bin 46", 46, 14.0, {{46, 7.999750}, {255, 75.0}}, 2},
};
// clang-format on

std::vector<double> silent_levels() { return std::vector<double>(BINS, 0.0); }

using test::MaskingSetup;
using test::set_levels;
using test::threshold_from_levels;

TEST(Masking, SilenceLeavesTheThresholdInQuiet) {
  MaskingSetup m;
  ASSERT_EQ(m.build(BINS, HALF_RATE), STATUS_OK);
  const std::vector<double> levels = silent_levels();
  std::vector<double> out(BINS, -1.0);
  ASSERT_EQ(threshold_from_levels(m.tables, m.work, levels.data(), BINS, out.data()), STATUS_OK);
  EXPECT_EQ(out[0], 75.0);
  for (int k = 0; k < BINS; ++k) {
    const double quiet = m.tables.abs_threshold[k];
    EXPECT_EQ(out[k], std::max(0.0, quiet)) << "bin " << k;
    // Negative exactly over bins 23 .. 56, where the output stays at the 0 dB start.
    EXPECT_EQ(quiet < 0.0, k >= 23 && k <= 56) << "bin " << k;
    EXPECT_EQ(m.work.flags[k], BIN_FREE) << "bin " << k;
  }
  for (int b = 0; b < NUM_BANDS; ++b) {
    EXPECT_EQ(m.work.masker_search_count[b], 1) << "band " << b;
  }
}

TEST(Masking, SingleToneExamples) {
  MaskingSetup m;
  ASSERT_EQ(m.build(BINS, HALF_RATE), STATUS_OK);
  for (const ToneCase& c : TONE_CASES) {
    SCOPED_TRACE(c.name);
    std::vector<double> levels = silent_levels();
    levels[c.bin] = c.level_db;
    std::vector<double> out(BINS, -1.0);
    ASSERT_EQ(threshold_from_levels(m.tables, m.work, levels.data(), BINS, out.data()), STATUS_OK);
    for (int i = 0; i < c.expected_count; ++i) {
      EXPECT_NEAR(out[c.expected[i].bin], c.expected[i].db, DB_6) << "bin " << c.expected[i].bin;
    }
    for (int k = 0; k < BINS; ++k) {
      EXPECT_GE(out[k], 0.0) << "bin " << k;
      EXPECT_GE(out[k], m.tables.abs_threshold[k]) << "bin " << k;
      EXPECT_EQ(m.work.flags[k] == BIN_MASKER, k == c.bin) << "bin " << k;
    }
    // The working threshold stays in the tables until the next call.
    EXPECT_EQ(m.work.threshold[c.bin], out[c.bin]);
  }
}

TEST(Masking, MaskedBinsAreFlagged) {
  // A quiet bin right next to the 80 dB tone lies under the tone's spread (67.88 dB) and is
  // flagged masked; a loud one above the spread stays free and becomes the next band's masker.
  MaskingSetup m;
  ASSERT_EQ(m.build(BINS, HALF_RATE), STATUS_OK);
  std::vector<double> levels = silent_levels();
  levels[46] = 80.0;
  levels[45] = 40.0;  // band 17, below the spread
  levels[53] = 75.0;  // band 18, above the spread at bin 53
  std::vector<double> out(BINS);
  ASSERT_EQ(threshold_from_levels(m.tables, m.work, levels.data(), BINS, out.data()), STATUS_OK);
  EXPECT_EQ(m.work.flags[45], BIN_MASKED);
  EXPECT_EQ(m.work.flags[46], BIN_MASKER);
  EXPECT_EQ(m.work.flags[53], BIN_MASKER);
}

// The bins one masker reaches: from the first bin of the band 4 below its own (or bin 0) up to,
// but excluding, the last bin of the band 11 above (or of band 24). The tones are far louder
// than any real spectrum so that the spread still stands above the threshold in quiet at both
// edges.
struct RangeCase {
  const char* name;
  int masker;
  int first_inside;  // start
  int last_inside;   // end - 1
  int after;         // end, excluded; -1 when start is bin 0
  int before;        // start - 1, or -1
};
// clang-format off
constexpr RangeCase RANGE_CASES[] = {
    {"band 2: bins 0 .. 25",    3,  0,  25, 26, -1},
    {"band 17: bins 23 .. 254", 46, 23, 254, 255, 22},
};
// clang-format on

TEST(Masking, SpreadRangeEdges) {
  MaskingSetup m;
  ASSERT_EQ(m.build(BINS, HALF_RATE), STATUS_OK);
  for (const RangeCase& c : RANGE_CASES) {
    SCOPED_TRACE(c.name);
    std::vector<double> levels = silent_levels();
    levels[c.masker] = 200.0;
    std::vector<double> out(BINS);
    ASSERT_EQ(threshold_from_levels(m.tables, m.work, levels.data(), BINS, out.data()), STATUS_OK);
    const auto quiet = [&](int k) { return std::max(0.0, m.tables.abs_threshold[k]); };
    EXPECT_GT(out[c.first_inside], quiet(c.first_inside) + 1.0);
    EXPECT_GT(out[c.last_inside], quiet(c.last_inside) + 1.0);
    EXPECT_EQ(out[c.after], quiet(c.after));
    if (c.before >= 0) {
      EXPECT_EQ(out[c.before], quiet(c.before));
    }
  }
}

// next_masker on a fresh search: every band unsearched, every bin free.
struct SearchCase {
  const char* name;
  BinValue levels[3];  // bins above 0 dB; the rest are silent
  int level_count;
  int masked_bin;      // flagged BIN_MASKED before the search, or -1
  int first_masker;
  int searched_bands;  // bands counted by the first call
};
// clang-format off
const SearchCase SEARCH_CASES[] = {
    {"equal loudest: the lower bin",   {{50, 60.0}, {51, 60.0}}, 2, -1, 50, 18},
    {"louder of two in a band",        {{48, 40.0}, {51, 60.0}}, 2, -1, 51, 18},
    {"silent bands are passed over",   {{100, 30.0}},            1, -1, 100, 22},
    {"masked bin is skipped",          {{46, 50.0}, {48, 40.0}}, 2, 46, 48, 18},
    {"0 dB is no masker",              {},                       0, -1, -1, 25},
    {"tiny level above 0 dB is one",   {{0, 1e-9}},              1, -1, 0, 1},
};
// clang-format on

TEST(Masking, NextMaskerSearch) {
  MaskingSetup m;
  ASSERT_EQ(m.build(BINS, HALF_RATE), STATUS_OK);
  for (const SearchCase& c : SEARCH_CASES) {
    SCOPED_TRACE(c.name);
    std::vector<double> levels = silent_levels();
    for (int i = 0; i < c.level_count; ++i) levels[c.levels[i].bin] = c.levels[i].db;
    set_levels(m.work, levels.data(), BINS);
    start_masking_pass(m.tables, m.work);
    int16_t* flags = m.work.flags.get();
    for (int k = 0; k < BINS; ++k) {
      EXPECT_EQ(flags[k], BIN_FREE);
      EXPECT_EQ(m.work.threshold[k], 0.0);
    }
    for (int b = 0; b < NUM_BANDS; ++b) EXPECT_EQ(m.work.masker_search_count[b], 0);
    if (c.masked_bin >= 0) flags[c.masked_bin] = BIN_MASKED;

    EXPECT_EQ(next_masker(m.tables, m.work), c.first_masker);
    for (int b = 0; b < NUM_BANDS; ++b) {
      EXPECT_EQ(m.work.masker_search_count[b], b < c.searched_bands ? 1 : 0) << "band " << b;
    }
    EXPECT_EQ(m.work.search_cursor, c.searched_bands);  // the next call starts past them
    if (c.first_masker >= 0) {
      EXPECT_EQ(flags[c.first_masker], BIN_MASKER);
    }
    // One masker per band: the rest of the search finds nothing more in these spectra.
    EXPECT_EQ(next_masker(m.tables, m.work), -1);
    for (int b = 0; b < NUM_BANDS; ++b) {
      EXPECT_EQ(m.work.masker_search_count[b], 1) << "band " << b;
    }
  }
}

// start_masking_pass's two loudest bins of a band, by approximate level, masked or not; ties go
// to the lower bin. Band 17 holds bins 45 .. 52, band 1 only bin 2.
struct BandPickCase {
  const char* name;
  BinValue levels[3];  // the band's other bins are silent
  int level_count;
  int band;
  int loudest;
  int second;
};
// clang-format off
const BandPickCase BAND_PICK_CASES[] = {
    {"louder above",          {{47, 30.0}, {50, 40.0}},             2, 17, 50, 47},
    {"equal loudest: lower",  {{46, 40.0}, {49, 40.0}},             2, 17, 46, 49},
    {"equal seconds: lower",  {{45, 50.0}, {47, 20.0}, {51, 20.0}}, 3, 17, 45, 47},
    {"silent band",           {},                                   0, 17, 45, 46},
    {"loudest last",          {{52, 10.0}, {45, 5.0}},              2, 17, 52, 45},
    {"one bin",               {{2, 70.0}},                          1, 1,  2,  -1},
};
// clang-format on

TEST(Masking, StartPassFindsEachBandsTwoLoudestBins) {
  MaskingSetup m;
  ASSERT_EQ(m.build(BINS, HALF_RATE), STATUS_OK);
  for (const BandPickCase& c : BAND_PICK_CASES) {
    SCOPED_TRACE(c.name);
    std::vector<double> levels = silent_levels();
    for (int i = 0; i < c.level_count; ++i) levels[c.levels[i].bin] = c.levels[i].db;
    set_levels(m.work, levels.data(), BINS);
    start_masking_pass(m.tables, m.work);
    EXPECT_EQ(m.work.band_loudest[c.band], c.loudest);
    EXPECT_EQ(m.work.band_second[c.band], c.second);
  }
  // A partition that runs out of bins leaves empty bands: neither bin exists.
  MaskingSetup low;
  ASSERT_EQ(low.build(BINS, 8000), STATUS_PARTITION);
  set_levels(low.work, silent_levels().data(), BINS);
  start_masking_pass(low.tables, low.work);
  int empty = 0;
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_width(low.tables.band_table, b) > 0) continue;
    ++empty;
    EXPECT_EQ(low.work.band_loudest[b], -1) << "band " << b;
    EXPECT_EQ(low.work.band_second[b], -1) << "band " << b;
  }
  EXPECT_GT(empty, 0);
}

// Spreading function values in dB at a Bark distance dz above the masker.
struct SpreadCase {
  double dz;
  double s_db;
  double tolerance;  // half a unit of the last stated decimal
};
// clang-format off
constexpr SpreadCase SPREAD_CASES[] = {
    { 1.0, -11.03775, 5e-6}, {-1.0,  -8.70432, 5e-6}, { 0.5, -1.82773, 5e-6},
    { 2.0, -18.32882, 5e-6}, { 3.0, -22.79903, 5e-6}, {-3.0, -54.25185, 5e-6},
    { 8.0, -73.91178, 5e-6}, { 0.0, -0.00025015, 5e-9},
};
// clang-format on

TEST(Masking, SpreadingFunctionValues) {
  for (const SpreadCase& c : SPREAD_CASES) {
    EXPECT_NEAR(spreading_db(c.dz), c.s_db, c.tolerance) << "dz " << c.dz;
  }
}

// One masker's spread over bins whose working thresholds stand at chosen distances from its
// contribution v = level + S - 12 there.
TEST(Masking, SpreadRaisesByTheThreeDecibelRule) {
  MaskingSetup m;
  ASSERT_EQ(m.build(BINS, HALF_RATE), STATUS_OK);
  constexpr int MASKER = 46;  // range bins 23 .. 254
  std::vector<double> levels = silent_levels();
  levels[MASKER] = 80.0;
  set_levels(m.work, levels.data(), BINS);
  const auto v = [&](int k) {
    return 80.0 + spreading_db(m.tables.bark[k] - m.tables.bark[MASKER]) - MASKER_OFFSET_DB;
  };
  ASSERT_NEAR(v(MASKER), 67.99975, 1e-5);
  struct RuleCase {
    const char* name;
    int bin;
    double before;  // relative to v at the bin
    double after;   // relative to v
  };
  const RuleCase rule_cases[] = {
      {"far above: replaced", 45, -10.0, 0.0},
      {"just 3 dB above: replaced", 46, -3.0, 0.0},
      {"less than 3 dB above: boosted", 47, -2.5, 6.0},
      {"equal: unchanged", 48, 0.0, 0.0},
      {"below: unchanged", 49, 1.0, 1.0},
  };
  for (int k = 0; k < BINS; ++k) m.work.threshold[k] = 0.0;
  for (const RuleCase& c : rule_cases) m.work.threshold[c.bin] = v(c.bin) + c.before;
  m.work.threshold[255] = -1000.0;  // outside every range: untouched
  m.work.threshold[22] = -1000.0;   // below this masker's range
  spread_masker(m.tables, m.work, MASKER);
  for (const RuleCase& c : rule_cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(m.work.threshold[c.bin], v(c.bin) + c.after);
  }
  EXPECT_EQ(m.work.threshold[255], -1000.0);
  EXPECT_EQ(m.work.threshold[22], -1000.0);
  EXPECT_EQ(m.work.threshold[100], v(100));  // 0 dB before: replaced
}

TEST(Masking, RefusesBinCountsTheTablesDoNotHave) {
  std::vector<double> levels = silent_levels();
  levels.resize(BINS + 1, 0.0);
  std::vector<double> out(BINS + 1, -1.0);
  const int counts[] = {0, -1, BINS + 1};
  MaskingSetup m;
  ASSERT_EQ(m.build(BINS, HALF_RATE), STATUS_OK);
  for (int n : counts) {
    SCOPED_TRACE(testing::Message() << "n " << n);
    EXPECT_EQ(masking_threshold(m.tables, m.work, levels.data(), levels.data(), n, out.data()),
              STATUS_SIZE);
  }
  // A work made for other tables, a work never made, released tables, and tables that never
  // got bins.
  MaskingSetup other;
  ASSERT_EQ(other.build(BINS / 2, HALF_RATE), STATUS_OK);
  EXPECT_EQ(masking_threshold(m.tables, other.work, levels.data(), levels.data(), BINS / 2,
                              out.data()),
            STATUS_SIZE);
  MaskingWork never_made;
  EXPECT_EQ(masking_threshold(m.tables, never_made, levels.data(), levels.data(), 1, out.data()),
            STATUS_SIZE);
  psycho_free(m.tables);
  EXPECT_EQ(masking_work_init(m.work, m.tables), STATUS_SIZE);
  EXPECT_EQ(masking_threshold(m.tables, m.work, levels.data(), levels.data(), 1, out.data()),
            STATUS_SIZE);
  ASSERT_EQ(psycho_init(m.tables, 0, HALF_RATE), STATUS_SIZE);
  EXPECT_EQ(masking_work_init(m.work, m.tables), STATUS_SIZE);
  for (int k = 0; k <= BINS; ++k) EXPECT_EQ(out[k], -1.0) << "bin " << k;
}

TEST(Masking, FewerBinsThanTheTablesCountTheRestAsSilent) {
  // 128 levels against 256-bin tables: the 80 dB tone spreads as with 256 given bins, and only
  // 128 thresholds are written.
  MaskingSetup m;
  ASSERT_EQ(m.build(BINS, HALF_RATE), STATUS_OK);
  std::vector<double> full = silent_levels();
  full[46] = 80.0;
  std::vector<double> expected(BINS);
  ASSERT_EQ(threshold_from_levels(m.tables, m.work, full.data(), BINS, expected.data()), STATUS_OK);
  const std::vector<double> part(full.begin(), full.begin() + BINS / 2);
  std::vector<double> out(BINS / 2 + 1, -1.0);
  ASSERT_EQ(threshold_from_levels(m.tables, m.work, part.data(), BINS / 2, out.data()), STATUS_OK);
  for (int k = 0; k < BINS / 2; ++k) EXPECT_EQ(out[k], expected[k]) << "bin " << k;
  EXPECT_EQ(out[BINS / 2], -1.0);
}

TEST(Masking, ShortPartitionStaysInBounds) {
  // 256 bins at 8000 Hz fill only bands 0 .. 21; a tone in band 21 reaches into the empty bands.
  MaskingSetup m;
  ASSERT_EQ(m.build(BINS, 8000), STATUS_PARTITION);
  std::vector<double> levels = silent_levels();
  levels[250] = 70.0;
  levels[10] = 70.0;
  std::vector<double> out(BINS);
  ASSERT_EQ(threshold_from_levels(m.tables, m.work, levels.data(), BINS, out.data()), STATUS_OK);
  EXPECT_EQ(m.work.flags[250], BIN_MASKER);
  EXPECT_EQ(m.work.flags[10], BIN_MASKER);
  for (int k = 0; k < BINS; ++k) EXPECT_GE(out[k], m.tables.abs_threshold[k]) << "bin " << k;
}

TEST(Masking, FailedWorkAllocationIsReported) {
  MaskingSetup m;
  ASSERT_EQ(m.build(BINS, HALF_RATE), STATUS_OK);
  const std::vector<double> levels = silent_levels();
  std::vector<double> out(BINS, -1.0);
  // Each of the six per-bin arrays in turn.
  for (int nth = 1; nth <= 6; ++nth) {
    SCOPED_TRACE(testing::Message() << "allocation " << nth << " fails");
    test::fail_nothrow_array_new_at = nth;
    EXPECT_EQ(masking_work_init(m.work, m.tables), STATUS_NO_MEMORY);
    test::fail_nothrow_array_new_at = 0;
    EXPECT_EQ(m.work.bin_count, 0);
    EXPECT_EQ(masking_threshold(m.tables, m.work, levels.data(), levels.data(), BINS, out.data()),
              STATUS_SIZE);
  }
  EXPECT_EQ(out[0], -1.0);
}

TEST(Masking, ThresholdFromTheSpectrum) {
  // An 80 dB bin as a spectrum: the bin level is 96 + 10 log10(p F) with F = 4 / (512^2 * 0.375)
  // for 256 bins after the Hann window of 512 samples, so p = 10^-1.6 / F. It is split between
  // the real and imaginary parts; the rest of the spectrum is zero.
  std::vector<double> window(2 * BINS);
  hann_window(window.data(), 2 * BINS);
  MaskingSetup m;
  ASSERT_EQ(m.build(BINS, HALF_RATE), STATUS_OK);
  const double f = 4.0 / (512.0 * 512.0 * 0.375);
  const double p = std::pow(10.0, -1.6) / f;
  std::vector<double> re(BINS, 0.0), im(BINS, 0.0);
  re[46] = std::sqrt(0.36 * p);
  im[46] = -std::sqrt(0.64 * p);
  std::vector<double> out(BINS, -1.0);
  ASSERT_EQ(masking_threshold(m.tables, m.work, re.data(), im.data(), BINS, out.data()),
            STATUS_OK);
  EXPECT_NEAR(out[46], 67.999750, DB_6);
  EXPECT_NEAR(out[100], 30.435611, DB_6);
  EXPECT_EQ(out[255], 75.0);

  // Exactly what the same levels give.
  std::vector<double> levels(BINS);
  tarn_test::reference_bin_levels(re.data(), im.data(), BINS, HANN_WINDOW_POWER, levels.data());
  std::vector<double> from_levels(BINS);
  ASSERT_EQ(threshold_from_levels(m.tables, m.work, levels.data(), BINS, from_levels.data()), STATUS_OK);
  for (int k = 0; k < BINS; ++k) EXPECT_EQ(out[k], from_levels[k]) << "bin " << k;
}

}  // namespace
}  // namespace tarn
