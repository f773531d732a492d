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

// Codes go out in pairs, as one field of twice the width with the first code lowest: the same
// bits in the same places.
void quantise_bands_portable(const BandTable& bands, const double* c, const uint8_t* bits,
                             const double* step, WordWriter& writer) {
  WordWriter out = writer;  // in registers while the bands run
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int n = bits[b];
    if (n == 0) continue;
    const int last = bands.bands[b].last;
    int k = bands.bands[b].first;
    for (; k < last; k += 2) {
      const uint64_t pair = quantise_by_step(c[k], step[b], n) |
                            static_cast<uint64_t>(quantise_by_step(c[k + 1], step[b], n)) << n;
      put_word_bits(out, pair, 2 * n);
    }
    if (k == last) put_word_bits(out, quantise_by_step(c[k], step[b], n), n);
  }
  writer = out;
}

}  // namespace block
}  // namespace tarn
