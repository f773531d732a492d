// MDCT and inverse MDCT of an N-sample frame through a Q = N/4 point complex FFT.
//
// Forward: the frame is rotated by N/4 with a sign change, folded into Q complex values
// (pre-twiddle by e^(-i theta_k)), transformed, and twiddled again; the real and imaginary
// parts of the result give the even coefficients and the odd ones in reverse order. The inverse
// runs the same steps backwards with the same forward FFT. Index legend: n sample, k complex
// index 0 .. Q-1, N frame length, M = N/2 coefficient count.
//
// The arithmetic keeps its written order (the decoded samples must be the same bits on every
// build): theta_k = (k + 0.125) * w with w = pi / (N/2) formed once per call, cos and sin
// evaluated for every k (no tables), and every product in the order written.

#include "transform/mdct.h"

#include <climits>
#include <cmath>
#include <memory>
#include <new>

#include "transform/fftw_memory.h"

namespace tarn {

namespace {

constexpr double PI = 3.141592653589793;

// A frame length the transforms take: a positive multiple of 4, so that Q = N/4 is whole and
// the folding pairs every sample.
bool valid_frame_length(int n) { return n > 0 && n % 4 == 0; }

// The scratch of one call: Q complex values in and out of the FFT (FFTW's aligned memory) and
// N doubles of ordinary heap memory.
struct MdctScratch {
  FftwComplexes z;                // FFT input, after the pre-twiddle
  FftwComplexes spectrum;         // FFT output
  std::unique_ptr<double[]> buf;  // rotated input (forward) or unfolded output (inverse)
};

bool allocate_scratch(MdctScratch& s, int n) {
  const size_t q = static_cast<size_t>(n / 4);
  s.z.reset(fftw_alloc_complex(q));
  s.spectrum.reset(fftw_alloc_complex(q));
  s.buf.reset(new (std::nothrow) double[n]);
  return s.z && s.spectrum && s.buf;
}

// (a + i b) e^(-i theta), written out as (a cos + b sin) + i (b cos - a sin).
void pre_twiddle(fftw_complex& z, double a, double b, double theta) {
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  z[0] = a * c + b * s;
  z[1] = b * c - a * s;
}

// Q-point forward FFT of s.z into s.spectrum, unnormalised. The plan is made after z is filled
// (FFTW_ESTIMATE leaves the arrays alone while planning) and destroyed before returning.
int run_fft(MdctScratch& s, int q) {
  FftwPlan plan(fftw_plan_dft_1d(q, s.z.get(), s.spectrum.get(), FFTW_FORWARD, FFTW_ESTIMATE));
  if (!plan) return TRANSFORM_ERR_NO_MEMORY;
  fftw_execute(plan.get());
  return TRANSFORM_OK;
}

}  // namespace

int mdct(const double* in, double* out, int n) {
  if (!valid_frame_length(n)) return TRANSFORM_ERR_SIZE;
  MdctScratch s;
  if (!allocate_scratch(s, n)) return TRANSFORM_ERR_NO_MEMORY;
  const int q = n / 4;
  double* r = s.buf.get();

  // Rotate by N/4 with a sign change: r = [-x[3N/4 .. N-1], x[0 .. 3N/4-1]].
  for (int i = 0; i < q; ++i) r[i] = -in[i + 3 * q];
  for (int i = q; i < n; ++i) r[i] = in[i - q];

  const double w = PI / (n / 2);
  for (int k = 0; k < q; ++k) {
    const double a = (r[2 * k] - r[n - 1 - 2 * k]) * 0.5;
    const double b = (r[n / 2 + 2 * k] - r[n / 2 - 1 - 2 * k]) * (-0.5);
    pre_twiddle(s.z[k], a, b, (k + 0.125) * w);
  }

  const int status = run_fft(s, q);
  if (status != TRANSFORM_OK) return status;

  // U + i V = Z[k] e^(-i theta_k); U gives the even coefficients, -V the odd ones from the top.
  for (int k = 0; k < q; ++k) {
    const double theta = (k + 0.125) * w;
    const double c = std::cos(theta);
    const double sn = std::sin(theta);
    const double p = s.spectrum[k][0];
    const double rr = s.spectrum[k][1];
    const double u = p * c + rr * sn;
    const double v = rr * c - p * sn;
    out[2 * k] = 2.0 * u;
    out[n / 2 - 1 - 2 * k] = -2.0 * v;
  }
  return TRANSFORM_OK;
}

int imdct(const double* in, double* out, int m) {
  // N = 2M must be a positive multiple of 4 and fit in an int.
  if (m <= 0 || m > INT_MAX / 2 || !valid_frame_length(2 * m)) return TRANSFORM_ERR_SIZE;
  const int n = 2 * m;
  MdctScratch s;
  if (!allocate_scratch(s, n)) return TRANSFORM_ERR_NO_MEMORY;
  const int q = m / 2;

  const double w = PI / m;
  for (int k = 0; k < q; ++k) {
    const double a = 0.5 * in[2 * k];
    const double b = 0.5 * in[m - 1 - 2 * k];
    pre_twiddle(s.z[k], a, b, (k + 0.125) * w);
  }

  const int status = run_fft(s, q);
  if (status != TRANSFORM_OK) return status;

  // Post-twiddle and scale by 8/N (multiply by 8 first, then divide by N), unfolding into the
  // even positions of t: real parts at 0, 2, .., M-2 and imaginary parts at M, M+2, .., N-2.
  double* t = s.buf.get();
  for (int k = 0; k < q; ++k) {
    const double theta = (k + 0.125) * w;
    const double c = std::cos(theta);
    const double sn = std::sin(theta);
    const double p = s.spectrum[k][0];
    const double rr = s.spectrum[k][1];
    t[2 * k] = 8.0 * (p * c + rr * sn) / n;
    t[m + 2 * k] = 8.0 * (rr * c - p * sn) / n;
  }
  // The odd positions are the even ones in reverse order with the sign changed.
  for (int j = 0; j < n / 2; ++j) t[2 * j + 1] = -t[n - 2 - 2 * j];

  // Undo the rotation: out = [t[N/4 .. N-1], -t[0 .. N/4-1]].
  const int quarter = n / 4;
  for (int i = 0; i < 3 * quarter; ++i) out[i] = t[i + quarter];
  for (int i = 3 * quarter; i < n; ++i) out[i] = -t[i - 3 * quarter];
  return TRANSFORM_OK;
}

int mdct_windowed(const double* frame, const double* window, double* out, int n) {
  if (!valid_frame_length(n)) return TRANSFORM_ERR_SIZE;
  std::unique_ptr<double[]> t(new (std::nothrow) double[n]);
  if (!t) return TRANSFORM_ERR_NO_MEMORY;
  for (int i = 0; i < n; ++i) t[i] = window[i] * frame[i];
  return mdct(t.get(), out, n);
}

int imdct_windowed(double* out, const double* window, const double* in, int n) {
  if (!valid_frame_length(n)) return TRANSFORM_ERR_SIZE;
  std::unique_ptr<double[]> t(new (std::nothrow) double[n]);
  if (!t) return TRANSFORM_ERR_NO_MEMORY;
  const int status = imdct(in, t.get(), n / 2);
  if (status != TRANSFORM_OK) return status;
  for (int i = 0; i < n; ++i) out[i] = t[i] * window[i];
  return TRANSFORM_OK;
}

}  // namespace tarn
