// The masking pass against its direct formula, bit for bit. The pass reads the spreading
// function from a table, skips bins the spread cannot reach, tests bins for masking only where
// their threshold rose, and takes the exact logarithm of a bin level only where an approximation
// cannot decide a comparison. The reference below is the computation as stated: every level
// through log10, the spreading function evaluated per masker and bin, the masked-bin test over
// each masker's whole range after each spread. Both must leave the same thresholds, flags and
// search counts.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "identity_support.h"
#include "psycho/masking_support.h"
#include "reference_levels.h"
#include "psycho/masking.h"
#include "psycho/psycho_tables.h"
#include "transform/mdct.h"
#include "transform/power_levels.h"
#include "transform/window.h"

namespace tarn {
namespace {

using tarn_test::first_difference;

// ---- The direct formulas. ----

struct SlowState {
  std::vector<double> threshold;
  std::vector<int16_t> flags;
  std::array<int16_t, NUM_BANDS> search_count{};
};

int slow_next_masker(const PsychoTables& t, const double* levels, SlowState& s) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (s.search_count[b] >= 1) continue;
    const BandEntry e = t.band_table.bands[b];
    double best = 0.0;
    int candidate = -1;
    for (int k = e.first; k <= e.last; ++k) {
      if (s.flags[k] == BIN_FREE && levels[k] > best) {
        candidate = k;
        best = levels[k];
      }
    }
    s.search_count[b] = static_cast<int16_t>(s.search_count[b] + 1);
    if (candidate != -1) {
      s.flags[candidate] = BIN_MASKER;
      return candidate;
    }
  }
  return -1;
}

void slow_spread(const PsychoTables& t, double level, int masker, int start, int end,
                 double offset, SlowState& s) {
  const double* bark = t.bark.get();
  for (int k = start; k < end; ++k) {
    const double dz = bark[k] - bark[masker];
    const double x = 1.05 * dz - 0.5;
    double u = x * x - 2.0 * x;
    if (u > 0.0) u = 0.0;
    const double y = 1.05 * dz + 0.474;
    const double sp = 8.0 * u + 15.8111389 + 7.5 * y - 17.5 * std::sqrt(1.0 + y * y);
    const double v = level + sp - offset;
    if (v > s.threshold[k]) {
      if (v - s.threshold[k] < 3.0) {
        s.threshold[k] = v + 6.0;
      } else {
        s.threshold[k] = v;
      }
    }
  }
}

// levels: one entry per bin of the tables. Fills s and the first n thresholds of out.
void slow_masking(const PsychoTables& t, const double* levels, int n, double* out,
                  SlowState& s) {
  const BandTable& band_table = t.band_table;
  const int count = band_table.bin_count;
  s.threshold.assign(count, 0.0);
  s.flags.assign(count, BIN_FREE);
  s.search_count.fill(0);
  for (int p = slow_next_masker(t, levels, s); p != -1; p = slow_next_masker(t, levels, s)) {
    int b = static_cast<int>(t.bark[p]);
    if (b < 0) b = 0;
    const int start = b - 4 < 0 ? 0 : band_table.bands[b - 4].first;
    const int end = b + 11 <= NUM_BANDS - 1 ? band_table.bands[b + 11].last
                                            : band_table.bands[NUM_BANDS - 1].last;
    slow_spread(t, levels[p], p, start, end, MASKER_OFFSET_DB, s);
    for (int k = start; k < end; ++k) {
      if (s.threshold[k] > levels[k]) s.flags[k] = BIN_MASKED;
    }
  }
  for (int k = 0; k < count; ++k) {
    if (t.abs_threshold[k] > s.threshold[k]) {
      s.threshold[k] = t.abs_threshold[k];
    }
  }
  for (int k = 0; k < n; ++k) out[k] = s.threshold[k];
}

// The fast pass left the same state behind as the reference. A pass that did not mark the
// masked bins (marked false) leaves the search's flags there instead: BIN_FREE or BIN_MASKER.
void expect_same_state(const MaskingWork& w, const std::vector<double>& fast_out,
                       const std::vector<double>& slow_out, const SlowState& slow,
                       bool marked = true) {
  const int count = w.bin_count;
  ASSERT_EQ(first_difference(fast_out.data(), slow_out.data(), static_cast<int>(fast_out.size())),
            -1);
  ASSERT_EQ(first_difference(w.threshold.get(), slow.threshold.data(), count), -1);
  for (int k = 0; k < count; ++k) {
    if (marked || slow.flags[k] != BIN_MASKED) {
      ASSERT_EQ(w.flags[k], slow.flags[k]) << "bin " << k;
    } else {
      ASSERT_TRUE(w.flags[k] == BIN_FREE || w.flags[k] == BIN_MASKER) << "bin " << k;
    }
  }
  for (int b = 0; b < NUM_BANDS; ++b) {
    ASSERT_EQ(w.masker_search_count[b], slow.search_count[b]) << "band " << b;
  }
}

// ---- Spectra: real blocks and random ones, some with many equal bins. ----

struct Spectrum {
  std::vector<double> re, im;
};

std::vector<Spectrum> spectra(int bins, int count) {
  SpectrumScratch scratch;
  std::vector<Spectrum> list;
  const int n = 2 * bins;
  if (spectrum_init(scratch, n) != STATUS_OK) return list;
  std::vector<double> hann(n);
  hann_window(hann.data(), n);
  std::mt19937 gen(1234 + bins);
  for (int i = 0; i < count; ++i) {
    Spectrum s{std::vector<double>(bins), std::vector<double>(bins)};
    if (i % 2 == 0) {
      const std::vector<double> x = tarn_test::music_frame(i % 4 / 2, 11 * i, n);
      windowed_spectrum(scratch, x.data(), hann.data(), s.re.data(), s.im.data(), n);
    } else {
      // A random level per band, some bands silent, and for every third spectrum small integers
      // so that equal powers (ties in the masker search) are common.
      const bool integers = i % 3 == 0;
      for (int k = 0; k < bins; ++k) {
        const int band = k * 25 / bins;
        const double scale = (band * 7 + i) % 5 == 0 ? 0.0 : std::pow(10.0, ((band * 13 + i) % 9) * 0.6);
        if (integers) {
          s.re[k] = static_cast<double>(static_cast<int>(gen() % 5) - 2) * scale;
          s.im[k] = static_cast<double>(static_cast<int>(gen() % 3) - 1) * scale;
        } else {
          s.re[k] = (gen() / 2147483648.0 - 1.0) * scale;
          s.im[k] = (gen() / 2147483648.0 - 1.0) * scale;
        }
      }
    }
    list.push_back(std::move(s));
  }
  return list;
}

struct TableCase {
  int bins;
  int half_rate;
};
// The codec's tables, others sizes (one not a multiple of the vector loops' groups), and a
// partition that runs out of bins before band 24.
constexpr TableCase TABLE_CASES[] = {
    {256, 22050}, {128, 22050}, {512, 22050}, {301, 22050}, {256, 8000}};

// The pass decides comparisons of approximate levels without their logarithm when they are
// clear by the work's level_margin_db; wider margins send more of them to the exact levels (at
// 30 dB nearly all). Every margin must give the same result, and so must every kernel table the
// CPU runs (levels, spread and marking).
TEST(MaskingIdentity, ThresholdFromTheSpectrumMatchesTheDirectFormula) {
  for (const KernelTable* kernels : tarn_test::usable_kernel_tables()) {
    for (const double margin : {APPROXIMATE_LEVEL_ERROR_DB, 0.25, 30.0}) {
      for (const TableCase& c : TABLE_CASES) {
        test::MaskingSetup m;
        const int built = m.build(c.bins, c.half_rate);
        ASSERT_TRUE(built == STATUS_OK || built == STATUS_PARTITION) << built;
        EXPECT_EQ(m.work.kernels, &host_kernel_table());
        m.work.level_margin_db = margin;
        m.work.kernels = kernels;
        int i = 0;
        for (const Spectrum& s : spectra(c.bins, 200)) {
          SCOPED_TRACE(testing::Message()
                       << c.bins << " bins at " << c.half_rate << " Hz, margin " << margin
                       << " dB, " << kernels->name << " kernels, spectrum " << i++);
          // The encoder's pass, which leaves the masked flags out, on every other pair.
          const bool marked = i / 2 % 2 == 0;
          m.work.mark_masked_bins = marked;
          for (int n : {c.bins, c.bins - 7}) {
            std::vector<double> fast(n), slow(n);
            ASSERT_EQ(masking_threshold(m.tables, m.work, s.re.data(), s.im.data(), n, fast.data()),
                      STATUS_OK);
            std::vector<double> levels(c.bins, 0.0);
            tarn_test::reference_bin_levels(s.re.data(), s.im.data(), n, HANN_WINDOW_POWER,
                                            levels.data());
            SlowState state;
            slow_masking(m.tables, levels.data(), n, slow.data(), state);
            expect_same_state(m.work, fast, slow, state, marked);
          }
        }
      }
    }
  }
}

// Through every kernel table the CPU runs.
TEST(MaskingIdentity, ThresholdFromLevelsMatchesTheDirectFormula) {
  for (const KernelTable* kernels : tarn_test::usable_kernel_tables()) {
    std::mt19937 gen(5678);
    for (const TableCase& c : TABLE_CASES) {
      test::MaskingSetup m;
      const int built = m.build(c.bins, c.half_rate);
      ASSERT_TRUE(built == STATUS_OK || built == STATUS_PARTITION) << built;
      m.work.kernels = kernels;
      for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE(testing::Message() << c.bins << " bins at " << c.half_rate << " Hz, "
                                        << kernels->name << " kernels, levels " << i);
        // Levels on a half-decibel grid (ties), some silent.
        std::vector<double> levels(c.bins);
        for (double& v : levels) {
          v = gen() % 4 == 0 ? 0.0 : static_cast<double>(gen() % 200) * 0.5;
        }
        const int n = i % 4 == 3 ? c.bins - 1 - static_cast<int>(gen() % 20) : c.bins;
        std::vector<double> fast(n), slow(n);
        ASSERT_EQ(test::threshold_from_levels(m.tables, m.work, levels.data(), n, fast.data()),
                  STATUS_OK);
        std::vector<double> padded(levels.begin(), levels.begin() + n);
        padded.resize(c.bins, 0.0);
        SlowState state;
        slow_masking(m.tables, padded.data(), n, slow.data(), state);
        expect_same_state(m.work, fast, slow, state);
      }
    }
  }
}

// A band's two loudest bins as defined: the lowest bin of the largest level above -1.0, then
// the lowest bin of the largest level above -1.0 among the band's other bins; -1 for none.
void slow_band_tops(const double* a, const BandEntry& e, int& first, int& second) {
  first = -1;
  second = -1;
  for (int k = e.first; k <= e.last; ++k) {
    if (a[k] > -1.0 && (first < 0 || a[k] > a[first])) first = k;
  }
  for (int k = e.first; k <= e.last; ++k) {
    if (k != first && a[k] > -1.0 && (second < 0 || a[k] > a[second])) second = k;
  }
}

// Hand-made partitions: narrow and wide bands up to the last bin, empty bands, and bin counts
// below and just above a group of four.
BandTable partition_of(int bin_count, std::vector<int> widths) {
  BandTable t;
  t.bin_count = bin_count;
  int k = 0;
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int w = b < static_cast<int>(widths.size()) ? widths[b] : 0;
    t.bands[b] = {k, k + w - 1};
    k += w;
  }
  return t;
}

// Every kernel table's band tops against the definition, on levels with many ties, both zeros,
// -1.0 and below, infinities and not-a-number, and on real blocks' levels.
TEST(MaskingIdentity, BandTopsOfEveryKernelMatchTheDefinition) {
  std::vector<BandTable> partitions = {partition_of(3, {1, 2}), partition_of(5, {1, 0, 4}),
                                       partition_of(9, {2, 7}), partition_of(14, {3, 5, 6}),
                                       partition_of(40, {1, 1, 2, 3, 4, 5, 6, 7, 11})};
  for (const auto& [bins, rate] : {std::pair{256, 22050}, {301, 22050}, {128, 22050},
                                   {256, 8000}}) {
    test::MaskingSetup m;
    const int built = m.build(bins, rate);
    ASSERT_TRUE(built == STATUS_OK || built == STATUS_PARTITION) << built;
    partitions.push_back(m.tables.band_table);
  }
  const double odd[] = {-1.0, -2.0, -0.0, 0.0, std::nan(""), -HUGE_VAL, HUGE_VAL, -0.5, 1.0};
  std::mt19937 gen(2468);
  for (const KernelTable* kernels : tarn_test::usable_kernel_tables()) {
    for (const BandTable& bands : partitions) {
      const std::vector<Spectrum> blocks = spectra(bands.bin_count, 8);
      ASSERT_EQ(blocks.size(), 8u);
      for (int i = 0; i < 400; ++i) {
        SCOPED_TRACE(testing::Message() << kernels->name << " kernels, " << bands.bin_count
                                        << " bins, levels " << i);
        std::vector<double> a(bands.bin_count);
        for (double& v : a) {
          const uint32_t r = gen();
          v = i % 4 == 0 ? (gen() / 4294967296.0) * 100.0
                         : (r % 3 == 0 ? odd[r / 3 % 9] : static_cast<double>(r / 3 % 6));
        }
        if (i % 4 == 1) {
          const Spectrum& sp = blocks[i / 4 % 8];
          tarn_test::reference_bin_levels(sp.re.data(), sp.im.data(), bands.bin_count,
                                          HANN_WINDOW_POWER, a.data());
        }
        std::array<int32_t, NUM_BANDS> loudest{}, second{};
        kernels->band_tops(bands, a.data(), loudest.data(), second.data());
        for (int b = 0; b < NUM_BANDS; ++b) {
          int first = 0, next = 0;
          slow_band_tops(a.data(), bands.bands[b], first, next);
          ASSERT_EQ(loudest[b], first) << "band " << b;
          ASSERT_EQ(second[b], next) << "band " << b;
        }
      }
    }
  }
}

// A bin whose level equals, to the last bit, the threshold a masker's spread gives it is not
// masked (the test is strictly above): the approximation cannot tell, the exact level must.
// The spectrum holds only the masker and that bin, whose power is searched so that its level is
// exactly the spread value.
TEST(MaskingIdentity, LevelEqualToTheSpreadThresholdStaysUnmasked) {
  test::MaskingSetup m;
  ASSERT_EQ(m.build(256, 22050), STATUS_OK);
  m.work.mark_masked_bins = true;
  const double f = bin_level_factor(256, HANN_WINDOW_POWER);
  constexpr int MASKER = 20;
  constexpr int BIN = 34;  // three bands up, inside the masker's range
  const double masker_re = 2000.0;
  const double masker_level = bin_level(masker_re * masker_re, f);
  const double dz = m.tables.bark[BIN] - m.tables.bark[MASKER];
  const double x = 1.05 * dz - 0.5;
  double t = x * x - 2.0 * x;
  if (t > 0.0) t = 0.0;
  const double y = 1.05 * dz + 0.474;
  const double sp = 8.0 * t + 15.8111389 + 7.5 * y - 17.5 * std::sqrt(1.0 + y * y);
  const double v = masker_level + sp - MASKER_OFFSET_DB;
  ASSERT_GT(v, 3.0);  // the first contribution replaces the 0 dB threshold: it becomes v
  // The smallest amplitude whose level reaches v, then the doubles just above it until one
  // lands exactly on v.
  double lo = 0.0;
  double hi = masker_re;
  for (int i = 0; i < 200; ++i) {
    const double mid = 0.5 * (lo + hi);
    (bin_level(mid * mid, f) < v ? lo : hi) = mid;
  }
  double re = hi;
  for (int i = 0; i < 64 && bin_level(re * re, f) != v; ++i) re = std::nextafter(re, 1e9);
  ASSERT_EQ(bin_level(re * re, f), v) << "no amplitude lands on the spread value";

  std::vector<double> spectrum_re(256, 0.0), spectrum_im(256, 0.0);
  spectrum_re[MASKER] = masker_re;
  spectrum_re[BIN] = re;
  std::vector<double> fast(256), slow(256);
  ASSERT_EQ(masking_threshold(m.tables, m.work, spectrum_re.data(), spectrum_im.data(), 256,
                              fast.data()),
            STATUS_OK);
  std::vector<double> levels(256, 0.0);
  tarn_test::reference_bin_levels(spectrum_re.data(), spectrum_im.data(), 256, HANN_WINDOW_POWER,
                                  levels.data());
  SlowState state;
  slow_masking(m.tables, levels.data(), 256, slow.data(), state);
  EXPECT_NE(state.flags[BIN], BIN_MASKED);
  expect_same_state(m.work, fast, slow, state);
}

// What an encoder computes for a block: coefficients and masking thresholds.
struct Analysis {
  std::vector<double> coefficients, thresholds;
};

// The analysis of music blocks start, start + 1, ... on the caller's own scratch and work,
// reading the shared tables.
std::vector<Analysis> analyse(const PsychoTables& tables, int start, int count) {
  std::vector<double> kbd(512), hann(512);
  build_coding_window(kbd.data(), 512, WINDOW_KBD);
  hann_window(hann.data(), 512);
  MdctScratch mdct;
  SpectrumScratch spectrum;
  MaskingWork work;
  std::vector<Analysis> list;
  if (masking_work_init(work, tables) != STATUS_OK) return list;
  if (mdct_init(mdct, 512) != STATUS_OK || spectrum_init(spectrum, 512) != STATUS_OK) {
    return list;
  }
  for (int i = start; i < start + count; ++i) {
    const std::vector<double> x = tarn_test::music_frame(i % 2, 3 * i, 512);
    Analysis a{std::vector<double>(256), std::vector<double>(256)};
    std::vector<double> re(256), im(256);
    if (mdct_windowed(mdct, x.data(), kbd.data(), a.coefficients.data(), 512) != STATUS_OK ||
        windowed_spectrum(spectrum, x.data(), hann.data(), re.data(), im.data(), 512) !=
            STATUS_OK ||
        masking_threshold(tables, work, re.data(), im.data(), 256, a.thresholds.data()) !=
            STATUS_OK) {
      return {};
    }
    list.push_back(std::move(a));
  }
  return list;
}

// Two analyses at once, each on its own scratch and work over one set of tables (and, the
// first time a length is used, both asking for its FFT plans), give exactly what each gives
// alone. Run under ThreadSanitizer this also shows that they share nothing they write.
TEST(MaskingIdentity, TwoAnalysesAtOnceGiveWhatEachGivesAlone) {
  PsychoTables tables;
  ASSERT_EQ(psycho_init(tables, 256, 22050), STATUS_OK);
  constexpr int COUNT = 60;
  std::vector<Analysis> together[2];
  std::thread first([&] { together[0] = analyse(tables, 0, COUNT); });
  std::thread second([&] { together[1] = analyse(tables, 1000, COUNT); });
  first.join();
  second.join();
  const std::vector<Analysis> alone[2] = {analyse(tables, 0, COUNT), analyse(tables, 1000, COUNT)};
  for (int t = 0; t < 2; ++t) {
    ASSERT_EQ(together[t].size(), static_cast<size_t>(COUNT));
    ASSERT_EQ(alone[t].size(), static_cast<size_t>(COUNT));
    for (int i = 0; i < COUNT; ++i) {
      SCOPED_TRACE(testing::Message() << "thread " << t << " block " << i);
      ASSERT_EQ(first_difference(together[t][i].coefficients.data(),
                                 alone[t][i].coefficients.data(), 256),
                -1);
      ASSERT_EQ(first_difference(together[t][i].thresholds.data(), alone[t][i].thresholds.data(),
                                 256),
                -1);
    }
  }
}

}  // namespace
}  // namespace tarn
