// Per-bin Bark values and threshold in quiet, and the masking pass's tables.
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

}  // namespace

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
    return STATUS_NO_MEMORY;
  }
  for (int k = 0; k < n; ++k) {
    const double f = bin_frequency(k, n, half_rate);
    t.bark[k] = bark_of(f);
    t.abs_threshold[k] = abs_threshold_of(f);
  }
  const int partition = band_partition_of(n, t.bark.get(), t.band_table);
  if (build_masking_tables(t) != STATUS_OK) {
    psycho_free(t);
    mark_bands_empty(t.band_table, 0, 0);
    t.band_table.bin_count = 0;
    t.band_table.complete = false;
    return STATUS_NO_MEMORY;
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
