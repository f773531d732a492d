// The portable forward-transform kernels (transform_kernels.h): the written order of every
// product and sum, which the other forms keep lane by lane.

#include "transform/transform_kernels.h"

namespace tarn {
namespace transform {

namespace {

// (a + i b) e^(-i theta), written out as (a cos + b sin) + i (b cos - a sin).
inline void pre_twiddle(double* z, double a, double b, double c, double s) {
  z[0] = a * c + b * s;
  z[1] = b * c - a * s;
}

}  // namespace

// The window product goes straight into the pre-twiddle, without the rotated block in between:
// the rotation gives r[i] = -(window * block)[i + 3n/4] for i < n/4 and (window * block)[i - n/4]
// after, so of the four samples pre-twiddle k reads, r[2k] and r[h - 1 - 2k] come from the first
// quarter exactly when 2k < n/4, and r[n - 1 - 2k] and r[h + 2k] never do. The same doubles as
// through the rotated block.
void mdct_fold_portable(const double* block, const double* window, const double* c,
                        const double* s, double* z, int n) {
  const int q = n / 4;
  const int h = n / 2;
  const auto wf = [&](int j) { return window[j] * block[j]; };
  int k = 0;
  for (; 2 * k < q; ++k) {
    const double a = (-wf(2 * k + 3 * q) - wf(n - 1 - 2 * k - q)) * 0.5;
    const double b = (wf(h + 2 * k - q) - wf(h - 1 - 2 * k - q)) * (-0.5);
    pre_twiddle(z + 2 * k, a, b, c[k], s[k]);
  }
  for (; k < q; ++k) {
    const double a = (wf(2 * k - q) - wf(n - 1 - 2 * k - q)) * 0.5;
    const double b = (wf(h + 2 * k - q) - -wf(h - 1 - 2 * k + 3 * q)) * (-0.5);
    pre_twiddle(z + 2 * k, a, b, c[k], s[k]);
  }
}

void mdct_post_portable(const double* spectrum, const double* c, const double* s, double* out,
                        int n) {
  const int q = n / 4;
  for (int k = 0; k < q; ++k) {
    const double p = spectrum[2 * k];
    const double rr = spectrum[2 * k + 1];
    const double u = p * c[k] + rr * s[k];
    const double v = rr * c[k] - p * s[k];
    out[2 * k] = 2.0 * u;
    out[n / 2 - 1 - 2 * k] = -2.0 * v;
  }
}

void window_product_portable(const double* x, const double* w, double* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = x[i] * w[i];
}

void split_bins_portable(const double* bins, double* re, double* im, int count) {
  for (int k = 0; k < count; ++k) {
    re[k] = bins[2 * k];
    im[k] = -bins[2 * k + 1];
  }
}

}  // namespace transform
}  // namespace tarn
