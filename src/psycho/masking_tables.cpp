// The masking pass's fixed tables: the spreading function tabulated for every masker and every
// bin of its range, and the runs of bins each masker can reach.
//
// Index legend: k bin, b band, p masker bin.

#include "psycho/masking_tables.h"

#include <cmath>
#include <cstdint>
#include <new>

#include "psycho/masking.h"
#include "psycho/psycho_tables.h"

namespace tarn {

namespace {

// A masker spreads over the bands from MASK_BANDS_BELOW below its own band to MASK_BANDS_ABOVE
// above it: masking reaches much further up the spectrum than down.
constexpr int MASK_BANDS_BELOW = 4;
constexpr int MASK_BANDS_ABOVE = 11;

// The smallest whole level L in 0 .. REACH_LEVELS (REACH_LEVELS: none below it) at which a
// masker reaches a bin of this envelope value.
int lowest_reaching_level(double envelope) {
  double guess = std::ceil(MASKER_OFFSET_DB - envelope);
  int level = guess < 0.0 ? 0 : (guess > REACH_LEVELS ? REACH_LEVELS : static_cast<int>(guess));
  while (level > 0 && masker_reaches(level - 1, envelope, MASKER_OFFSET_DB)) --level;
  while (level < REACH_LEVELS && !masker_reaches(level, envelope, MASKER_OFFSET_DB)) ++level;
  return level;
}

// The reach table (see PsychoTables::reach) from the envelope of the spreading table: for each
// masker p and each k of its range, the largest S(p, j) for j from k outward (over j >= k at or
// above the masker, over j <= k below it). It falls away from the masker on both sides, so the
// lowest level that reaches a bin rises going outward and the run at level L ends before the
// first bin that needs more, on either side. The envelope bounds every S beyond it, so the bins
// past the run get contributions of at most 0 dB from a masker of level L.
//
// Each run is then widened to whole groups of four bins counted from bin 0, as far as the
// masker's range allows. The spread over the added bins is the plain computation's own, and
// changes nothing there; in return every masker's spread meets a bin in the same place of the
// kernel's vectors, so that the loads of one spread find the stores of the one before whole (a
// load straddling two earlier stores waits for both to reach the cache).
void build_reach_table(PsychoTables& t) {
  const BandTable& bands = t.band_table;
  const int count = bands.bin_count;
  if (count > 65535) return;
  std::unique_ptr<uint16_t[]> reach(
      new (std::nothrow) uint16_t[static_cast<size_t>(count) * REACH_LEVELS * 2]);
  std::unique_ptr<double[]> envelope(new (std::nothrow) double[count]);
  std::unique_ptr<int[]> needed(new (std::nothrow) int[count]);  // lowest level reaching e[k]
  if (!reach || !envelope || !needed) return;
  for (int b = 0; b < NUM_BANDS; ++b) {
    for (int p = bands.bands[b].first; p <= bands.bands[b].last; ++p) {
      int start = 0;
      int end = 0;
      masker_range(t, p, start, end);
      uint16_t* run = reach.get() + static_cast<size_t>(p) * REACH_LEVELS * 2;
      const int split = p < start ? start : (p > end ? end : p);
      const double* s = t.spreading.get() + t.row[p];
      double* e = envelope.get();
      for (int k = end - 1; k >= split; --k) e[k] = (k == end - 1 || s[k] > e[k + 1]) ? s[k] : e[k + 1];
      for (int k = start; k < split; ++k) e[k] = (k == start || s[k] > e[k - 1]) ? s[k] : e[k - 1];
      int* need = needed.get();
      for (int k = start; k < end; ++k) need[k] = lowest_reaching_level(e[k]);
      int hi = split;
      int lo = split;
      for (int level = 0; level < REACH_LEVELS; ++level) {
        while (hi < end && need[hi] <= level) ++hi;
        while (lo > start && need[lo - 1] <= level) --lo;
        // Widened to whole groups of four (see above); an empty run stays empty.
        const bool empty = lo >= hi;
        const int group_lo = lo / 4 * 4 < start ? start : lo / 4 * 4;
        const int group_hi = (hi + 3) / 4 * 4 > end ? end : (hi + 3) / 4 * 4;
        run[2 * level] = static_cast<uint16_t>(empty ? lo : group_lo);
        run[2 * level + 1] = static_cast<uint16_t>(empty ? hi : group_hi);
      }
    }
  }
  t.reach = std::move(reach);
}

}  // namespace

// The reach table is left out (null) where it cannot be had; the spreading table is required
// whenever it fits.
int build_masking_tables(PsychoTables& t) {
  const BandTable& bands = t.band_table;
  const int count = bands.bin_count;
  const double* bark = t.bark.get();
  int64_t total = 0;
  for (int b = 0; b < NUM_BANDS; ++b) {
    for (int p = bands.bands[b].first; p <= bands.bands[b].last; ++p) {
      int start = 0;
      int end = 0;
      masker_range(t, p, start, end);
      if (end > start) total += end - start;
    }
  }
  if (total > MAX_SPREADING_ENTRIES) return STATUS_OK;
  // Each row is placed so that its bins k = 0 mod 4 fall on 32-byte boundaries, as the spread
  // kernel's groups do in the thresholds (masker runs start on such bins): its loads then never
  // straddle two cache lines. That takes up to 3 entries of padding per row and 3 at the start.
  const size_t entries = static_cast<size_t>(total) + 3 * static_cast<size_t>(count) + 4;
  std::unique_ptr<int32_t[]> row(new (std::nothrow) int32_t[count]);
  std::unique_ptr<double[]> spreading(new (std::nothrow) double[entries]);
  if (!row || !spreading) return STATUS_NO_MEMORY;

  for (int k = 0; k < count; ++k) row[k] = -1;
  // The first entry on a 32-byte boundary (the array is aligned to at least 8 bytes).
  const int32_t aligned = static_cast<int32_t>(
      (32 - reinterpret_cast<uintptr_t>(spreading.get()) % 32) % 32 / 8);
  int32_t next = aligned;
  for (int b = 0; b < NUM_BANDS; ++b) {
    for (int p = bands.bands[b].first; p <= bands.bands[b].last; ++p) {
      int start = 0;
      int end = 0;
      masker_range(t, p, start, end);
      if (end <= start) {
        row[p] = next - start;
        continue;
      }
      next += ((start - (next - aligned)) % 4 + 4) % 4;  // next - aligned = start (mod 4)
      row[p] = next - start;
      double* s = spreading.get() + row[p];
      for (int k = start; k < end; ++k) s[k] = spreading_db(bark[k] - bark[p]);
      next += end - start;
    }
  }
  t.row = std::move(row);
  t.spreading = std::move(spreading);
  build_reach_table(t);
  return STATUS_OK;
}

// Truncation gives the masker's band, since band b holds the Bark values [b, b + 1). Bark values
// are only negative for a negative rate; those bins all sit in band 0. The range ends at the
// last bin of the band MASK_BANDS_ABOVE above (or of band 24), which it excludes.
void masker_range(const PsychoTables& t, int p, int& start, int& end) {
  const BandTable& bands = t.band_table;
  int b = static_cast<int>(t.bark[p]);
  if (b < 0) b = 0;
  start = b - MASK_BANDS_BELOW < 0 ? 0 : bands.bands[b - MASK_BANDS_BELOW].first;
  end = b + MASK_BANDS_ABOVE <= NUM_BANDS - 1 ? bands.bands[b + MASK_BANDS_ABOVE].last
                                               : bands.bands[NUM_BANDS - 1].last;
}

// ISO/IEC 11172-3 psychoacoustic model 2, evaluated term by term left to right. Its constant is
// 15.8111389, so S(0) = -0.00025015 dB rather than 0.
double spreading_db(double dz) {
  const double x = 1.05 * dz - 0.5;
  double t = x * x - 2.0 * x;
  if (t > 0.0) t = 0.0;
  const double y = 1.05 * dz + 0.474;
  return 8.0 * t + 15.8111389 + 7.5 * y - 17.5 * std::sqrt(1.0 + y * y);
}

}  // namespace tarn
