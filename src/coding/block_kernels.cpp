// The block coder's portable kernels: value by value.

#include "coding/block_kernels.h"

namespace tarn {
namespace block {

void band_extremes_portable(const BandTable& bands, const double* c, const double* t, double* peak,
                            double* least) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int first = bands.bands[b].first;
    const int last = bands.bands[b].last;
    if (last < first) continue;
    double p = 0.0;
    double l = t[first];
    for (int k = first; k <= last; ++k) {
      const double a = std::fabs(c[k]);
      if (a > p) p = a;
      if (t[k] < l) l = t[k];
    }
    peak[b] = p;
    least[b] = l;
  }
}

void quantise_bands_portable(const BandTable& bands, const double* c, const uint8_t* bits,
                             const double* step, uint16_t* codes) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (bits[b] == 0) continue;
    for (int k = bands.bands[b].first; k <= bands.bands[b].last; ++k) {
      codes[k] = static_cast<uint16_t>(quantise_by_step(c[k], step[b], bits[b]));
    }
  }
}

}  // namespace block
}  // namespace tarn
