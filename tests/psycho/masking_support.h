#pragma once
// For the psycho tests: a table build with its masking work, and the masking pass run on levels
// the test states instead of a spectrum's.

#include "psycho/masking.h"
#include "psycho/psycho_tables.h"

namespace tarn::test {

// A PsychoTables build and a MaskingWork made for it; both released with the object.
struct MaskingSetup {
  PsychoTables tables;
  MaskingWork work;
  // psycho_init's result, or STATUS_NO_MEMORY when the work cannot be made.
  int build(int bin_count, int half_rate) {
    const int built = psycho_init(tables, bin_count, half_rate);
    if (built != STATUS_OK && built != STATUS_PARTITION) return built;
    return masking_work_init(work, tables) == STATUS_OK ? built : STATUS_NO_MEMORY;
  }
};

// Gives w the levels (dB, never negative, as the level conversion makes them) of bins 0 .. n-1
// as exact levels; the bins from n on are silent.
inline void set_levels(MaskingWork& w, const double* levels, int n) {
  for (int k = 0; k < w.bin_count; ++k) {
    const double level = k < n ? levels[k] : 0.0;
    w.power[k] = 0.0;  // not read: every level is known
    w.approx[k] = level;
    w.levels[k] = level;
    w.known[k] = 1;
  }
}

// masking_threshold for stated levels: the pass on levels[0 .. n-1], the rest silent.
inline int threshold_from_levels(const PsychoTables& t, MaskingWork& w, const double* levels,
                                 int n, double* out) {
  if (w.bin_count < 1 || n < 1 || n > w.bin_count) return STATUS_SIZE;
  set_levels(w, levels, n);
  run_masking(t, w, n, out);
  return STATUS_OK;
}

}  // namespace tarn::test
