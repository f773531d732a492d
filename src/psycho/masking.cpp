// Masking threshold per bin: threshold in quiet combined with the spread contributions of at
// most one tonal masker per band.
//
// Index legend: k bin, b band, p masker bin. Levels and thresholds in dB, Bark distances in Bark.
//
// Two passes give the same result. The general pass (run_masking) is the computation as written:
// every bin's level, the spreading function per masker and bin, the masked-bin test over each
// masker's whole range. The pass for a spectrum (run_masking_fast) takes the same decisions with
// less work, each shortcut justified where it is taken:
//   - the spreading function comes from a table made once per build of the tables, by the same
//     expression on the same Bark values (masking_work.cpp);
//   - a masker skips the bins where its contribution cannot exceed 0 dB, which no working
//     threshold is below, and spreads two bins at a time without branches (spread_fast);
//   - the masked flags are tested where the masker search reads them and set once at the end,
//     not after every spread (see the note above spread_run);
//   - a bin level's logarithm is taken only where a close approximation cannot decide the
//     comparison it enters (level_below, next_masker_fast).

#include "psycho/masking.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "psycho/masking_work.h"
#include "transform/power_levels.h"

namespace tarn {

std::array<int16_t, NUM_BANDS> masker_search_count{};
double masking_level_margin_db = APPROXIMATE_LEVEL_ERROR_DB;

namespace {

// A contribution less than MASK_ADD_MARGIN_DB above the working threshold does not replace it
// but lifts it to MASK_ADD_BOOST_DB above the contribution: comparable contributions reinforce
// each other, which this fixed boost models. One far above simply replaces the threshold.
constexpr double MASK_ADD_MARGIN_DB = 3.0;
constexpr double MASK_ADD_BOOST_DB = 6.0;

// n fits the tables: at least one bin, no more than were built, and the arrays exist.
bool bin_count_fits(int n) {
  if (!psycho_tables.bark || !psycho_tables.abs_threshold || !psycho_tables.threshold ||
      !psycho_tables.flags) {
    return false;
  }
  return n >= 1 && n <= band_table.bin_count;
}

// The working threshold starts at 0 dB, not at minus infinity: the first contribution to a bin
// is measured against 0 dB for the 3 dB rule of spread_masker. (0.0 and BIN_FREE are all zero
// bytes.)
void start_pass(int count) {
  std::memset(psycho_tables.threshold.get(), 0, sizeof(double) * count);
  static_assert(BIN_FREE == 0);
  std::memset(psycho_tables.flags.get(), 0, sizeof(int16_t) * count);
  masker_search_count.fill(0);
}

// The larger of the working threshold and the threshold in quiet, for every bin; the first n
// also to out.
void finish_pass(int n, double* out) {
  const int count = band_table.bin_count;
  const double* quiet = psycho_tables.abs_threshold.get();
  double* threshold = psycho_tables.threshold.get();
  // std::max(t, q) is (t < q) ? q : t, the same as "if (q > t) t = q" for every pair of
  // doubles, not-a-number included, and needs no branch.
  for (int k = 0; k < count; ++k) threshold[k] = std::max(threshold[k], quiet[k]);
  std::memcpy(out, threshold, sizeof(double) * n);
}

// The general pass over all bins of the tables; levels holds one entry per bin of the tables
// (zero for bins the caller did not give). Writes the first n thresholds to out.
void run_masking(const double* levels, int n, double* out) {
  double* threshold = psycho_tables.threshold.get();
  int16_t* flags = psycho_tables.flags.get();
  start_pass(band_table.bin_count);
  for (int p = next_masker(levels, flags); p != -1; p = next_masker(levels, flags)) {
    int start = 0;
    int end = 0;
    masker_range(p, start, end);
    // The range excludes `end` itself, so the last bin of the top band is never in one.
    spread_masker(levels[p], p, start, end, MASKER_OFFSET_DB);
    for (int k = start; k < end; ++k) {
      if (threshold[k] > levels[k]) flags[k] = BIN_MASKED;
    }
  }
  finish_pass(n, out);
}

// ---- The pass for a spectrum. ----

// The exact level of bin k, computed on first use.
double exact_level(MaskingWork& w, double f, int k) {
  if (w.known[k] == 0) {
    w.levels[k] = bin_level(w.power[k], f);
    w.known[k] = 1;
  }
  return w.levels[k];
}

// threshold > level of bin k, decided by the approximation where it is clear by more than the
// margin (which is at least the approximation's error), by the exact level otherwise.
bool level_below(MaskingWork& w, double f, int k, double threshold) {
  const double a = w.approx[k];
  const double margin = masking_level_margin_db;
  if (threshold > a + margin) return true;
  if (threshold < a - margin) return false;
  return threshold > exact_level(w, f, k);
}

// Whether bin k is masked now: its working threshold above its level. A threshold never
// raised (0 dB) is above no level.
bool masked_now(MaskingWork& w, double f, int k, const double* threshold) {
  return threshold[k] != 0.0 && level_below(w, f, k, threshold[k]);
}

// next_masker on lazily exact levels and lazily tested flags (see spread_run: a bin is masked
// exactly when its threshold now lies above its level). In the band searched, a free bin whose
// approximate level lies more than twice the margin below the largest approximate level of the
// band's free bins has an exact level below that bin's: it can neither be the loudest nor tie
// with it. The others get their exact level and are searched exactly as next_masker searches;
// usually the loudest stands alone (the second largest lies below the cut), found in the same
// pass that finds the loudest. A bin is tested for masking only when it could matter: when it
// would change the largest or second largest level so far, or is a candidate.
int next_masker_fast(MaskingWork& w, double f, int16_t* flags, const double* threshold) {
  const double margin = masking_level_margin_db;
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (masker_search_count[b] >= 1) continue;
    const BandEntry e = band_table.bands[b];
    masker_search_count[b] = static_cast<int16_t>(masker_search_count[b] + 1);
    // The largest and second largest approximate level of the free bins, and the bin of the
    // largest (a bin is tested for masking only when it would change either).
    double loudest = -1.0;  // approximate levels are never negative
    double runner_up = -1.0;
    int top = -1;
    for (int k = e.first; k <= e.last; ++k) {
      if (flags[k] != BIN_FREE) continue;
      const double a = w.approx[k];
      if (a <= runner_up || masked_now(w, f, k, threshold)) continue;
      if (a > loudest) {
        runner_up = loudest;
        loudest = a;
        top = k;
      } else {
        runner_up = a;
      }
    }
    if (top < 0) continue;  // no free bin
    const double cut = loudest - 2.0 * margin;
    if (runner_up < cut) {
      // The loudest stands alone above the cut: the only candidate.
      if (exact_level(w, f, top) > 0.0) {
        flags[top] = BIN_MASKER;
        return top;
      }
      continue;
    }
    double best = 0.0;
    int candidate = -1;
    for (int k = e.first; k <= e.last; ++k) {
      if (flags[k] != BIN_FREE || w.approx[k] < cut || masked_now(w, f, k, threshold)) continue;
      const double level = exact_level(w, f, k);
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
// contribution v = level + S - offset <= 0 changes nothing: the reach table (masking_work.cpp)
// leaves out only bins where that holds.
//
// Flags: the direct pass marks a bin BIN_MASKED after a spread that leaves its threshold above
// its level. Thresholds only rise, so a bin is marked by then exactly when its threshold now lies
// above its level (a never raised threshold, 0 dB, lies above no level, which is never
// negative). The flags are therefore tested where they are read instead (next_masker_fast: a
// free bin is one not flagged whose threshold is not above its level) and set once at the end
// of the pass (run_masking_fast), the spread itself only raising thresholds. A masker's own flag turns into
// BIN_MASKED the same way: its threshold was not above its level when it was chosen (it was
// free), so it is marked exactly when a later spread put it above.

// The spread of a masker of this level over the bins lo .. hi - 1, S from its table row s:
// spread_masker's arithmetic and 3 dB rule, two bins at a time as the lanes of the compiler's
// vector extension (SSE2) and with selects instead of branches (whether a contribution wins is
// as good as random); each lane computes what the scalar code does, in the same order.
using Double2 = double __attribute__((vector_size(16)));

void spread_run(double level, const double* s, int lo, int hi, double* threshold) {
  const Double2 level2 = {level, level};
  const Double2 offset2 = {MASKER_OFFSET_DB, MASKER_OFFSET_DB};
  const Double2 margin2 = {MASK_ADD_MARGIN_DB, MASK_ADD_MARGIN_DB};
  const Double2 boost2 = {MASK_ADD_BOOST_DB, MASK_ADD_BOOST_DB};
  int k = lo;
  for (; k + 2 <= hi; k += 2) {
    Double2 sv;
    Double2 t;
    std::memcpy(&sv, s + k, sizeof sv);
    std::memcpy(&t, threshold + k, sizeof t);
    const Double2 v = level2 + sv - offset2;
    const Double2 raised = v - t < margin2 ? v + boost2 : v;
    const Double2 now = v > t ? raised : t;
    std::memcpy(threshold + k, &now, sizeof now);
  }
  for (; k < hi; ++k) {
    const double v = level + s[k] - MASKER_OFFSET_DB;  // level + S first, then the offset
    const double t = threshold[k];
    const double raised = v - t < MASK_ADD_MARGIN_DB ? v + MASK_ADD_BOOST_DB : v;
    threshold[k] = v > t ? raised : t;
  }
}

// One masker's spread, over the run of bins it can raise: from the reach table when its level is
// below REACH_LEVELS - 1 (the run of the next whole level, which holds it), else its whole range.
void spread_fast(MaskingWork& w, double f, int p, double* threshold) {
  int start = 0;
  int end = 0;
  masker_range(p, start, end);
  if (end <= start) return;
  const double level = exact_level(w, f, p);
  const double* s = w.spreading.get() + w.row[p];
  int lo = start;
  int hi = end;
  if (w.reach && level >= 0.0 && level < REACH_LEVELS - 1) {
    // The run of the next whole level up, which holds every bin this level reaches.
    int whole = static_cast<int>(level);
    if (whole < level) ++whole;
    const uint16_t* run = w.reach.get() + (static_cast<size_t>(p) * REACH_LEVELS + whole) * 2;
    lo = run[0];
    hi = run[1];
  }
  spread_run(level, s, lo, hi, threshold);
}

// The pass for the spectrum whose powers and approximate levels w holds.
void run_masking_fast(MaskingWork& w, double f, int n, double* out) {
  double* threshold = psycho_tables.threshold.get();
  int16_t* flags = psycho_tables.flags.get();
  start_pass(band_table.bin_count);
  for (int p = next_masker_fast(w, f, flags, threshold); p != -1;
       p = next_masker_fast(w, f, flags, threshold)) {
    spread_fast(w, f, p, threshold);
  }
  // The flags the direct pass leaves: BIN_MASKED wherever the threshold ended above the level.
  for (int k = 0; k < band_table.bin_count; ++k) {
    if (masked_now(w, f, k, threshold)) flags[k] = BIN_MASKED;
  }
  finish_pass(n, out);
}

}  // namespace

int masking_threshold(const double* re, const double* im, int n, double* out) {
  if (!bin_count_fits(n)) return MASKING_ERR_BIN_COUNT;
  MaskingWork* w = current_masking_work();
  if (!w) return MASKING_ERR_NO_MEMORY;
  const int count = band_table.bin_count;
  const double f = bin_level_factor(n);
  if (!w->spreading) {
    // No table for this build: the general pass on every bin's exact level.
    bin_levels(re, im, n, w->levels.get());
    for (int k = n; k < count; ++k) w->levels[k] = 0.0;
    run_masking(w->levels.get(), n, out);
    return MASKING_OK;
  }
  // Powers as bin_levels forms them, and where the approximation is the exact level, that is
  // the level; the bins from n on are silent, exactly 0 dB.
  approximate_bin_levels(re, im, n, f, w->power.get(), w->approx.get(), w->known.get());
  std::memcpy(w->levels.get(), w->approx.get(), sizeof(double) * n);
  for (int k = n; k < count; ++k) {
    w->power[k] = 0.0;
    w->approx[k] = 0.0;
    w->levels[k] = 0.0;
    w->known[k] = 1;
  }
  run_masking_fast(*w, f, n, out);
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
  MaskingWork* w = current_masking_work();
  if (!w) return MASKING_ERR_NO_MEMORY;
  double* padded = w->levels.get();
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
    const double v = level + s - offset;  // level + S first, then the offset
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
