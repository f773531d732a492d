// MDCT and inverse MDCT of an N-sample block through a Q = N/4 point complex FFT.
//
// Forward: the block is rotated by N/4 with a sign change, folded into Q complex values
// (pre-twiddle by e^(-i theta_k)), transformed, and twiddled again; the real and imaginary
// parts of the result give the even coefficients and the odd ones in reverse order. The inverse
// runs the same steps backwards with the same forward FFT. Index legend: n sample, k complex
// index 0 .. Q-1, N block length, M = N/2 coefficient count.
//
// The arithmetic keeps its written order (the decoded samples must be the same bits on every
// build): theta_k = (k + 0.125) * w with w = pi / (N/2), and every product in the order written.
//
// The plan, the twiddles cos(theta_k) and sin(theta_k) and 1/N belong to the length and are made
// once per length for the process (mdct_plan); the arrays the FFT runs on belong to the caller's
// MdctScratch, which mdct_init sets up once, so that the transforms themselves neither plan nor
// allocate. Each twiddle is computed by cos and sin of the very theta_k above.

#include "transform/mdct.h"

#include <climits>
#include <cmath>
#include <memory>
#include <new>

#include "transform/fftw_memory.h"

namespace tarn {

namespace {

constexpr double PI = 3.141592653589793;

// A length the transforms take: a positive multiple of 4, so that Q = N/4 is whole and the
// folding pairs every sample.
bool valid_length(int n) { return n > 0 && n % 4 == 0; }

}  // namespace

// Everything of one length that does not change. Forward and inverse share it: both run the
// same forward Q-point FFT with the same twiddles (the forward transform forms w as pi / (N/2),
// the inverse as pi / M, the same double). The plan is out of place and made with FFTW_ESTIMATE
// (which never measures) on arrays from fftw_malloc; it runs on the caller's arrays through
// fftw_execute_dft.
struct MdctPlan {
  int n = 0;
  FftwPlan plan;                        // Q-point forward FFT
  std::unique_ptr<double[]> cos_theta;  // cos((k + 0.125) * w), k < Q
  std::unique_ptr<double[]> sin_theta;  // sin((k + 0.125) * w), k < Q
  // 1 / N when N is a power of two, else 0. Dividing by a power of two and multiplying by its
  // reciprocal, which is exact, round the same real number: the same double, subnormals
  // included. The inverse transform's scaling then needs no division.
  double inverse_n = 0.0;
  std::unique_ptr<MdctPlan> next;       // the plan of another length, or null
};

namespace {

// One call of FFTW's complex planner, run through run_fftw_planner: the arguments, and the plan
// it made (null until it returns).
struct ComplexPlanCall {
  int q;
  fftw_complex* in;
  fftw_complex* out;
  fftw_plan plan;
};

void plan_complex_fft(void* arg) {
  ComplexPlanCall* c = static_cast<ComplexPlanCall*>(arg);
  c->plan = fftw_plan_dft_1d(c->q, c->in, c->out, FFTW_FORWARD, FFTW_ESTIMATE);
}

// A new plan of length n; null when its memory or the FFTW plan cannot be had.
std::unique_ptr<MdctPlan> make_mdct_plan(int n) {
  const int q = n / 4;
  std::unique_ptr<MdctPlan> p(new (std::nothrow) MdctPlan);
  if (!p) return nullptr;
  p->cos_theta.reset(new (std::nothrow) double[q]);
  p->sin_theta.reset(new (std::nothrow) double[q]);
  FftwComplexes z(fftw_alloc_complex(static_cast<size_t>(q)));
  FftwComplexes spectrum(fftw_alloc_complex(static_cast<size_t>(q)));
  if (!p->cos_theta || !p->sin_theta || !z || !spectrum) return nullptr;
  ComplexPlanCall call{q, z.get(), spectrum.get(), nullptr};
  if (!run_fftw_planner(plan_complex_fft, &call)) return nullptr;
  p->plan.reset(call.plan);
  if (!p->plan) return nullptr;
  const double w = PI / (n / 2);
  for (int k = 0; k < q; ++k) {
    const double theta = (k + 0.125) * w;
    p->cos_theta[k] = std::cos(theta);
    p->sin_theta[k] = std::sin(theta);
  }
  if ((n & (n - 1)) == 0) p->inverse_n = 1.0 / n;
  p->n = n;
  return p;
}

// The shared plan of length n (see find_or_make_plan).
const MdctPlan* mdct_plan(int n) {
  static std::unique_ptr<MdctPlan> plans;
  return find_or_make_plan(plans, n, make_mdct_plan);
}

#ifdef TARN_PINNED_FFTW
// The pinned FFTW's planner keeps state of its own (solvers, hash tables) beyond the plans. It
// is released when the library is unloaded (dlclose) or the process ends, after the plans: the
// lists of plans are function statics made at the first init, after this object, and so are
// destroyed before it. With the system's FFTW, that state belongs to the program.
struct FftwPlannerRelease {
  ~FftwPlannerRelease() { fftw_cleanup(); }
};
FftwPlannerRelease release_fftw_planner;
#endif

// s ready for length n: true when it was made for that length by mdct_init.
bool ready(const MdctScratch& s, int n) { return s.n == n; }

// (a + i b) e^(-i theta), written out as (a cos + b sin) + i (b cos - a sin).
void pre_twiddle(fftw_complex& z, double a, double b, double c, double s) {
  z[0] = a * c + b * s;
  z[1] = b * c - a * s;
}

// The forward transform after the pre-twiddle (s.z filled): FFT, post-twiddle into N/2
// coefficients.
void mdct_from_twiddled(MdctScratch& s, double* out, int n) {
  const int q = n / 4;
  fftw_execute_dft(s.plan->plan.get(), s.z.get(), s.spectrum.get());
  // U + i V = Z[k] e^(-i theta_k); U gives the even coefficients, -V the odd ones from the top.
  for (int k = 0; k < q; ++k) {
    const double c = s.plan->cos_theta[k];
    const double sn = s.plan->sin_theta[k];
    const double p = s.spectrum[k][0];
    const double rr = s.spectrum[k][1];
    const double u = p * c + rr * sn;
    const double v = rr * c - p * sn;
    out[2 * k] = 2.0 * u;
    out[n / 2 - 1 - 2 * k] = -2.0 * v;
  }
}

// The forward transform of the rotated block r (N doubles) into N/2 coefficients.
void mdct_rotated(MdctScratch& s, const double* r, double* out, int n) {
  const int q = n / 4;
  for (int k = 0; k < q; ++k) {
    const double a = (r[2 * k] - r[n - 1 - 2 * k]) * 0.5;
    const double b = (r[n / 2 + 2 * k] - r[n / 2 - 1 - 2 * k]) * (-0.5);
    pre_twiddle(s.z[k], a, b, s.plan->cos_theta[k], s.plan->sin_theta[k]);
  }
  mdct_from_twiddled(s, out, n);
}

// The inverse transform of m coefficients up to the unfolded samples t (N doubles, in s.buf),
// which the callers unrotate: out[i] = t[i + N/4] for i < 3N/4, -t[i - 3N/4] after.
void imdct_unfolded(MdctScratch& s, const double* in, int m) {
  const int n = 2 * m;
  const int q = m / 2;
  for (int k = 0; k < q; ++k) {
    const double a = 0.5 * in[2 * k];
    const double b = 0.5 * in[m - 1 - 2 * k];
    pre_twiddle(s.z[k], a, b, s.plan->cos_theta[k], s.plan->sin_theta[k]);
  }
  fftw_execute_dft(s.plan->plan.get(), s.z.get(), s.spectrum.get());

  // Post-twiddle and scale by 8/N (multiply by 8 first, then divide by N), unfolding into the
  // even positions of t: real parts at 0, 2, .., M-2 and imaginary parts at M, M+2, .., N-2.
  double* t = s.buf.get();
  if (s.plan->inverse_n != 0.0) {
    const double inverse_n = s.plan->inverse_n;
    for (int k = 0; k < q; ++k) {
      const double c = s.plan->cos_theta[k];
      const double sn = s.plan->sin_theta[k];
      const double p = s.spectrum[k][0];
      const double rr = s.spectrum[k][1];
      t[2 * k] = 8.0 * (p * c + rr * sn) * inverse_n;
      t[m + 2 * k] = 8.0 * (rr * c - p * sn) * inverse_n;
    }
  } else {
    for (int k = 0; k < q; ++k) {
      const double c = s.plan->cos_theta[k];
      const double sn = s.plan->sin_theta[k];
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

int mdct_init(MdctScratch& s, int n) {
  if (!valid_length(n)) return STATUS_SIZE;
  s = MdctScratch{};
  const int q = n / 4;
  const MdctPlan* plan = mdct_plan(n);
  FftwComplexes z(fftw_alloc_complex(static_cast<size_t>(q)));
  FftwComplexes spectrum(fftw_alloc_complex(static_cast<size_t>(q)));
  std::unique_ptr<double[]> buf(new (std::nothrow) double[n]);
  if (!plan || !z || !spectrum || !buf) return STATUS_NO_MEMORY;
  s.plan = plan;
  s.z = std::move(z);
  s.spectrum = std::move(spectrum);
  s.buf = std::move(buf);
  s.n = n;
  return STATUS_OK;
}

int mdct(MdctScratch& s, const double* in, double* out, int n) {
  if (!valid_length(n)) return STATUS_SIZE;
  if (!ready(s, n)) return STATUS_NOT_READY;
  const int q = n / 4;
  // Rotate by N/4 with a sign change: r = [-x[3N/4 .. N-1], x[0 .. 3N/4-1]].
  double* r = s.buf.get();
  for (int i = 0; i < q; ++i) r[i] = -in[i + 3 * q];
  for (int i = q; i < n; ++i) r[i] = in[i - q];
  mdct_rotated(s, r, out, n);
  return STATUS_OK;
}

int imdct(MdctScratch& s, const double* in, double* out, int m) {
  // N = 2M must be a positive multiple of 4 and fit in an int.
  if (m <= 0 || m > INT_MAX / 2 || !valid_length(2 * m)) return STATUS_SIZE;
  const int n = 2 * m;
  if (!ready(s, n)) return STATUS_NOT_READY;
  imdct_unfolded(s, in, m);
  // Undo the rotation: out = [t[N/4 .. N-1], -t[0 .. N/4-1]].
  const double* t = s.buf.get();
  const int quarter = n / 4;
  for (int i = 0; i < 3 * quarter; ++i) out[i] = t[i + quarter];
  for (int i = 3 * quarter; i < n; ++i) out[i] = -t[i - 3 * quarter];
  return STATUS_OK;
}

// The window product window[i] * block[i] goes straight into the pre-twiddle, without the
// rotated block in between: the rotation gives r[i] = -(window * block)[i + 3N/4] for i < N/4
// and (window * block)[i - N/4] after, so of the four samples pre-twiddle k reads,
// r[2k] and r[N/2 - 1 - 2k] come from the first quarter exactly when 2k < N/4, and
// r[N - 1 - 2k] and r[N/2 + 2k] never do. The same doubles as through the rotated block.
int mdct_windowed(MdctScratch& s, const double* block, const double* window, double* out, int n) {
  if (!valid_length(n)) return STATUS_SIZE;
  if (!ready(s, n)) return STATUS_NOT_READY;
  const int q = n / 4;
  const int h = n / 2;
  const auto wf = [&](int j) { return window[j] * block[j]; };
  int k = 0;
  for (; 2 * k < q; ++k) {
    const double a = (-wf(2 * k + 3 * q) - wf(n - 1 - 2 * k - q)) * 0.5;
    const double b = (wf(h + 2 * k - q) - wf(h - 1 - 2 * k - q)) * (-0.5);
    pre_twiddle(s.z[k], a, b, s.plan->cos_theta[k], s.plan->sin_theta[k]);
  }
  for (; k < q; ++k) {
    const double a = (wf(2 * k - q) - wf(n - 1 - 2 * k - q)) * 0.5;
    const double b = (wf(h + 2 * k - q) - -wf(h - 1 - 2 * k + 3 * q)) * (-0.5);
    pre_twiddle(s.z[k], a, b, s.plan->cos_theta[k], s.plan->sin_theta[k]);
  }
  mdct_from_twiddled(s, out, n);
  return STATUS_OK;
}

// Unrotation and window in one pass: out[i] = t[i + N/4] * window[i], then
// (-t[i - 3N/4]) * window[i]: the products of the unrotated samples, as in two passes.
int imdct_windowed(MdctScratch& s, const double* in, const double* window, double* out, int n) {
  if (!valid_length(n)) return STATUS_SIZE;
  if (!ready(s, n)) return STATUS_NOT_READY;
  imdct_unfolded(s, in, n / 2);
  const double* t = s.buf.get();
  const int quarter = n / 4;
  for (int i = 0; i < 3 * quarter; ++i) out[i] = t[i + quarter] * window[i];
  for (int i = 3 * quarter; i < n; ++i) out[i] = (-t[i - 3 * quarter]) * window[i];
  return STATUS_OK;
}

}  // namespace tarn
