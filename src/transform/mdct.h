#pragma once
// MDCT and inverse MDCT through a quarter-length complex FFT (FFTW) with pre- and post-twiddles.
//
//   mdct:  X[k] = sum_{n=0}^{N-1} x[n] cos(2pi/N (n + 1/2 + N/4)(k + 1/2)),  k < N/2, unscaled
//   imdct: y[n] = 4/N sum_{k=0}^{N/2-1} X[k] cos(2pi/N (n + 1/2 + N/4)(k + 1/2)),  n < N
//
// With a window that is symmetric and power complementary, frames taken every N/2 samples and
// passed through mdct_windowed then imdct_windowed overlap-add back to the input with gain 1.
// N must be a positive multiple of 4; the codec uses N = 512.

#include "transform/transform_status.h"

namespace tarn {

// in: n samples; out: n/2 coefficients.
int mdct(const double* in, double* out, int n);
// in: m coefficients; out: 2m samples. Takes the coefficient count, not the frame length.
int imdct(const double* in, double* out, int m);
// mdct of window[i] * frame[i]; frame and window unchanged.
int mdct_windowed(const double* frame, const double* window, double* out, int n);
// out[i] = imdct(in)[i] * window[i] for i < n; in holds n/2 coefficients.
int imdct_windowed(double* out, const double* window, const double* in, int n);

}  // namespace tarn
