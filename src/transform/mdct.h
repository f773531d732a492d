#pragma once
// MDCT and inverse MDCT through a quarter-length complex FFT (FFTW) with pre- and post-twiddles.
//
//   mdct:  X[k] = sum_{n=0}^{N-1} x[n] cos(2pi/N (n + 1/2 + N/4)(k + 1/2)),  k < N/2, unscaled
//   imdct: y[n] = 4/N sum_{k=0}^{N/2-1} X[k] cos(2pi/N (n + 1/2 + N/4)(k + 1/2)),  n < N
//
// With a window that is symmetric and power complementary, blocks of N samples taken every N/2
// samples and passed through mdct_windowed then imdct_windowed overlap-add back to the input
// with gain 1. N must be a positive multiple of 4; the codec uses N = 512.

#include <memory>

#include "transform/fftw_memory.h"
#include "codec/status.h"

namespace tarn {

// The parts of the transform for one length N that never change: the FFT plan and the twiddles.
// Made once per length for the whole process (mdct.cpp) and only read afterwards.
struct MdctPlan;

// One caller's working storage for the transforms of one length N: the FFT's aligned input and
// output and the N-sample unfolding buffer. Each encoder or decoder owns one; two transforms may
// run at once in two threads on two scratches. Empty until mdct_init; the arrays are released
// with the object.
struct MdctScratch {
  int n = 0;                          // length the arrays are for; 0 while empty
  const MdctPlan* plan = nullptr;     // the shared plan and twiddles of length n
  FftwComplexes z;                    // N/4 values: FFT input, after the pre-twiddle
  FftwComplexes spectrum;             // N/4 values: FFT output
  std::unique_ptr<double[]> buf;      // N doubles: rotated input, or the inverse's N/2 even samples
};

// Sets s up for blocks of n samples, once, before the transforms run (when an encoder or decoder
// is made): finds or makes the shared plan of length n and allocates s's arrays. What s held
// before is released; on failure s is left empty. Returns STATUS_OK, STATUS_SIZE (n not
// a positive multiple of 4) or STATUS_NO_MEMORY (scratch or plan, FFTW's planning
// included).
int mdct_init(MdctScratch& s, int n);

// The transforms neither plan nor allocate. Each returns STATUS_OK, STATUS_SIZE, or
// STATUS_NOT_READY when s was not set up for this block length by mdct_init.
// in: n samples; out: n/2 coefficients.
int mdct(MdctScratch& s, const double* in, double* out, int n);
// in: m coefficients; out: 2m samples. Takes the coefficient count, not the block length.
int imdct(MdctScratch& s, const double* in, double* out, int m);
// mdct of window[i] * block[i]; block and window unchanged.
int mdct_windowed(MdctScratch& s, const double* block, const double* window, double* out, int n);
// out[i] = imdct(in)[i] * window[i] for i < n; in holds n/2 coefficients, window unchanged.
// The mirror of mdct_windowed: input, window, output, block length.
int imdct_windowed(MdctScratch& s, const double* in, const double* window, double* out, int n);
// imdct_windowed with the overlap-add of a decoder in the same pass: with y the windowed
// samples, sum[i] = y[i] + held[i] for i < n/2 (skipped when held is null) and tail[i] =
// y[i + n/2]. held may be the same array as tail (the held block is replaced by the new one);
// sum must not overlap either.
int imdct_overlap(MdctScratch& s, const double* in, const double* window, const double* held,
                  double* sum, double* tail, int n);

}  // namespace tarn
