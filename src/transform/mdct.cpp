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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "transform/fftw_memory.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

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
//
// U + i V = Z[k] e^(-i theta_k); U gives the even coefficients, -V the odd ones from the top:
// out[2k] = 2 U[k] and out[N/2 - 1 - 2k] = -2 V[k], so the pair out[2j], out[2j + 1] holds
// 2 U[j] and -2 V[Q - 1 - j]. The SSE2 loop writes two such pairs at a time, U of j and j + 1 and
// V of their mirrors, each lane with the scalar line's operations; the scalar lines take the
// pair left over when Q is odd (and every pair elsewhere than on x86-64).
void mdct_from_twiddled(MdctScratch& s, double* out, int n) {
  const int q = n / 4;
  fftw_execute_dft(s.plan->plan.get(), s.z.get(), s.spectrum.get());
  const double* cs = s.plan->cos_theta.get();
  const double* sn = s.plan->sin_theta.get();
  const fftw_complex* z = s.spectrum.get();
  int j = 0;
#if defined(__SSE2__)
  for (; j + 2 <= q; j += 2) {
    const int m = q - 2 - j;  // the mirrors of j + 1 and j
    const __m128d z0 = _mm_loadu_pd(z[j]);
    const __m128d z1 = _mm_loadu_pd(z[j + 1]);
    const __m128d p = _mm_unpacklo_pd(z0, z1);
    const __m128d rr = _mm_unpackhi_pd(z0, z1);
    const __m128d u = _mm_add_pd(_mm_mul_pd(p, _mm_loadu_pd(cs + j)),
                                 _mm_mul_pd(rr, _mm_loadu_pd(sn + j)));
    const __m128d w0 = _mm_loadu_pd(z[m]);
    const __m128d w1 = _mm_loadu_pd(z[m + 1]);
    const __m128d mp = _mm_unpacklo_pd(w0, w1);
    const __m128d mrr = _mm_unpackhi_pd(w0, w1);
    const __m128d v = _mm_sub_pd(_mm_mul_pd(mrr, _mm_loadu_pd(cs + m)),
                                 _mm_mul_pd(mp, _mm_loadu_pd(sn + m)));
    const __m128d even = _mm_mul_pd(_mm_set1_pd(2.0), u);  // j, j + 1
    const __m128d odd = _mm_mul_pd(_mm_set1_pd(-2.0), _mm_shuffle_pd(v, v, 1));  // mirrors
    _mm_storeu_pd(out + 2 * j, _mm_unpacklo_pd(even, odd));
    _mm_storeu_pd(out + 2 * j + 2, _mm_unpackhi_pd(even, odd));
  }
#endif
  for (; j < q; ++j) {
    const int m = q - 1 - j;
    const double u = z[j][0] * cs[j] + z[j][1] * sn[j];
    const double v = z[m][1] * cs[m] - z[m][0] * sn[m];
    out[2 * j] = 2.0 * u;
    out[2 * j + 1] = -2.0 * v;
  }
}

// The forward transform of the rotated block r (N doubles) into N/2 coefficients. The SSE2 loop
// folds two k at a time, each lane with the scalar line's operations: the stride-2 reads are
// pairs of loads split by unpacking (the low halves going up, the high halves coming down).
void mdct_rotated(MdctScratch& s, const double* r, double* out, int n) {
  const int q = n / 4;
  const int h = n / 2;
  const double* cs = s.plan->cos_theta.get();
  const double* sn = s.plan->sin_theta.get();
  int k = 0;
#if defined(__SSE2__)
  for (; k + 2 <= q; k += 2) {
    // r[2k], r[2k + 2] less r[N - 1 - 2k], r[N - 3 - 2k]; likewise from N/2.
    const __m128d up = _mm_unpacklo_pd(_mm_loadu_pd(r + 2 * k), _mm_loadu_pd(r + 2 * k + 2));
    const __m128d down =
        _mm_unpackhi_pd(_mm_loadu_pd(r + n - 2 - 2 * k), _mm_loadu_pd(r + n - 4 - 2 * k));
    const __m128d mid_up =
        _mm_unpacklo_pd(_mm_loadu_pd(r + h + 2 * k), _mm_loadu_pd(r + h + 2 * k + 2));
    const __m128d mid_down =
        _mm_unpackhi_pd(_mm_loadu_pd(r + h - 2 - 2 * k), _mm_loadu_pd(r + h - 4 - 2 * k));
    const __m128d a = _mm_mul_pd(_mm_sub_pd(up, down), _mm_set1_pd(0.5));
    const __m128d b = _mm_mul_pd(_mm_sub_pd(mid_up, mid_down), _mm_set1_pd(-0.5));
    const __m128d c = _mm_loadu_pd(cs + k);
    const __m128d si = _mm_loadu_pd(sn + k);
    const __m128d re = _mm_add_pd(_mm_mul_pd(a, c), _mm_mul_pd(b, si));
    const __m128d im = _mm_sub_pd(_mm_mul_pd(b, c), _mm_mul_pd(a, si));
    _mm_storeu_pd(s.z[k], _mm_unpacklo_pd(re, im));
    _mm_storeu_pd(s.z[k + 1], _mm_unpackhi_pd(re, im));
  }
#endif
  for (; k < q; ++k) {
    const double a = (r[2 * k] - r[n - 1 - 2 * k]) * 0.5;
    const double b = (r[h + 2 * k] - r[h - 1 - 2 * k]) * (-0.5);
    pre_twiddle(s.z[k], a, b, cs[k], sn[k]);
  }
  mdct_from_twiddled(s, out, n);
}

// The inverse transform of m coefficients up to the even samples of the unfolded block t (N
// doubles), which hold everything: e = s.buf gets t[0], t[2], .., t[N-2] as e[0 .. M-1] (the
// post-twiddle's real parts, then its imaginary parts), and the odd samples are the even ones in
// reverse order with the sign changed, t[2j + 1] = -t[N - 2 - 2j] = -e[M - 1 - j]. The callers
// unrotate t: out[i] = t[i + N/4] for i < 3N/4, -t[i - 3N/4] after.
void imdct_even_samples(MdctScratch& s, const double* in, int m) {
  const int n = 2 * m;
  const int q = m / 2;
  const double* cos_theta = s.plan->cos_theta.get();
  const double* sin_theta = s.plan->sin_theta.get();
  // Pre-twiddle: in[2k] and in[M - 1 - 2k], the second read downwards. Plain arrays without
  // aliasing, so the compiler pairs the lanes.
  double* z = &s.z[0][0];
  int k = 0;
#if defined(__x86_64__)
  // Two k at a time (every x86-64 CPU has SSE2): in[2k], in[2k + 2] from two loads of a pair
  // each, in[M - 1 - 2k], in[M - 3 - 2k] from the two pairs below, the same lane-wise products
  // and sums, interleaved into z[k] and z[k + 1].
  const __m128d half = _mm_set1_pd(0.5);
  for (; k + 2 <= q; k += 2) {
    const __m128d a = _mm_mul_pd(half, _mm_unpacklo_pd(_mm_loadu_pd(in + 2 * k),
                                                       _mm_loadu_pd(in + 2 * k + 2)));
    const __m128d b = _mm_mul_pd(half, _mm_unpackhi_pd(_mm_loadu_pd(in + m - 2 - 2 * k),
                                                       _mm_loadu_pd(in + m - 4 - 2 * k)));
    const __m128d c = _mm_loadu_pd(cos_theta + k);
    const __m128d sn = _mm_loadu_pd(sin_theta + k);
    const __m128d re = _mm_add_pd(_mm_mul_pd(a, c), _mm_mul_pd(b, sn));
    const __m128d im = _mm_sub_pd(_mm_mul_pd(b, c), _mm_mul_pd(a, sn));
    _mm_storeu_pd(z + 2 * k, _mm_unpacklo_pd(re, im));
    _mm_storeu_pd(z + 2 * k + 2, _mm_unpackhi_pd(re, im));
  }
#endif
  for (; k < q; ++k) {
    const double a = 0.5 * in[2 * k];
    const double b = 0.5 * in[m - 1 - 2 * k];
    const double c = cos_theta[k];
    const double sn = sin_theta[k];
    z[2 * k] = a * c + b * sn;
    z[2 * k + 1] = b * c - a * sn;
  }
  fftw_execute_dft(s.plan->plan.get(), s.z.get(), s.spectrum.get());

  // Post-twiddle and scale by 8/N (multiply by 8 first, then divide by N).
  const double* spectrum = &s.spectrum[0][0];
  double* e = s.buf.get();
  if (s.plan->inverse_n != 0.0) {
    const double inverse_n = s.plan->inverse_n;
    for (int k = 0; k < q; ++k) {
      const double c = cos_theta[k];
      const double sn = sin_theta[k];
      const double p = spectrum[2 * k];
      const double rr = spectrum[2 * k + 1];
      e[k] = 8.0 * (p * c + rr * sn) * inverse_n;
      e[q + k] = 8.0 * (rr * c - p * sn) * inverse_n;
    }
  } else {
    for (int k = 0; k < q; ++k) {
      const double c = cos_theta[k];
      const double sn = sin_theta[k];
      const double p = spectrum[2 * k];
      const double rr = spectrum[2 * k + 1];
      e[k] = 8.0 * (p * c + rr * sn) / n;
      e[q + k] = 8.0 * (rr * c - p * sn) / n;
    }
  }
}

// Sample j of the unfolded block t from its even samples e (see imdct_even_samples).
inline double unfolded(const double* e, int m, int j) {
  return (j & 1) == 0 ? e[j / 2] : -e[m - 1 - j / 2];
}

// out[i] = t[i + N/4] * window[i] for i < 3N/4, then (-t[i - 3N/4]) * window[i], from the even
// samples e; window null means factors of 1 (no multiplication). With N/4 even, output pair
// (2p, 2p + 1) reads t[2p + N/4] = e[p + N/8] and t[2p + 1 + N/4] = -e[M - 1 - p - N/8]: one
// index up, one down, so the loop runs without a parity test per sample. The negations are
// those of the unfolding and the unrotation, the products the same: the same doubles.
void unrotate(const double* e, const double* window, double* out, int m) {
  const int n = 2 * m;
  const int q = n / 4;
  if (q % 2 != 0) {
    for (int i = 0; i < 3 * q; ++i) {
      const double t = unfolded(e, m, i + q);
      out[i] = window != nullptr ? t * window[i] : t;
    }
    for (int i = 3 * q; i < n; ++i) {
      const double t = -unfolded(e, m, i - 3 * q);
      out[i] = window != nullptr ? t * window[i] : t;
    }
    return;
  }
  const int h = q / 2;
  const double* up = e + h;           // t[2p + q] = up[p]
  const double* down = e + m - 1 - h; // t[2p + 1 + q] = -down[-p]
  const double* tail_down = e + m - 1;  // t[2p + 1] = -tail_down[-p]
  if (window != nullptr) {
    int p = 0;
    double* o = out + 3 * q;
    const double* w = window + 3 * q;
#if defined(__x86_64__)
    // Two p at a time: the downward pair loaded and its halves swapped; the negation flips the
    // sign bit as the scalar one does.
    const __m128d sign = _mm_set1_pd(-0.0);
    for (; p + 2 <= 3 * h; p += 2) {
      const __m128d u = _mm_loadu_pd(up + p);
      const __m128d d = _mm_loadu_pd(down - p - 1);
      const __m128d minus_d = _mm_xor_pd(sign, _mm_shuffle_pd(d, d, 1));
      _mm_storeu_pd(out + 2 * p, _mm_mul_pd(_mm_unpacklo_pd(u, minus_d),
                                            _mm_loadu_pd(window + 2 * p)));
      _mm_storeu_pd(out + 2 * p + 2, _mm_mul_pd(_mm_unpackhi_pd(u, minus_d),
                                                _mm_loadu_pd(window + 2 * p + 2)));
    }
#endif
    for (; p < 3 * h; ++p) {
      out[2 * p] = up[p] * window[2 * p];
      out[2 * p + 1] = (-down[-p]) * window[2 * p + 1];
    }
    p = 0;
#if defined(__x86_64__)
    for (; p + 2 <= h; p += 2) {
      const __m128d minus_u = _mm_xor_pd(sign, _mm_loadu_pd(e + p));
      const __m128d d = _mm_loadu_pd(tail_down - p - 1);
      const __m128d twice_minus_d = _mm_shuffle_pd(d, d, 1);
      _mm_storeu_pd(o + 2 * p, _mm_mul_pd(_mm_unpacklo_pd(minus_u, twice_minus_d),
                                          _mm_loadu_pd(w + 2 * p)));
      _mm_storeu_pd(o + 2 * p + 2, _mm_mul_pd(_mm_unpackhi_pd(minus_u, twice_minus_d),
                                              _mm_loadu_pd(w + 2 * p + 2)));
    }
#endif
    for (; p < h; ++p) {
      o[2 * p] = (-e[p]) * w[2 * p];
      o[2 * p + 1] = (-(-tail_down[-p])) * w[2 * p + 1];
    }
  } else {
    for (int p = 0; p < 3 * h; ++p) {
      out[2 * p] = up[p];
      out[2 * p + 1] = -down[-p];
    }
    double* o = out + 3 * q;
    for (int p = 0; p < h; ++p) {
      o[2 * p] = -e[p];
      o[2 * p + 1] = -(-tail_down[-p]);
    }
  }
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
  imdct_even_samples(s, in, m);
  unrotate(s.buf.get(), nullptr, out, m);
  return STATUS_OK;
}

// The window product w = window * block is rotated as mdct rotates its input: r[i] = -w[i + 3N/4]
// for i < N/4 and w[i - N/4] after, the same doubles. Both loops run two products at a time.
int mdct_windowed(MdctScratch& s, const double* block, const double* window, double* out, int n) {
  if (!valid_length(n)) return STATUS_SIZE;
  if (!ready(s, n)) return STATUS_NOT_READY;
  const int q = n / 4;
  double* r = s.buf.get();
  for (int i = 0; i < q; ++i) r[i] = -(window[i + 3 * q] * block[i + 3 * q]);
  for (int i = q; i < n; ++i) r[i] = window[i - q] * block[i - q];
  mdct_rotated(s, r, out, n);
  return STATUS_OK;
}

// Unrotation and window in one pass: the products of the unrotated samples, as in two passes.
int imdct_windowed(MdctScratch& s, const double* in, const double* window, double* out, int n) {
  if (!valid_length(n)) return STATUS_SIZE;
  if (!ready(s, n)) return STATUS_NOT_READY;
  imdct_even_samples(s, in, n / 2);
  unrotate(s.buf.get(), window, out, n / 2);
  return STATUS_OK;
}

}  // namespace tarn
