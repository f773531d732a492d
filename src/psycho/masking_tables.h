#pragma once
// The masking pass's fixed tables, part of a PsychoTables build: the spreading function
// tabulated for every masker and every bin of its range, and the runs of bins each masker can
// reach at each whole level. They follow from the band partition and the Bark values alone, so
// psycho_init computes them once per build instead of the pass once per block.

#include <cstdint>

namespace tarn {

struct PsychoTables;

// Whole levels the reach table covers (dB).
constexpr int REACH_LEVELS = 128;

// Whether a masker of this level (dB) can raise a bin whose spreading value is at most
// envelope: its contribution level + S - offset (in that order) can then exceed 0 dB, below
// which no working threshold lies. The roundings are monotonic, so a smaller envelope or level
// never reaches where a larger one does not.
inline bool masker_reaches(double level, double envelope, double offset) {
  return level + envelope - offset > 0.0;
}

// The largest spreading table a build keeps, in entries (2 MiB). The codec's 256 bins need about
// 41000; bin counts whose ranges need more leave the table out.
constexpr int64_t MAX_SPREADING_ENTRIES = int64_t{1} << 18;

// The bins a masker at bin p of t reaches, start .. end - 1. p must lie in a band.
void masker_range(const PsychoTables& t, int p, int& start, int& end);
// Spreading function in dB at Bark distance dz (positive above the masker).
double spreading_db(double dz);

// Fills t.row, t.spreading and t.reach from t's Bark values and band partition, or leaves them
// null where they would be too large. Returns STATUS_OK, or STATUS_NO_MEMORY when a table
// that fits cannot be allocated.
int build_masking_tables(PsychoTables& t);

}  // namespace tarn
