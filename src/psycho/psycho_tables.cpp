// Per-bin Bark values and threshold in quiet, and the partition of the bins into coding bands.
//
// Index legend: k bin, b band. Frequencies in Hz (f) and kHz (fk), levels in dB.

#include "psycho/psycho_tables.h"

#include <cmath>
#include <cstdint>
#include <new>

namespace tarn {

PsychoTables psycho_tables;
BandTable band_table;

namespace {

// Ceiling of the halved threshold in quiet. It also stands in at bin 0, where the first term of
// the threshold formula is infinite (0 Hz raised to a negative power).
constexpr double ABS_THRESHOLD_CAP_DB = 75.0;

// The double nearest 1 / 7500: the Bark formula scales f by it instead of dividing by 7500, and
// the two round differently, so this is the form every build must use.
constexpr double INV_7500_HZ = 0.00013333333333333334;

// Releases the four per-bin arrays in the fixed order bark, flags, abs_threshold, threshold, then
// the masking pass's working storage.
void release_arrays() {
  psycho_tables.bark.reset();
  psycho_tables.flags.reset();
  psycho_tables.abs_threshold.reset();
  psycho_tables.threshold.reset();
  psycho_tables.masking_work.reset();
}

// Marks bands from .. NUM_BANDS - 1 empty at bin `first` (last = first - 1), so a band the
// current build did not reach never keeps an earlier build's bins.
void mark_bands_empty(int from, int32_t first) {
  for (int b = from; b < NUM_BANDS; ++b) {
    band_table.bands[b].first = first;
    band_table.bands[b].last = first - 1;
  }
}

// Zwicker-Terhardt critical-band rate of f Hz, in Bark. The order of the operations is fixed:
// the square is a product, f / 7500 is f times INV_7500_HZ.
double bark_of(double f) {
  const double r = f * INV_7500_HZ;
  return 13.0 * std::atan(0.00076 * f) + 3.5 * std::atan(r * r);
}

// Terhardt's threshold in quiet at f Hz, in dB, halved and capped at ABS_THRESHOLD_CAP_DB.
// fk^-0.8 and fk^4 go through pow, the square of (fk - 3.3) is a product; the terms are summed
// left to right as written.
double abs_threshold_of(double f) {
  const double fk = f * 0.001;
  const double d = fk - 3.3;
  double a = 3.64 * std::pow(fk, -0.8) - 6.5 * std::exp(-0.6 * (d * d)) + 0.001 * std::pow(fk, 4.0);
  a = a * 0.5;
  if (a > ABS_THRESHOLD_CAP_DB) a = ABS_THRESHOLD_CAP_DB;
  return a;
}

// Band b takes the consecutive bins whose Bark value lies in [b, b + 1); a Bark value equal to
// b + 1 opens the next band. Returns false when the bins run out before band NUM_BANDS - 1 is
// reached; the bands not reached are then empty at bin n.
bool partition_bands(int n) {
  const double* bark = psycho_tables.bark.get();
  int32_t k = 0;
  double limit = 1.0;  // upper Bark limit of the band being filled, exclusive
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (k >= n) {
      mark_bands_empty(b, n);
      return false;
    }
    band_table.bands[b].first = k;
    while (k < n && bark[k] < limit) ++k;
    band_table.bands[b].last = k - 1;
    limit = limit + 1.0;
  }
  return true;
}

}  // namespace

int psycho_init(int bin_count, int half_rate) {
  const int n = bin_count;
  release_arrays();
  band_table.complete = false;
  if (n <= 0) {
    // Nothing to build: every band is empty and only the count is recorded.
    mark_bands_empty(0, 0);
    band_table.bin_count = n;
    return PSYCHO_ERR_BIN_COUNT;
  }

  // The working arrays start zeroed (free bins, 0 dB) so that nothing reads an indeterminate
  // value before the first masking pass fills them.
  psycho_tables.bark.reset(new (std::nothrow) double[n]);
  psycho_tables.flags.reset(new (std::nothrow) int16_t[n]());
  psycho_tables.abs_threshold.reset(new (std::nothrow) double[n]);
  psycho_tables.threshold.reset(new (std::nothrow) double[n]());
  if (!psycho_tables.bark || !psycho_tables.flags || !psycho_tables.abs_threshold ||
      !psycho_tables.threshold) {
    // All or nothing: a caller never sees a half-built set of arrays.
    release_arrays();
    mark_bands_empty(0, 0);
    band_table.bin_count = 0;
    return PSYCHO_ERR_NO_MEMORY;
  }

  for (int k = 0; k < n; ++k) {
    // k * half_rate in 64 bits: for large counts and rates the product overflows 32 bits.
    const int64_t product = static_cast<int64_t>(k) * half_rate;
    const double f = static_cast<double>(product) / n;
    psycho_tables.bark[k] = bark_of(f);
    psycho_tables.abs_threshold[k] = abs_threshold_of(f);
  }

  const bool complete = partition_bands(n);
  band_table.bin_count = n;
  band_table.complete = complete;
  return complete ? PSYCHO_OK : PSYCHO_ERR_PARTITION;
}

void psycho_free() { release_arrays(); }

}  // namespace tarn
