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

// Each 57-bit word read gives a band as many codes as fit; flipping a code's sign bit and
// subtracting its weight extends the sign.
void dequantise_bands_portable(const BandTable& bands, const WordReader& in, uint32_t pos,
                               const uint8_t* bits, const double* step, double* coefficients) {
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int n = bits[b];
    if (n == 0) continue;
    const int last = bands.bands[b].last;
    const int64_t mask = (int64_t{1} << n) - 1;
    const int64_t sign = int64_t{1} << (n - 1);
    const int per_word = 57 / n;
    for (int k = bands.bands[b].first; k <= last;) {
      uint64_t word = bits_at(in, pos);
      const int count = std::min(per_word, last - k + 1);
      for (int j = 0; j < count; ++j, word >>= n) {
        const int64_t q = ((static_cast<int64_t>(word) & mask) ^ sign) - sign;
        coefficients[k + j] = static_cast<double>(q) * step[b];
      }
      k += count;
      pos += static_cast<uint32_t>(count * n);
    }
  }
}

}  // namespace block
}  // namespace tarn
