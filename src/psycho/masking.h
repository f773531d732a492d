#pragma once
// Masking threshold per bin from the Hann-windowed spectrum of a frame: the larger of the
// threshold in quiet and the spread contributions of at most one tonal masker per band, chosen
// greedily in band order. Works on the process-wide tables of psycho_tables.h, which must be
// built before the first call.

#include <array>
#include <cstdint>

#include "psycho/psycho_tables.h"

namespace tarn {

constexpr int16_t BIN_FREE = 0;     // may still become a masker
constexpr int16_t BIN_MASKER = 1;   // chosen as a masker
constexpr int16_t BIN_MASKED = 70;  // its working threshold rose above its level
constexpr double MASKER_OFFSET_DB = 12.0;  // subtracted from every masker contribution

constexpr int MASKING_OK = 0;
constexpr int MASKING_ERR_BIN_COUNT = -1;  // n < 1, n above the tables' bin count, or the
                                           // tables are not built; nothing is written
constexpr int MASKING_ERR_NO_MEMORY = -2;  // the per-call level array could not be allocated

// How often each band has been searched for the current spectrum.
extern std::array<int16_t, NUM_BANDS> masker_search_count;
// How far, in dB, an approximate bin level must lie from a value it is compared with for the
// comparison to be decided without the exact level (masking_threshold computes exact levels
// only where needed). Never below APPROXIMATE_LEVEL_ERROR_DB, the approximation's error bound;
// any larger value gives the same results with more exact levels (the tests raise it).
extern double masking_level_margin_db;

// re, im: bins 0 .. n-1 of windowed_spectrum; out: n thresholds in dB, each at least 0 and at
// least the bin's threshold in quiet. n may be below the tables' bin count: the bins from n on
// then count as silent. Returns MASKING_OK, MASKING_ERR_BIN_COUNT or MASKING_ERR_NO_MEMORY.
int masking_threshold(const double* re, const double* im, int n, double* out);
// masking_threshold from the bins' levels (dB, never negative) instead of their spectrum.
int masking_threshold_from_levels(const double* levels, int n, double* out);
// The next masker's bin, or -1 when no band has one left: the loudest free bin (flag 0, level
// above 0 dB, the lowest bin of equal levels) of the first band not yet searched; flags it
// BIN_MASKER. Bands whose masker_search_count is non-zero are skipped; every band searched,
// with or without a result, is counted there.
// levels, flags: one entry per bin of the tables.
int next_masker(const double* levels, int16_t* flags);
// Raises the working threshold of bins start .. end-1 by one masker of the given level (dB),
// spread by the Bark distance from bin `masker` and lowered by offset (dB). Nothing happens when
// start >= end. The bins must lie within the tables; nothing is checked.
void spread_masker(double level, int masker, int start, int end, double offset);

}  // namespace tarn
