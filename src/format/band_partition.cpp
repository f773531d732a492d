// The partition of the bins into coding bands, and the Bark scale it is cut on.
//
// Index legend: k bin, b band. Frequencies in Hz.

#include "format/band_partition.h"

#include <cmath>

namespace tarn {
namespace {

// The double nearest 1 / 7500: the Bark formula scales f by it instead of dividing by 7500, and
// the two round differently, so this is the form every build must use.
constexpr double INV_7500_HZ = 0.00013333333333333334;

// Band b takes the consecutive bins whose Bark value bark(k) lies in [b, b + 1); a Bark value
// equal to b + 1 opens the next band. Fills t for n bins; returns STATUS_PARTITION when the
// bins run out before band NUM_BANDS - 1 is reached (the bands not reached are then empty at
// bin n), STATUS_OK otherwise.
template <typename BarkOfBin>
int partition_bands(int n, BarkOfBin bark, BandTable& t) {
  t.bin_count = n;
  t.complete = false;
  int32_t k = 0;
  double limit = 1.0;  // upper Bark limit of the band being filled, exclusive
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (k >= n) {
      mark_bands_empty(t, b, n);
      return STATUS_PARTITION;
    }
    t.bands[b].first = k;
    while (k < n && bark(k) < limit) ++k;
    t.bands[b].last = k - 1;
    limit = limit + 1.0;
  }
  t.complete = true;
  return STATUS_OK;
}

}  // namespace

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

int band_partition(int bin_count, int half_rate, BandTable& out) {
  const int n = bin_count;
  if (n <= 0) {
    mark_bands_empty(out, 0, 0);
    out.bin_count = n;
    out.complete = false;
    return STATUS_SIZE;
  }
  return partition_bands(
      n, [&](int k) { return bark_of(bin_frequency(k, n, half_rate)); }, out);
}

int band_partition_of(int n, const double* bark, BandTable& out) {
  return partition_bands(n, [bark](int k) { return bark[k]; }, out);
}

}  // namespace tarn
