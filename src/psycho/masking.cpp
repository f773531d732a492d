// Masking threshold per bin: threshold in quiet combined with the spread contributions of at
// most one tonal masker per band.
//
// Index legend: k bin, b band, p masker bin. Levels and thresholds in dB, Bark distances in Bark.
//
// Speed without a change of result: the masking pass reads the spreading function from a table
// made once per build of the psychoacoustic tables (by the very formula spread_masker evaluates,
// on the very same Bark values), keeps its level array with the tables instead of allocating one
// per call, and tests a bin for masking only where the spread raised its threshold (see
// spread_and_flag for why the outcome is the same).

#include "psycho/masking.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <new>

#include "transform/spectrum.h"

namespace tarn {

std::array<int16_t, NUM_BANDS> masker_search_count{};

namespace {

// A masker spreads over the bands from MASK_BANDS_BELOW below its own band to MASK_BANDS_ABOVE
// above it: masking reaches much further up the spectrum than down.
constexpr int MASK_BANDS_BELOW = 4;
constexpr int MASK_BANDS_ABOVE = 11;

// A contribution less than MASK_ADD_MARGIN_DB above the working threshold does not replace it
// but lifts it to MASK_ADD_BOOST_DB above the contribution: comparable contributions reinforce
// each other, which this fixed boost models. One far above simply replaces the threshold.
constexpr double MASK_ADD_MARGIN_DB = 3.0;
constexpr double MASK_ADD_BOOST_DB = 6.0;

// The largest spreading table the masking pass keeps, in entries (2 MiB). The codec's 256 bins
// need about 41000; bin counts whose ranges need more spread without a table.
constexpr int64_t MAX_SPREADING_ENTRIES = int64_t{1} << 18;

// n fits the tables: at least one bin, no more than were built, and the arrays exist.
bool bin_count_fits(int n) {
  if (!psycho_tables.bark || !psycho_tables.abs_threshold || !psycho_tables.threshold ||
      !psycho_tables.flags) {
    return false;
  }
  return n >= 1 && n <= band_table.bin_count;
}

// The level array kept with the tables, one entry per bin of the tables; null when it cannot be
// allocated.
double* level_array() {
  if (!psycho_tables.levels) {
    psycho_tables.levels.reset(new (std::nothrow) double[band_table.bin_count]);
  }
  return psycho_tables.levels.get();
}

// Spreading function in dB at Bark distance dz (positive above the masker): ISO/IEC 11172-3
// psychoacoustic model 2, evaluated term by term left to right. Its constant is 15.8111389, so
// S(0) = -0.00025015 dB rather than 0.
double spreading_db(double dz) {
  const double x = 1.05 * dz - 0.5;
  double t = x * x - 2.0 * x;
  if (t > 0.0) t = 0.0;
  const double y = 1.05 * dz + 0.474;
  return 8.0 * t + 15.8111389 + 7.5 * y - 17.5 * std::sqrt(1.0 + y * y);
}

// The bins a masker at bin p reaches, start .. end - 1: from the first bin of the band
// MASK_BANDS_BELOW below its own to the last bin of the band MASK_BANDS_ABOVE above (excluded),
// clipped to bands 0 and 24. Truncation gives the masker's band, since band b holds the Bark
// values [b, b + 1). Bark values are only negative for a negative rate; those bins all sit in
// band 0. p must lie in a band.
void masker_range(int p, int& start, int& end) {
  int b = static_cast<int>(psycho_tables.bark[p]);
  if (b < 0) b = 0;
  start = b - MASK_BANDS_BELOW < 0 ? 0 : band_table.bands[b - MASK_BANDS_BELOW].first;
  end = b + MASK_BANDS_ABOVE <= NUM_BANDS - 1 ? band_table.bands[b + MASK_BANDS_ABOVE].last
                                               : band_table.bands[NUM_BANDS - 1].last;
}

// S(p, k) for every bin p of the bands and every k of its range, from the current Bark values,
// into psycho_tables.spreading; row[p] = -1 for a bin outside the bands. Left without a table
// (the pass then evaluates the function itself) when the ranges need more than
// MAX_SPREADING_ENTRIES or the memory cannot be had.
void build_spreading_table() {
  const int count = band_table.bin_count;
  const double* bark = psycho_tables.bark.get();
  int64_t total = 0;
  for (int b = 0; b < NUM_BANDS; ++b) {
    for (int p = band_table.bands[b].first; p <= band_table.bands[b].last; ++p) {
      int start = 0;
      int end = 0;
      masker_range(p, start, end);
      if (end > start) total += end - start;
    }
  }
  if (total > MAX_SPREADING_ENTRIES) return;
  std::unique_ptr<int32_t[]> row(new (std::nothrow) int32_t[count]);
  std::unique_ptr<double[]> table(new (std::nothrow) double[total > 0 ? total : 1]);
  if (!row || !table) return;
  for (int k = 0; k < count; ++k) row[k] = -1;
  int32_t next = 0;
  for (int b = 0; b < NUM_BANDS; ++b) {
    for (int p = band_table.bands[b].first; p <= band_table.bands[b].last; ++p) {
      int start = 0;
      int end = 0;
      masker_range(p, start, end);
      row[p] = next - start;
      for (int k = start; k < end; ++k) table[next++] = spreading_db(bark[k] - bark[p]);
    }
  }
  psycho_tables.spreading_row = std::move(row);
  psycho_tables.spreading = std::move(table);
}

// spread_masker with S from the table, followed by the masked-bin test of the pass, fused: a bin
// is tested right after the spread raised its threshold, and only then. The outcome is that of
// testing every bin of the range after the spread (threshold > level: BIN_MASKED), because a bin
// whose threshold this spread left alone gives the answer it already gave: its threshold either
// was never raised (0 dB, not above a level that is never negative: not masked, as before) or
// was last raised by an earlier masker, whose test of the same threshold against the same level
// set the flag then (BIN_MASKED stays; an unmasked bin stays unmasked even if it has since
// become a masker). Requires levels that are never negative.
void spread_and_flag(double level, const double* s, int start, int end, double offset,
                     const double* levels, double* threshold, int16_t* flags) {
  for (int k = start; k < end; ++k) {
    const double v = level + s[k] - offset;  // level + S first, then the offset
    if (v > threshold[k]) {
      if (v - threshold[k] < MASK_ADD_MARGIN_DB) {
        threshold[k] = v + MASK_ADD_BOOST_DB;
      } else {
        threshold[k] = v;
      }
      if (threshold[k] > levels[k]) flags[k] = BIN_MASKED;
    }
  }
}

// The masking pass over all bins of the tables; levels holds one entry per bin of the tables
// (zero for bins the caller did not give). Writes the first n thresholds to out.
void run_masking(const double* levels, int n, double* out) {
  const int count = band_table.bin_count;
  const double* quiet = psycho_tables.abs_threshold.get();
  double* threshold = psycho_tables.threshold.get();
  int16_t* flags = psycho_tables.flags.get();
  if (!psycho_tables.spreading) build_spreading_table();

  // The working threshold starts at 0 dB, not at minus infinity: the first contribution to a
  // bin is measured against 0 dB for the 3 dB rule of spread_masker.
  bool levels_not_negative = true;
  for (int k = 0; k < count; ++k) {
    flags[k] = BIN_FREE;
    threshold[k] = 0.0;
    if (levels[k] < 0.0) levels_not_negative = false;
  }
  masker_search_count.fill(0);

  for (int p = next_masker(levels, flags); p != -1; p = next_masker(levels, flags)) {
    int start = 0;
    int end = 0;
    masker_range(p, start, end);
    // The range excludes `end` itself, so the last bin of the top band is never in one.
    if (psycho_tables.spreading && levels_not_negative) {
      const double* s = psycho_tables.spreading.get() + psycho_tables.spreading_row[p];
      spread_and_flag(levels[p], s, start, end, MASKER_OFFSET_DB, levels, threshold, flags);
      continue;
    }
    spread_masker(levels[p], p, start, end, MASKER_OFFSET_DB);
    for (int k = start; k < end; ++k) {
      if (threshold[k] > levels[k]) flags[k] = BIN_MASKED;
    }
  }

  for (int k = 0; k < count; ++k) {
    if (quiet[k] > threshold[k]) threshold[k] = quiet[k];
  }
  for (int k = 0; k < n; ++k) out[k] = threshold[k];
}

}  // namespace

int masking_threshold(const double* re, const double* im, int n, double* out) {
  if (!bin_count_fits(n)) return MASKING_ERR_BIN_COUNT;
  // Sized for all bins of the tables; bin_levels fills the first n and the rest stay silent.
  double* levels = level_array();
  if (!levels) return MASKING_ERR_NO_MEMORY;
  bin_levels(re, im, n, levels);
  for (int k = n; k < band_table.bin_count; ++k) levels[k] = 0.0;
  run_masking(levels, n, out);
  return MASKING_OK;
}

int masking_threshold_from_levels(const double* levels, int n, double* out) {
  if (!bin_count_fits(n)) return MASKING_ERR_BIN_COUNT;
  if (n == band_table.bin_count) {
    run_masking(levels, n, out);
    return MASKING_OK;
  }
  // Fewer levels than bins: the search and the spreading walk whole bands, so they read a
  // copy padded with silent bins rather than past the caller's array.
  double* padded = level_array();
  if (!padded) return MASKING_ERR_NO_MEMORY;
  for (int k = 0; k < n; ++k) padded[k] = levels[k];
  for (int k = n; k < band_table.bin_count; ++k) padded[k] = 0.0;
  run_masking(padded, n, out);
  return MASKING_OK;
}

int next_masker(const double* levels, int16_t* flags) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (masker_search_count[b] >= 1) continue;
    const BandEntry e = band_table.bands[b];
    // Strictly louder than the best so far: a masker is above 0 dB, and of equal levels the
    // lowest bin wins.
    double best = 0.0;
    int candidate = -1;
    for (int k = e.first; k <= e.last; ++k) {
      if (flags[k] == BIN_FREE && levels[k] > best) {
        candidate = k;
        best = levels[k];
      }
    }
    masker_search_count[b] = static_cast<int16_t>(masker_search_count[b] + 1);
    if (candidate != -1) {
      flags[candidate] = BIN_MASKER;
      return candidate;
    }
  }
  return -1;
}

void spread_masker(double level, int masker, int start, int end, double offset) {
  const double* bark = psycho_tables.bark.get();
  double* threshold = psycho_tables.threshold.get();
  for (int k = start; k < end; ++k) {
    const double s = spreading_db(bark[k] - bark[masker]);  // dz positive above the masker
    const double v = level + s - offset;
    if (v > threshold[k]) {
      if (v - threshold[k] < MASK_ADD_MARGIN_DB) {
        threshold[k] = v + MASK_ADD_BOOST_DB;
      } else {
        threshold[k] = v;
      }
    }
  }
}

}  // namespace tarn
