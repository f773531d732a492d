// Per-bin Bark values and threshold in quiet, and the partition of the bins into coding bands.
//
// Index legend: k bin, b band. Frequencies in Hz (f) and kHz (fk), levels in dB.

#include "psycho/psycho_tables.h"

#include <cmath>
#include <cstdint>
#include <new>

#include "psycho/masking_tables.h"

namespace tarn {

namespace {

// Ceiling of the halved threshold in quiet. It also stands in at bin 0, where the first term of
// the threshold formula is infinite (0 Hz raised to a negative power).
constexpr double ABS_THRESHOLD_CAP_DB = 75.0;

// The double nearest 1 / 7500: the Bark formula scales f by it instead of dividing by 7500, and
// the two round differently, so this is the form every build must use.
constexpr double INV_7500_HZ = 0.00013333333333333334;

// Marks bands from .. NUM_BANDS - 1 of t empty at bin `first` (last = first - 1), so a band the
// build did not reach never keeps another build's bins.
void mark_bands_empty(BandTable& t, int from, int32_t first) {
  for (int b = from; b < NUM_BANDS; ++b) {
    t.bands[b].first = first;
    t.bands[b].last = first - 1;
  }
}

// The frequency of bin k of n up to h Hz: k * h in 64 bits (for large counts and rates the
// product overflows 32 bits), divided by n in double precision.
double bin_frequency(int k, int n, int h) {
  const int64_t product = static_cast<int64_t>(k) * h;
  return static_cast<double>(product) / n;
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

// Band b takes the consecutive bins whose Bark value bark(k) lies in [b, b + 1); a Bark value
// equal to b + 1 opens the next band. Fills t for n bins; returns PSYCHO_ERR_PARTITION when the
// bins run out before band NUM_BANDS - 1 is reached (the bands not reached are then empty at
// bin n), PSYCHO_OK otherwise.
template <typename BarkOfBin>
int partition_bands(int n, BarkOfBin bark, BandTable& t) {
  t.bin_count = n;
  t.complete = false;
  int32_t k = 0;
  double limit = 1.0;  // upper Bark limit of the band being filled, exclusive
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (k >= n) {
      mark_bands_empty(t, b, n);
      return PSYCHO_ERR_PARTITION;
    }
    t.bands[b].first = k;
    while (k < n && bark(k) < limit) ++k;
    t.bands[b].last = k - 1;
    limit = limit + 1.0;
  }
  t.complete = true;
  return PSYCHO_OK;
}

}  // namespace

int band_partition(int bin_count, int half_rate, BandTable& out) {
  const int n = bin_count;
  if (n <= 0) {
    mark_bands_empty(out, 0, 0);
    out.bin_count = n;
    out.complete = false;
    return PSYCHO_ERR_BIN_COUNT;
  }
  return partition_bands(
      n, [&](int k) { return bark_of(bin_frequency(k, n, half_rate)); }, out);
}

int psycho_init(PsychoTables& t, int bin_count, int half_rate) {
  const int n = bin_count;
  psycho_free(t);
  if (n <= 0) return band_partition(n, half_rate, t.band_table);

  t.bark.reset(new (std::nothrow) double[n]);
  t.abs_threshold.reset(new (std::nothrow) double[n]);
  if (!t.bark || !t.abs_threshold) {
    // All or nothing: a caller never sees a half-built set of arrays.
    psycho_free(t);
    mark_bands_empty(t.band_table, 0, 0);
    t.band_table.bin_count = 0;
    t.band_table.complete = false;
    return PSYCHO_ERR_NO_MEMORY;
  }
  for (int k = 0; k < n; ++k) {
    const double f = bin_frequency(k, n, half_rate);
    t.bark[k] = bark_of(f);
    t.abs_threshold[k] = abs_threshold_of(f);
  }
  const double* bark = t.bark.get();
  const int partition = partition_bands(n, [bark](int k) { return bark[k]; }, t.band_table);
  if (build_masking_tables(t) != PSYCHO_OK) {
    psycho_free(t);
    mark_bands_empty(t.band_table, 0, 0);
    t.band_table.bin_count = 0;
    t.band_table.complete = false;
    return PSYCHO_ERR_NO_MEMORY;
  }
  return partition;
}

// Released in the order bark, abs_threshold, then the masking pass's tables.
void psycho_free(PsychoTables& t) {
  t.bark.reset();
  t.abs_threshold.reset();
  t.reach.reset();
  t.spreading.reset();
  t.row.reset();
}

}  // namespace tarn
