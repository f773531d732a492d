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
constexpr int MASKING_ERR_BIN_COUNT = -1;  // n < 1 or n above the tables' bin count

// How often each band has been searched for the current spectrum.
extern std::array<int16_t, NUM_BANDS> masker_search_count;

// re, im: bins 0 .. n-1 of windowed_spectrum; out: n thresholds in dB.
int masking_threshold(const double* re, const double* im, int n, double* out);
// The next masker's bin, or -1 when no band has one left.
int next_masker(const double* levels, int16_t* flags);
// Raises the working threshold of bins start .. end-1 by one masker of the given level (dB).
void spread_masker(double level, int masker, int start, int end, double offset);

}  // namespace tarn
