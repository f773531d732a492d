// The masking pass's portable kernels: plain C++, bin by bin.

#include "psycho/masking_kernels.h"

namespace tarn {
namespace masking {

void spread_portable(double level, const double* s, int lo, int hi, double* threshold) {
  for (int k = lo; k < hi; ++k) spread_one(level, s, k, threshold);
}

void band_tops_portable(const BandTable& bands, const double* approx, int32_t* loudest,
                        int32_t* second) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    BandTopState s;
    for (int k = bands.bands[b].first; k <= bands.bands[b].last; ++k) band_top_step(s, approx[k], k);
    loudest[b] = s.first;
    second[b] = s.second;
  }
}

// A group is marked once all its bins are decided; the flags of a group with an undecided bin
// stay as they are.
int mark_masked_portable(const double* threshold, const double* approx, double margin, int k,
                         int count, int16_t* flags) {
  for (; k + MARK_GROUP <= count; k += MARK_GROUP) {
    bool masked[MARK_GROUP];
    bool unsure = false;
    for (int i = 0; i < MARK_GROUP; ++i) {
      const double t = threshold[k + i];
      const double a = approx[k + i];
      const bool raised = t != 0.0;
      const bool above = t > a + margin;
      const bool below = t < a - margin;
      masked[i] = raised && above;
      unsure = unsure || (raised && !above && !below);
    }
    if (unsure) return k;
    for (int i = 0; i < MARK_GROUP; ++i) {
      if (masked[i]) flags[k + i] = BIN_MASKED;
    }
  }
  return k;
}

}  // namespace masking
}  // namespace tarn
