#pragma once
// Working storage of the masking pass (masking.cpp), kept with the psychoacoustic tables
// (PsychoTables::masking_work): made on the pass's first call after psycho_init, released by
// psycho_free or the next psycho_init. Everything in it follows from the band partition and the
// Bark values of that build, or is scratch for one call, so the pass computes it once per run
// instead of once per block.

#include <cstdint>
#include <memory>

namespace tarn {

struct MaskingWork {
  int32_t bin_count = 0;              // bins of the build the storage is for
  std::unique_ptr<double[]> levels;   // per bin: level, dB, exact where known[k] is set
  std::unique_ptr<double[]> approx;   // per bin: level within APPROXIMATE_LEVEL_ERROR_DB
  std::unique_ptr<double[]> power;    // per bin: re^2 + im^2 of the current spectrum
  std::unique_ptr<uint8_t[]> known;   // per bin: 1 where levels[k] is exact
  // The spreading function S(p, k), dB, for every bin p of the bands as a masker and every bin k
  // of its range: spreading[row[p] + k]. Null when the ranges would need more than
  // MAX_SPREADING_ENTRIES (the pass then evaluates S itself).
  std::unique_ptr<double[]> spreading;
  // Same layout: envelope[row[p] + k] = the largest S(p, j) for j from k outward, that is over
  // j >= k above the masker (k >= p) and over j <= k below it. It falls away from the masker on
  // both sides, so the bins a masker can still raise form one run around it.
  std::unique_ptr<double[]> envelope;
  std::unique_ptr<int32_t[]> row;     // per bin: offset of its row, -1 outside the bands
  // The run the envelope leaves a masker, ready for whole levels: for bin p of the bands and
  // L = 0 .. REACH_LEVELS - 1, reach[(p * REACH_LEVELS + L) * 2] and [... + 1] are lo and hi,
  // the run [lo, hi) of a masker of level L. A masker of level L' <= L reaches no bin outside
  // it (masker_reaches rises with the level), so ceil(L') picks a run that holds every bin it can
  // raise. Null with the spreading table, or for bin counts above 65535.
  std::unique_ptr<uint16_t[]> reach;
};

// Whole levels the reach table covers (dB); louder maskers search the envelope.
constexpr int REACH_LEVELS = 128;

// Whether a masker of this level (dB) can raise a bin whose spreading value is at most
// envelope: its contribution level + S - offset (in that order) can then exceed 0 dB, below
// which no working threshold lies. The roundings are monotonic, so a smaller envelope or level
// never reaches where a larger one does not.
inline bool masker_reaches(double level, double envelope, double offset) {
  return level + envelope - offset > 0.0;
}

// The largest spreading table the masking pass keeps, in entries per array (2 MiB). The codec's
// 256 bins need about 41000; bin counts whose ranges need more spread without a table.
constexpr int64_t MAX_SPREADING_ENTRIES = int64_t{1} << 18;

// The bins a masker at bin p reaches, start .. end - 1 (see masking.cpp). p must lie in a band.
void masker_range(int p, int& start, int& end);
// Spreading function in dB at Bark distance dz (positive above the masker).
double spreading_db(double dz);

// The work storage of the current build, made when missing: null when its level arrays cannot be
// allocated. The spreading table is optional: made when it fits and the memory is there.
MaskingWork* current_masking_work();

}  // namespace tarn
