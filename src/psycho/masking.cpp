// Masking threshold per bin: threshold in quiet combined with the spread contributions of at
// most one tonal masker per band.
//
// Index legend: k bin, b band, p masker bin. Levels and thresholds in dB, Bark distances in Bark.

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

// Per-call level array, one entry per bin of the tables, zeroed.
std::unique_ptr<double[]> new_level_array(int count) {
  return std::unique_ptr<double[]>(new (std::nothrow) double[count]());
}

// n fits the tables: at least one bin, no more than were built, and the arrays exist.
bool bin_count_fits(int n) {
  if (!psycho_tables.bark || !psycho_tables.abs_threshold || !psycho_tables.threshold ||
      !psycho_tables.flags) {
    return false;
  }
  return n >= 1 && n <= band_table.bin_count;
}

// The masking pass over all bins of the tables; levels holds one entry per bin of the tables
// (zero for bins the caller did not give). Writes the first n thresholds to out.
void run_masking(const double* levels, int n, double* out) {
  const int count = band_table.bin_count;
  const double* bark = psycho_tables.bark.get();
  const double* quiet = psycho_tables.abs_threshold.get();
  double* threshold = psycho_tables.threshold.get();
  int16_t* flags = psycho_tables.flags.get();

  // The working threshold starts at 0 dB, not at minus infinity: the first contribution to a
  // bin is measured against 0 dB for the 3 dB rule of spread_masker.
  for (int k = 0; k < count; ++k) {
    flags[k] = BIN_FREE;
    threshold[k] = 0.0;
  }
  masker_search_count.fill(0);

  for (int p = next_masker(levels, flags); p != -1; p = next_masker(levels, flags)) {
    // Truncation gives the masker's band, since band b holds the Bark values [b, b + 1). Bark
    // values are only negative for a negative rate; those bins all sit in band 0.
    int b = static_cast<int>(bark[p]);
    if (b < 0) b = 0;
    const int start = b - MASK_BANDS_BELOW < 0 ? 0 : band_table.bands[b - MASK_BANDS_BELOW].first;
    const int end = b + MASK_BANDS_ABOVE <= NUM_BANDS - 1
                        ? band_table.bands[b + MASK_BANDS_ABOVE].last
                        : band_table.bands[NUM_BANDS - 1].last;
    // The range excludes `end` itself, so the last bin of the top band is never in one.
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
  std::unique_ptr<double[]> levels = new_level_array(band_table.bin_count);
  if (!levels) return MASKING_ERR_NO_MEMORY;
  bin_levels(re, im, n, levels.get());
  run_masking(levels.get(), n, out);
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
  std::unique_ptr<double[]> padded = new_level_array(band_table.bin_count);
  if (!padded) return MASKING_ERR_NO_MEMORY;
  for (int k = 0; k < n; ++k) padded[k] = levels[k];
  run_masking(padded.get(), n, out);
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
    const double dz = bark[k] - bark[masker];  // positive above the masker
    // Spreading function in dB (ISO/IEC 11172-3 psychoacoustic model 2), evaluated term by term
    // left to right. Its constant is 15.8111389, so S(0) = -0.00025015 dB rather than 0.
    const double x = 1.05 * dz - 0.5;
    double t = x * x - 2.0 * x;
    if (t > 0.0) t = 0.0;
    const double y = 1.05 * dz + 0.474;
    const double s = 8.0 * t + 15.8111389 + 7.5 * y - 17.5 * std::sqrt(1.0 + y * y);
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
