// Masking threshold per bin: threshold in quiet combined with the spread contributions of at
// most one tonal masker per band.
//
// Index legend: k bin, b band, p masker bin. Levels and thresholds in dB, Bark distances in Bark.
//
// The pass takes the decisions of the plain computation (every bin's level, the spreading
// function per masker and bin, the masked-bin test over each masker's whole range after each
// spread) with less work, each shortcut justified where it is taken:
//   - the spreading function comes from the table of the build (masking_tables.cpp), made by
//     the same expression on the same Bark values;
//   - a masker skips the bins where its contribution cannot exceed 0 dB, which no working
//     threshold is below, and spreads several bins at a time without branches (the kernel
//     table's spread, masking_kernels.h);
//   - the masked flags are tested where the masker search reads them and set once at the end,
//     not after every spread (see the note above spread_masker), and only for a caller that
//     reads them (MaskingWork::mark_masked_bins);
//   - each band's two loudest bins are found once per pass, by the kernel table's band_tops;
//   - a bin level's logarithm is taken only where a close approximation cannot decide the
//     comparison it enters (level_below, next_masker).

#include "psycho/masking.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "kernels/kernel_table.h"
#include "psycho/masking_kernels.h"
#include "psycho/masking_tables.h"
#include "transform/power_levels.h"

namespace tarn {

namespace {

// The exact level of bin k, computed on first use.
double exact_level(MaskingWork& w, int k) {
  if (w.known[k] == 0) {
    w.levels[k] = bin_level(w.power[k], w.level_factor);
    w.known[k] = 1;
  }
  return w.levels[k];
}

// threshold > level of bin k, decided by the approximation where it is clear by more than the
// margin (which is at least the approximation's error), by the exact level otherwise.
bool level_below(MaskingWork& w, int k, double threshold) {
  const double a = w.approx[k];
  const double margin = w.level_margin_db;
  if (threshold > a + margin) return true;
  if (threshold < a - margin) return false;
  return threshold > exact_level(w, k);
}

// Whether bin k is masked now: its working threshold above its level. A threshold never
// raised (0 dB) is above no level.
bool masked_now(MaskingWork& w, int k) {
  const double t = w.threshold[k];
  return t != 0.0 && level_below(w, k, t);
}

// Whether bin k may become a masker: not flagged and not masked now.
bool is_free(MaskingWork& w, int k) { return w.flags[k] == BIN_FREE && !masked_now(w, k); }

// The largest and second largest approximate level of the free bins of band e, and the bin of
// the largest (the lowest of equal levels); -1, -1 and -1 where no bin is free. A bin is tested
// for masking only when it would change either level.
struct BandTop {
  double loudest = -1.0;  // approximate levels are never negative
  double runner_up = -1.0;
  int top = -1;
};
BandTop scan_band(MaskingWork& w, BandEntry e) {
  BandTop r;
  for (int k = e.first; k <= e.last; ++k) {
    if (w.flags[k] != BIN_FREE) continue;
    const double a = w.approx[k];
    if (a <= r.runner_up || masked_now(w, k)) continue;
    if (a > r.loudest) {
      r.runner_up = r.loudest;
      r.loudest = a;
      r.top = k;
    } else {
      r.runner_up = a;
    }
  }
  return r;
}

}  // namespace

// The working threshold starts at 0 dB, not at minus infinity: the first contribution to a bin
// is measured against 0 dB for the 3 dB rule of spread_masker. (0.0 and BIN_FREE are all zero
// bytes.) The two loudest bins of a band depend on the levels alone, so they are found here,
// once per pass, for next_masker.
void start_masking_pass(const PsychoTables& t, MaskingWork& w) {
  std::memset(w.threshold.get(), 0, sizeof(double) * w.bin_count);
  static_assert(BIN_FREE == 0);
  std::memset(w.flags.get(), 0, sizeof(int16_t) * w.bin_count);
  w.masker_search_count.fill(0);
  w.search_cursor = 0;
  w.kernels->band_tops(t.band_table, w.approx.get(), w.band_loudest.data(),
                       w.band_second.data());
}

// The search on lazily exact levels and lazily tested flags (see spread_masker: a bin is masked
// exactly when its threshold now lies above its level). In the band searched, a free bin whose
// approximate level lies more than twice the margin below the largest approximate level of the
// band's free bins has an exact level below that bin's: it can neither be the loudest nor tie
// with it. The others get their exact level and are searched by exact level; usually the loudest
// stands alone (the second largest lies below the cut).
//
// The largest and second largest approximate level of the free bins come from the band's two
// loudest bins (start_masking_pass) where they settle it, as they nearly always do: where the
// loudest is free it is the free bins' loudest (the lowest of equal levels, as it is among all
// bins), and the free bins' second largest level is at most the second loudest bin's, and equal
// to it where that bin is free. Only where the loudest is not free, or the second is not free
// but lies above the cut, does the band's every bin take part (scan_band).
int next_masker(const PsychoTables& t, MaskingWork& w) {
  const double margin = w.level_margin_db;
  int16_t* flags = w.flags.get();
  // Bands are searched in order, each once per pass: the bands below the cursor are done.
  while (w.search_cursor < NUM_BANDS) {
    const int b = w.search_cursor++;
    if (w.masker_search_count[b] >= 1) continue;
    const BandEntry e = t.band_table.bands[b];
    w.masker_search_count[b] = static_cast<int16_t>(w.masker_search_count[b] + 1);
    const int first = w.band_loudest[b];
    const int second = w.band_second[b];
    BandTop found;
    if (first >= 0 && is_free(w, first)) {
      found.top = first;
      found.loudest = w.approx[first];
      // At least the free bins' second largest level; equal to it where second is free.
      found.runner_up = second < 0 ? -1.0 : w.approx[second];
      if (!(found.runner_up < found.loudest - 2.0 * margin) && second >= 0 && !is_free(w, second)) {
        found = scan_band(w, e);
      }
    } else {
      found = scan_band(w, e);
    }
    const double loudest = found.loudest;
    const double runner_up = found.runner_up;
    const int top = found.top;
    if (top < 0) continue;  // no free bin
    const double cut = loudest - 2.0 * margin;
    if (runner_up < cut) {
      // The loudest stands alone above the cut: the only candidate.
      if (exact_level(w, top) > 0.0) {
        flags[top] = BIN_MASKER;
        return top;
      }
      continue;
    }
    double best = 0.0;
    int candidate = -1;
    for (int k = e.first; k <= e.last; ++k) {
      if (flags[k] != BIN_FREE || w.approx[k] < cut || masked_now(w, k)) continue;
      const double level = exact_level(w, k);
      if (level > best) {
        candidate = k;
        best = level;
      }
    }
    if (candidate != -1) {
      flags[candidate] = BIN_MASKER;
      return candidate;
    }
  }
  return -1;
}

// A masker's spread, over the bins it can raise.
//
// Skipped bins: every working threshold is at least 0 dB (it starts there and only rises), so a
// contribution v = level + S - offset <= 0 changes nothing: the reach table (masking_tables.cpp)
// leaves out only bins where that holds.
//
// Flags: the plain computation marks a bin BIN_MASKED after a spread that leaves its
// threshold above its level. Thresholds only rise, so a bin is marked by then exactly when its
// threshold now lies above its level (a never raised threshold, 0 dB, lies above no level, which
// is never negative). The flags are therefore tested where they are read instead (next_masker:
// a free bin is one not flagged whose threshold is not above its level) and set once at the end
// of the pass (run_masking), the spread itself only raising thresholds. A masker's own flag
// turns into BIN_MASKED the same way: its threshold was not above its level when it was chosen
// (it was free), so it is marked exactly when a later spread put it above.

// The run of bins the masker can raise: from the reach table when its level is below
// REACH_LEVELS - 1 (the run of the next whole level up, which holds every bin this level
// reaches), else its whole range. A run lies within the masker's range (it is empty where the
// range is), so the range is only looked up without one. The masker's exact level is already
// known: next_masker compared it.
void spread_masker(const PsychoTables& t, MaskingWork& w, int masker) {
  const int p = masker;
  const double level = exact_level(w, p);
  if (t.reach && level >= 0.0 && level < REACH_LEVELS - 1) {
    int whole = static_cast<int>(level);
    if (whole < level) ++whole;
    const uint16_t* run = t.reach.get() + (static_cast<size_t>(p) * REACH_LEVELS + whole) * 2;
    w.kernels->spread(level, t.spreading.get() + t.row[p], run[0], run[1], w.threshold.get());
    return;
  }
  int start = 0;
  int end = 0;
  masker_range(t, p, start, end);
  if (end <= start) return;
  const double* s = nullptr;
  if (t.spreading) {
    s = t.spreading.get() + t.row[p];
  } else {
    // dz positive above the masker.
    double* row = w.spreading_row.get();
    for (int k = start; k < end; ++k) row[k] = spreading_db(t.bark[k] - t.bark[p]);
    s = row;
  }
  w.kernels->spread(level, s, start, end, w.threshold.get());
}

namespace {

// BIN_MASKED on every bin masked now, in groups through the kernel without branches on the
// levels (whether a bin is masked is as good as random). A group with a bin whose threshold lies
// within the margin of its approximate level takes masked_now bin by bin (rare), as do the bins
// after the last whole group.
void mark_masked(MaskingWork& w) {
  const int count = w.bin_count;
  int k = 0;
  for (;;) {
    k = w.kernels->mark_masked(w.threshold.get(), w.approx.get(), w.level_margin_db, k, count,
                               w.flags.get());
    if (k + MARK_GROUP > count) break;
    for (const int end = k + MARK_GROUP; k < end; ++k) {
      if (masked_now(w, k)) w.flags[k] = BIN_MASKED;
    }
  }
  for (; k < count; ++k) {
    if (masked_now(w, k)) w.flags[k] = BIN_MASKED;
  }
}

// The search and the spreads, then the flags of the stated computation (BIN_MASKED wherever the
// threshold ended above the level) where asked for, then the threshold in quiet.
void masking_pass(const PsychoTables& t, MaskingWork& w, bool mark, int n, double* out) {
  start_masking_pass(t, w);
  for (int p = next_masker(t, w); p != -1; p = next_masker(t, w)) spread_masker(t, w, p);
  if (mark) mark_masked(w);
  const int count = w.bin_count;
  // The larger of the working threshold and the threshold in quiet, for every bin.
  // std::max(t, q) is (t < q) ? q : t, the same as "if (q > t) t = q" for every pair of
  // doubles, not-a-number included, and needs no branch.
  const double* quiet = t.abs_threshold.get();
  double* threshold = w.threshold.get();
  for (int k = 0; k < count; ++k) threshold[k] = std::max(threshold[k], quiet[k]);
  std::memcpy(out, threshold, sizeof(double) * n);
}

}  // namespace

void run_masking(const PsychoTables& t, MaskingWork& w, int n, double* out) {
  masking_pass(t, w, true, n, out);
}

int masking_work_init(MaskingWork& w, const PsychoTables& t) {
  w = MaskingWork{};
  const int count = t.band_table.bin_count;
  if (!t.bark || !t.abs_threshold || count < 1) return STATUS_SIZE;
  const size_t c = static_cast<size_t>(count);
  w.power.reset(new (std::nothrow) double[c]);
  w.approx.reset(new (std::nothrow) double[c]);
  w.levels.reset(new (std::nothrow) double[c]);
  w.known.reset(new (std::nothrow) uint8_t[c]);
  w.threshold.reset(new (std::nothrow) double[c]());
  w.flags.reset(new (std::nothrow) int16_t[c]());
  if (!t.spreading) w.spreading_row.reset(new (std::nothrow) double[c]);
  if (!w.power || !w.approx || !w.levels || !w.known || !w.threshold || !w.flags ||
      (!t.spreading && !w.spreading_row)) {
    w = MaskingWork{};
    return STATUS_NO_MEMORY;
  }
  w.bin_count = count;
  w.kernels = &host_kernel_table();
  return STATUS_OK;
}

int masking_threshold(const PsychoTables& t, MaskingWork& w, const double* re, const double* im,
                      int n, double* out) {
  const int count = w.bin_count;
  if (count < 1 || count != t.band_table.bin_count || n < 1 || n > count) {
    return STATUS_SIZE;
  }
  // Powers as the level conversion forms them, and where the approximation is the exact level,
  // that is the level; the bins from n on are silent, exactly 0 dB.
  w.level_factor = bin_level_factor(n, w.analysis_window_power);
  w.kernels->bin_levels(re, im, n, w.level_factor, w.power.get(), w.approx.get(), w.known.get());
  std::memcpy(w.levels.get(), w.approx.get(), sizeof(double) * n);
  for (int k = n; k < count; ++k) {
    w.power[k] = 0.0;
    w.approx[k] = 0.0;
    w.levels[k] = 0.0;
    w.known[k] = 1;
  }
  masking_pass(t, w, w.mark_masked_bins, n, out);
  return STATUS_OK;
}

}  // namespace tarn
