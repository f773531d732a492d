#pragma once
// Masking threshold per bin from the Hann-windowed spectrum of a block: the larger of the
// threshold in quiet and the spread contributions of at most one tonal masker per band, chosen
// greedily in band order. Reads the tables of a PsychoTables build; everything a call changes
// lives in the caller's MaskingWork.

#include <array>
#include <cstdint>
#include <memory>

#include "codec/status.h"
#include "kernels/kernel_table.h"
#include "psycho/psycho_tables.h"
#include "transform/power_levels.h"
#include "transform/window.h"

namespace tarn {

constexpr int16_t BIN_FREE = 0;     // may still become a masker
constexpr int16_t BIN_MASKER = 1;   // chosen as a masker
constexpr int16_t BIN_MASKED = 70;  // its working threshold rose above its level
constexpr double MASKER_OFFSET_DB = 12.0;  // subtracted from every masker contribution

// The pass's failures: STATUS_SIZE (n < 1, n above the tables' bin count, or the tables or the
// work not built; nothing is written) and STATUS_NO_MEMORY (the work's arrays).

// One caller's state of the masking pass, for one PsychoTables build: the bins' levels, the
// working threshold and flags, and the search counters. Each encoder owns one; two passes may
// run at once in two threads on two works (and the same tables). Made by masking_work_init,
// released with the object. Every per-bin array has bin_count entries.
struct MaskingWork {
  int32_t bin_count = 0;              // bins of the tables the arrays are for; 0 before init
  // Levels: power is re^2 + im^2 of the current spectrum, approx its level within
  // APPROXIMATE_LEVEL_ERROR_DB, levels the exact level where known[k] is 1 (computed on demand
  // from power with level_factor, see next_masker).
  std::unique_ptr<double[]> power;
  std::unique_ptr<double[]> approx;
  std::unique_ptr<double[]> levels;
  std::unique_ptr<uint8_t[]> known;
  double level_factor = 0.0;          // bin_level_factor of the current spectrum
  std::unique_ptr<double[]> threshold;  // working masking threshold, dB
  std::unique_ptr<int16_t[]> flags;     // masker-search state per bin (BIN_FREE ...)
  std::array<int16_t, NUM_BANDS> masker_search_count{};  // searches per band, this spectrum
  // The first band next_masker looks at: every band below it has been searched.
  int32_t search_cursor = 0;
  // Per band, its loudest bin by approximate level (the lowest of equal levels) and the loudest
  // of its other bins, masked or not; -1 where the band has no such bin. Set by
  // start_masking_pass from approx.
  std::array<int32_t, NUM_BANDS> band_loudest{};
  std::array<int32_t, NUM_BANDS> band_second{};
  // The row of the spreading function of the current masker, for tables without a spreading
  // table (see PsychoTables::spreading); null otherwise.
  std::unique_ptr<double[]> spreading_row;
  // Mean power of the analysis window the spectra were taken with (bin_level_factor).
  double analysis_window_power = HANN_WINDOW_POWER;
  // How far, in dB, an approximate level must lie from a value it is compared with for the
  // comparison to be decided without the exact level. Never below APPROXIMATE_LEVEL_ERROR_DB;
  // any larger value gives the same results with more exact levels.
  double level_margin_db = APPROXIMATE_LEVEL_ERROR_DB;
  // The kernels of the levels, the band tops, the spread and the marking: the host's, set by
  // masking_work_init.
  // Every table gives the same bits; a test may point it at any table kernel_table gives.
  const KernelTable* kernels = nullptr;
  // Whether masking_threshold ends by flagging BIN_MASKED on every bin whose threshold ended
  // above its level (run_masking always does). No threshold depends on those flags: the search
  // reads the masked state from the thresholds, and the next pass starts every flag afresh. So
  // an encoder, which reads only the thresholds, leaves it off (masking_work_init's choice); a
  // caller that inspects the flags turns it on.
  bool mark_masked_bins = false;
};

// Allocates w's arrays for the tables t (releasing earlier ones) and sets its fields to their
// starting values. Returns STATUS_OK, STATUS_SIZE (t not built) or
// STATUS_NO_MEMORY (w then holds no arrays).
int masking_work_init(MaskingWork& w, const PsychoTables& t);

// re, im: bins 0 .. n-1 of windowed_spectrum; out: n thresholds in dB, each at least 0 and at
// least the bin's threshold in quiet. n may be below the tables' bin count: the bins from n on
// then count as silent. w must have been made for t. Leaves w's flags as run_masking does where
// w.mark_masked_bins is set; otherwise BIN_MASKED is never set (the maskers keep BIN_MASKER,
// every other bin BIN_FREE). Returns STATUS_OK or STATUS_SIZE.
int masking_threshold(const PsychoTables& t, MaskingWork& w, const double* re, const double* im,
                      int n, double* out);

// The parts of masking_threshold, for callers that state the levels themselves.
//
// The pass on the levels in w (power, approx, levels, known, level_factor: every bin of the
// tables): start_masking_pass, then next_masker and spread_masker until no band has a masker
// left; marks the masked bins and writes the first n thresholds to out.
void run_masking(const PsychoTables& t, MaskingWork& w, int n, double* out);
// Starts a pass on the levels in w: working threshold 0 dB, every bin BIN_FREE, no band
// searched (search counts and cursor 0), and each band's two loudest bins found.
void start_masking_pass(const PsychoTables& t, MaskingWork& w);
// The next masker's bin, or -1 when no band has one left: the loudest free bin (flag 0, level
// above 0 dB, threshold not above its level; the lowest bin of equal levels) of the first band
// not yet searched; flags it BIN_MASKER. Bands whose masker_search_count is non-zero are
// skipped; every band searched, with or without a result, is counted there. The search starts
// at search_cursor and moves it past every band it searches or skips. The levels must be those
// start_masking_pass saw (band_loudest, band_second).
int next_masker(const PsychoTables& t, MaskingWork& w);
// Raises the working threshold over the range of the masker at bin `masker` (masker_range) by
// its spread: for each bin k, v = level + S(bark[k] - bark[masker]) - MASKER_OFFSET_DB, level
// being the masker's exact level; where v exceeds the threshold, by less than 3 dB the threshold
// becomes v + 6, else v. Bins where v cannot exceed 0 dB are skipped.
void spread_masker(const PsychoTables& t, MaskingWork& w, int masker);

}  // namespace tarn
