// The masking pass's working storage: the level arrays, and the spreading function tabulated for
// every masker and every bin of its range, with its envelope.
//
// Index legend: k bin, b band, p masker bin.

#include "psycho/masking_work.h"

#include <cmath>
#include <new>

#include "psycho/masking.h"
#include "psycho/psycho_tables.h"

namespace tarn {

void MaskingWorkDelete::operator()(MaskingWork* work) const { delete work; }

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

// The reach table from the envelope (see MaskingWork::reach). Above the masker the envelope
// falls with k, so the lowest reaching level rises with k and the run at level L ends before the
// first bin that needs more; below it the same going down.
void build_reach_table(MaskingWork& w) {
  const int count = band_table.bin_count;
  if (count > 65535) return;
  std::unique_ptr<uint16_t[]> reach(
      new (std::nothrow) uint16_t[static_cast<size_t>(count) * REACH_LEVELS * 2]);
  if (!reach) return;
  for (int b = 0; b < NUM_BANDS; ++b) {
    for (int p = band_table.bands[b].first; p <= band_table.bands[b].last; ++p) {
      int start = 0;
      int end = 0;
      masker_range(p, start, end);
      uint16_t* run = reach.get() + static_cast<size_t>(p) * REACH_LEVELS * 2;
      const int split = p < start ? start : (p > end ? end : p);
      const double* e = w.envelope.get() + w.row[p];
      int hi = split;
      int lo = split;
      for (int level = 0; level < REACH_LEVELS; ++level) {
        while (hi < end && lowest_reaching_level(e[hi]) <= level) ++hi;
        while (lo > start && lowest_reaching_level(e[lo - 1]) <= level) --lo;
        run[2 * level] = static_cast<uint16_t>(lo);
        run[2 * level + 1] = static_cast<uint16_t>(hi);
      }
    }
  }
  w.reach = std::move(reach);
}

// Fills the spreading table and its envelope for the current build, or leaves both null when
// they would be too large or the memory is not there.
void build_spreading_table(MaskingWork& w) {
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
  const size_t entries = total > 0 ? static_cast<size_t>(total) : 1;
  std::unique_ptr<int32_t[]> row(new (std::nothrow) int32_t[count]);
  std::unique_ptr<double[]> spreading(new (std::nothrow) double[entries]);
  std::unique_ptr<double[]> envelope(new (std::nothrow) double[entries]);
  if (!row || !spreading || !envelope) return;

  for (int k = 0; k < count; ++k) row[k] = -1;
  int32_t next = 0;
  for (int b = 0; b < NUM_BANDS; ++b) {
    for (int p = band_table.bands[b].first; p <= band_table.bands[b].last; ++p) {
      int start = 0;
      int end = 0;
      masker_range(p, start, end);
      row[p] = next - start;
      if (end <= start) continue;
      double* s = spreading.get() + row[p];
      double* e = envelope.get() + row[p];
      // The very expression spread_masker evaluates, on the very same Bark values.
      for (int k = start; k < end; ++k) s[k] = spreading_db(bark[k] - bark[p]);
      // Running maxima from the range's ends toward the masker: at or above the masker over
      // j >= k, below it over j <= k.
      const int split = p < start ? start : (p > end ? end : p);
      for (int k = end - 1; k >= split; --k) {
        e[k] = (k == end - 1 || s[k] > e[k + 1]) ? s[k] : e[k + 1];
      }
      for (int k = start; k < split; ++k) e[k] = (k == start || s[k] > e[k - 1]) ? s[k] : e[k - 1];
      next += end - start;
    }
  }
  w.row = std::move(row);
  w.spreading = std::move(spreading);
  w.envelope = std::move(envelope);
  build_reach_table(w);
}

}  // namespace

// Truncation gives the masker's band, since band b holds the Bark values [b, b + 1). Bark values
// are only negative for a negative rate; those bins all sit in band 0. The range ends at the
// last bin of the band MASK_BANDS_ABOVE above (or of band 24), which it excludes.
void masker_range(int p, int& start, int& end) {
  int b = static_cast<int>(psycho_tables.bark[p]);
  if (b < 0) b = 0;
  start = b - MASK_BANDS_BELOW < 0 ? 0 : band_table.bands[b - MASK_BANDS_BELOW].first;
  end = b + MASK_BANDS_ABOVE <= NUM_BANDS - 1 ? band_table.bands[b + MASK_BANDS_ABOVE].last
                                               : band_table.bands[NUM_BANDS - 1].last;
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

MaskingWork* current_masking_work() {
  std::unique_ptr<MaskingWork, MaskingWorkDelete>& held = psycho_tables.masking_work;
  if (held) return held.get();
  const int count = band_table.bin_count;
  std::unique_ptr<MaskingWork, MaskingWorkDelete> w(new (std::nothrow) MaskingWork);
  if (!w) return nullptr;
  w->bin_count = count;
  w->levels.reset(new (std::nothrow) double[count]);
  w->approx.reset(new (std::nothrow) double[count]);
  w->power.reset(new (std::nothrow) double[count]);
  w->known.reset(new (std::nothrow) uint8_t[count]);
  if (!w->levels || !w->approx || !w->power || !w->known) return nullptr;
  build_spreading_table(*w);
  held = std::move(w);
  return held.get();
}

}  // namespace tarn
