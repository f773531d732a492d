// Finished samples to 16-bit frames.

#include "codec/pcm16.h"

#include <algorithm>
#include <cmath>

#include "kernels/kernel_table.h"

namespace tarn {
namespace {

// Largest magnitude of a written sample.
constexpr double PCM16_PEAK = 32767.0;

}  // namespace

// One double to a 16-bit sample: divide by max(|x|, 1) so that anything beyond full scale is
// limited to it, scale by 32767, truncate toward zero. The product comes before the quotient;
// that order fixes the rounding of every finite value (beyond full scale about one value in six
// comes out as 32766, the product having been rounded down; the other order differs there).
//   x = NaN, or x = +-infinity (q = inf / inf): q is NaN, whose conversion to an integer is
//     undefined; it writes 0.
//   |x| > DBL_MAX / 32767: x * 32767 overflows and q is +-infinity, also undefined to convert;
//     it writes +-32767, the limit every other value beyond full scale reaches.
// Every other finite x gives |q| <= 32767 plus at most one rounding step, which truncates to a
// value in [-32767, 32767], so the clamp below never changes it.
// Within full scale d is 1.0, and dividing by 1.0 is exact: the product itself is the quotient,
// without the division.
// The limits are taken with min and max (a not-a-number q is set to 0 first), which gives the
// same value as the branches on q >= 32767 and q <= -32767 without them.
int16_t to_pcm16(double x) {
  const double magnitude = std::fabs(x);
  const double d = magnitude >= 1.0 ? magnitude : 1.0;
  double q = d == 1.0 ? x * PCM16_PEAK : (x * PCM16_PEAK) / d;
  q = std::isnan(q) ? 0.0 : q;
  q = std::min(q, PCM16_PEAK);
  q = std::max(q, -PCM16_PEAK);
  return static_cast<int16_t>(q);  // conversion truncates toward zero
}

namespace pcm16 {

void frames_portable(const double* left, const double* right, int16_t* frames, int count) {
  for (int i = 0; i < count; ++i) {
    frames[2 * i] = to_pcm16(left[i]);
    frames[2 * i + 1] = to_pcm16(right[i]);
  }
}

}  // namespace pcm16

void to_pcm16_frames(const double* left, const double* right, int16_t* frames, int count) {
  host_kernel_table().pcm16_frames(left, right, frames, count);
}

}  // namespace tarn
