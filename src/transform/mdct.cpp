// MDCT and inverse MDCT of an N-sample frame through a Q = N/4 point complex FFT.
//
// Forward: the frame is rotated by N/4 with a sign change, folded into Q complex values
// (pre-twiddle by e^(-i theta_k)), transformed, and twiddled again; the real and imaginary
// parts of the result give the even coefficients and the odd ones in reverse order. The inverse
// runs the same steps backwards with the same forward FFT. Index legend: n sample, k complex
// index 0 .. Q-1, N frame length, M = N/2 coefficient count.
//
// The arithmetic keeps its written order (the decoded samples must be the same bits on every
// build): theta_k = (k + 0.125) * w with w = pi / (N/2), and every product in the order written.
//
// Speed without a change of result: the FFT plan, its aligned arrays, the twiddles cos(theta_k)
// and sin(theta_k) and the scratch are made once per frame length and kept (MdctCache) instead
// of once per call. The tables hold exactly what the per-call formula computed, filled by the
// very same cos and sin calls on the very same theta_k, so every product sees the same operands.

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

// Everything one frame length needs, made on first use and kept for the life of the process
// (a static object: its destructor releases the plan and the arrays at exit). Forward and
// inverse share it: both run the same forward Q-point FFT with the same twiddles (the forward
// transform forms w as pi / (N/2), the inverse as pi / M, the same double).
//
// The plan is executed on the arrays it was made for, z into spectrum, out of place as before.
// Both come from fftw_malloc, which always returns memory with FFTW's SIMD alignment, as the
// arrays of the former per-call plans did: the planner (FFTW_ESTIMATE, which never measures)
// sees the same size, placement, strides and alignment and picks the same codelets, so the
// transform gives the same bits as a plan made afresh for every call.
struct MdctCache {
  int n = 0;                            // frame length the contents are for; 0 before first use
  FftwComplexes z;                      // FFT input, after the pre-twiddle
  FftwComplexes spectrum;               // FFT output
  FftwPlan plan;                        // Q-point forward FFT of z into spectrum
  std::unique_ptr<double[]> cos_theta;  // cos((k + 0.125) * w), k < Q
  std::unique_ptr<double[]> sin_theta;  // sin((k + 0.125) * w), k < Q
  std::unique_ptr<double[]> buf;        // N doubles: rotated input or unfolded output
  // 1 / N when N is a power of two, else 0. Dividing by a power of two and multiplying by its
  // reciprocal, which is exact, round the same real number: the same double, subnormals
  // included. The inverse transform's scaling then needs no division.
  double inverse_n = 0.0;
};

MdctCache mdct_cache;

void clear(MdctCache& c) {
  c.plan.reset();  // before the arrays it was made for
  c = MdctCache{};
}

// The cache for frame length n, made when the length changes. Null when the memory or the
// plan cannot be had; the cache is then empty and the next call tries again.
MdctCache* cache_for(int n) {
  MdctCache& c = mdct_cache;
  if (c.n == n) return &c;
  clear(c);
  const int q = n / 4;
  c.z.reset(fftw_alloc_complex(static_cast<size_t>(q)));
  c.spectrum.reset(fftw_alloc_complex(static_cast<size_t>(q)));
  c.cos_theta.reset(new (std::nothrow) double[q]);
  c.sin_theta.reset(new (std::nothrow) double[q]);
  c.buf.reset(new (std::nothrow) double[n]);
  if (!c.z || !c.spectrum || !c.cos_theta || !c.sin_theta || !c.buf) {
    clear(c);
    return nullptr;
  }
  // FFTW_ESTIMATE leaves the arrays alone while planning.
  c.plan.reset(fftw_plan_dft_1d(q, c.z.get(), c.spectrum.get(), FFTW_FORWARD, FFTW_ESTIMATE));
  if (!c.plan) {
    clear(c);
    return nullptr;
  }
  const double w = PI / (n / 2);
  for (int k = 0; k < q; ++k) {
    const double theta = (k + 0.125) * w;
    c.cos_theta[k] = std::cos(theta);
    c.sin_theta[k] = std::sin(theta);
  }
  if ((n & (n - 1)) == 0) c.inverse_n = 1.0 / n;
  c.n = n;
  return &c;
}

// (a + i b) e^(-i theta), written out as (a cos + b sin) + i (b cos - a sin).
void pre_twiddle(fftw_complex& z, double a, double b, double c, double s) {
  z[0] = a * c + b * s;
  z[1] = b * c - a * s;
}

// The forward transform of the rotated frame r (N doubles) into N/2 coefficients.
void mdct_rotated(MdctCache& s, const double* r, double* out, int n) {
  const int q = n / 4;
  for (int k = 0; k < q; ++k) {
    const double a = (r[2 * k] - r[n - 1 - 2 * k]) * 0.5;
    const double b = (r[n / 2 + 2 * k] - r[n / 2 - 1 - 2 * k]) * (-0.5);
    pre_twiddle(s.z[k], a, b, s.cos_theta[k], s.sin_theta[k]);
  }
  fftw_execute(s.plan.get());
  // U + i V = Z[k] e^(-i theta_k); U gives the even coefficients, -V the odd ones from the top.
  for (int k = 0; k < q; ++k) {
    const double c = s.cos_theta[k];
    const double sn = s.sin_theta[k];
    const double p = s.spectrum[k][0];
    const double rr = s.spectrum[k][1];
    const double u = p * c + rr * sn;
    const double v = rr * c - p * sn;
    out[2 * k] = 2.0 * u;
    out[n / 2 - 1 - 2 * k] = -2.0 * v;
  }
}

// The inverse transform of m coefficients up to the unfolded samples t (N doubles, in s.buf),
// which the callers unrotate: out[i] = t[i + N/4] for i < 3N/4, -t[i - 3N/4] after.
void imdct_unfolded(MdctCache& s, const double* in, int m) {
  const int n = 2 * m;
  const int q = m / 2;
  for (int k = 0; k < q; ++k) {
    const double a = 0.5 * in[2 * k];
    const double b = 0.5 * in[m - 1 - 2 * k];
    pre_twiddle(s.z[k], a, b, s.cos_theta[k], s.sin_theta[k]);
  }
  fftw_execute(s.plan.get());

  // Post-twiddle and scale by 8/N (multiply by 8 first, then divide by N), unfolding into the
  // even positions of t: real parts at 0, 2, .., M-2 and imaginary parts at M, M+2, .., N-2.
  double* t = s.buf.get();
  if (s.inverse_n != 0.0) {
    const double inverse_n = s.inverse_n;
    for (int k = 0; k < q; ++k) {
      const double c = s.cos_theta[k];
      const double sn = s.sin_theta[k];
      const double p = s.spectrum[k][0];
      const double rr = s.spectrum[k][1];
      t[2 * k] = 8.0 * (p * c + rr * sn) * inverse_n;
      t[m + 2 * k] = 8.0 * (rr * c - p * sn) * inverse_n;
    }
  } else {
    for (int k = 0; k < q; ++k) {
      const double c = s.cos_theta[k];
      const double sn = s.sin_theta[k];
      const double p = s.spectrum[k][0];
      const double rr = s.spectrum[k][1];
      t[2 * k] = 8.0 * (p * c + rr * sn) / n;
      t[m + 2 * k] = 8.0 * (rr * c - p * sn) / n;
    }
  }
  // The odd positions are the even ones in reverse order with the sign changed.
  for (int j = 0; j < n / 2; ++j) t[2 * j + 1] = -t[n - 2 - 2 * j];
}

}  // namespace

int mdct(const double* in, double* out, int n) {
  if (!valid_frame_length(n)) return TRANSFORM_ERR_SIZE;
  MdctCache* s = cache_for(n);
  if (!s) return TRANSFORM_ERR_NO_MEMORY;
  const int q = n / 4;
  // Rotate by N/4 with a sign change: r = [-x[3N/4 .. N-1], x[0 .. 3N/4-1]].
  double* r = s->buf.get();
  for (int i = 0; i < q; ++i) r[i] = -in[i + 3 * q];
  for (int i = q; i < n; ++i) r[i] = in[i - q];
  mdct_rotated(*s, r, out, n);
  return TRANSFORM_OK;
}

int imdct(const double* in, double* out, int m) {
  // N = 2M must be a positive multiple of 4 and fit in an int.
  if (m <= 0 || m > INT_MAX / 2 || !valid_frame_length(2 * m)) return TRANSFORM_ERR_SIZE;
  const int n = 2 * m;
  MdctCache* s = cache_for(n);
  if (!s) return TRANSFORM_ERR_NO_MEMORY;
  imdct_unfolded(*s, in, m);
  // Undo the rotation: out = [t[N/4 .. N-1], -t[0 .. N/4-1]].
  const double* t = s->buf.get();
  const int quarter = n / 4;
  for (int i = 0; i < 3 * quarter; ++i) out[i] = t[i + quarter];
  for (int i = 3 * quarter; i < n; ++i) out[i] = -t[i - 3 * quarter];
  return TRANSFORM_OK;
}

// The window product window[i] * frame[i] goes straight into the rotation, without the former
// scratch copy: r takes the same doubles, negated in the first quarter.
int mdct_windowed(const double* frame, const double* window, double* out, int n) {
  if (!valid_frame_length(n)) return TRANSFORM_ERR_SIZE;
  MdctCache* s = cache_for(n);
  if (!s) return TRANSFORM_ERR_NO_MEMORY;
  const int q = n / 4;
  double* r = s->buf.get();
  for (int i = 0; i < q; ++i) r[i] = -(window[i + 3 * q] * frame[i + 3 * q]);
  for (int i = q; i < n; ++i) r[i] = window[i - q] * frame[i - q];
  mdct_rotated(*s, r, out, n);
  return TRANSFORM_OK;
}

// Unrotation and window in one pass: out[i] = t[i + N/4] * window[i], then
// (-t[i - 3N/4]) * window[i]: the products of the unrotated samples, as in two passes.
int imdct_windowed(double* out, const double* window, const double* in, int n) {
  if (!valid_frame_length(n)) return TRANSFORM_ERR_SIZE;
  MdctCache* s = cache_for(n);
  if (!s) return TRANSFORM_ERR_NO_MEMORY;
  imdct_unfolded(*s, in, n / 2);
  const double* t = s->buf.get();
  const int quarter = n / 4;
  for (int i = 0; i < 3 * quarter; ++i) out[i] = t[i + quarter] * window[i];
  for (int i = 3 * quarter; i < n; ++i) out[i] = (-t[i - 3 * quarter]) * window[i];
  return TRANSFORM_OK;
}

}  // namespace tarn
