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

#include "kernels/kernel_table.h"
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
// coefficients (U + i V = Z[k] e^(-i theta_k); U gives the even coefficients, -V the odd ones
// from the top), by the host's kernel.
void mdct_from_twiddled(MdctScratch& s, double* out, int n) {
  fftw_execute_dft(s.plan->plan.get(), s.z.get(), s.spectrum.get());
  host_kernel_table().mdct_post(&s.spectrum[0][0], s.plan->cos_theta.get(),
                                s.plan->sin_theta.get(), out, n);
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

// Where unrotate's samples go: put(i, v) takes sample i, put2(i, v) samples i and i + 1 (i
// even). ToArray stores sample i at out[i - from]; AddHeld adds the held second half of the
// block before to it (the sample first, then the held value, as a separate sum would add them)
// into sum[i].
struct ToArray {
  double* out;
  int from;
  void put(int i, double v) const { out[i - from] = v; }
#if defined(__x86_64__)
  void put2(int i, __m128d v) const { _mm_storeu_pd(out + i - from, v); }
#endif
};

struct AddHeld {
  const double* held;
  double* sum;
  void put(int i, double v) const { sum[i] = v + held[i]; }
#if defined(__x86_64__)
  void put2(int i, __m128d v) const {
    _mm_storeu_pd(sum + i, _mm_add_pd(v, _mm_loadu_pd(held + i)));
  }
#endif
};

// The first half of the samples when they are not wanted.
struct Drop {
  void put(int, double) const {}
#if defined(__x86_64__)
  void put2(int, __m128d) const {}
#endif
};

// Sample i = t[i + N/4] * window[i] for i < 3N/4, then (-t[i - 3N/4]) * window[i], from the even
// samples e, in increasing i, the first half (i < M) to low and the second to high; window null
// means factors of 1 (no multiplication). With N/4 even, output pair (2p, 2p + 1) reads
// t[2p + N/4] = e[p + N/8] and t[2p + 1 + N/4] = -e[M - 1 - p - N/8]: one index up, one down,
// so the loop runs without a parity test per sample. The negations are those of the unfolding
// and the unrotation, the products the same: the same doubles.
template <typename Low, typename High>
void unrotate(const double* e, const double* window, const Low& low, const High& high, int m) {
  const int n = 2 * m;
  const int q = n / 4;
  const auto put = [&](int i, double v) {
    if (i < m) {
      low.put(i, v);
    } else {
      high.put(i, v);
    }
  };
  if (q % 2 != 0 || window == nullptr) {
    for (int i = 0; i < 3 * q; ++i) {
      const double t = unfolded(e, m, i + q);
      put(i, window != nullptr ? t * window[i] : t);
    }
    for (int i = 3 * q; i < n; ++i) {
      const double t = -unfolded(e, m, i - 3 * q);
      put(i, window != nullptr ? t * window[i] : t);
    }
    return;
  }
  const int h = q / 2;
  const double* up = e + h;             // t[2p + q] = up[p]
  const double* down = e + m - 1 - h;   // t[2p + 1 + q] = -down[-p]
  const double* tail_down = e + m - 1;  // t[2p + 1] = -tail_down[-p]
  // Output pairs 2p, 2p + 1 for p in [begin, end) of the first part (i < 3N/4), into out.
  const auto first_part = [&](int begin, int end, const auto& out) {
    int p = begin;
#if defined(__x86_64__)
    // Two p at a time: the downward pair loaded and its halves swapped; the negation flips the
    // sign bit as the scalar one does.
    const __m128d sign = _mm_set1_pd(-0.0);
    for (; p + 2 <= end; p += 2) {
      const __m128d u = _mm_loadu_pd(up + p);
      const __m128d d = _mm_loadu_pd(down - p - 1);
      const __m128d minus_d = _mm_xor_pd(sign, _mm_shuffle_pd(d, d, 1));
      out.put2(2 * p, _mm_mul_pd(_mm_unpacklo_pd(u, minus_d), _mm_loadu_pd(window + 2 * p)));
      out.put2(2 * p + 2,
               _mm_mul_pd(_mm_unpackhi_pd(u, minus_d), _mm_loadu_pd(window + 2 * p + 2)));
    }
#endif
    for (; p < end; ++p) {
      out.put(2 * p, up[p] * window[2 * p]);
      out.put(2 * p + 1, (-down[-p]) * window[2 * p + 1]);
    }
  };
  // Outputs below M are the pairs p < M/2 = N/4 (N/4 is even, so no two-p step straddles it).
  first_part(0, q, low);
  first_part(q, 3 * h, high);
  const int o = 3 * q;
  int p = 0;
#if defined(__x86_64__)
  const __m128d sign = _mm_set1_pd(-0.0);
  for (; p + 2 <= h; p += 2) {
    const __m128d minus_u = _mm_xor_pd(sign, _mm_loadu_pd(e + p));
    const __m128d d = _mm_loadu_pd(tail_down - p - 1);
    const __m128d twice_minus_d = _mm_shuffle_pd(d, d, 1);
    high.put2(o + 2 * p, _mm_mul_pd(_mm_unpacklo_pd(minus_u, twice_minus_d),
                                    _mm_loadu_pd(window + o + 2 * p)));
    high.put2(o + 2 * p + 2, _mm_mul_pd(_mm_unpackhi_pd(minus_u, twice_minus_d),
                                        _mm_loadu_pd(window + o + 2 * p + 2)));
  }
#endif
  for (; p < h; ++p) {
    high.put(o + 2 * p, (-e[p]) * window[o + 2 * p]);
    high.put(o + 2 * p + 1, (-(-tail_down[-p])) * window[o + 2 * p + 1]);
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
  unrotate(s.buf.get(), nullptr, ToArray{out, 0}, ToArray{out, 0}, m);
  return STATUS_OK;
}

// The window product, rotation, folding and pre-twiddle in one pass (the host's kernel), then
// the FFT and post-twiddle: the same doubles as through the rotated block.
int mdct_windowed(MdctScratch& s, const double* block, const double* window, double* out, int n) {
  if (!valid_length(n)) return STATUS_SIZE;
  if (!ready(s, n)) return STATUS_NOT_READY;
  host_kernel_table().mdct_fold(block, window, s.plan->cos_theta.get(), s.plan->sin_theta.get(),
                                &s.z[0][0], n);
  mdct_from_twiddled(s, out, n);
  return STATUS_OK;
}

// Unrotation and window in one pass: the products of the unrotated samples, as in two passes.
int imdct_windowed(MdctScratch& s, const double* in, const double* window, double* out, int n) {
  if (!valid_length(n)) return STATUS_SIZE;
  if (!ready(s, n)) return STATUS_NOT_READY;
  imdct_even_samples(s, in, n / 2);
  unrotate(s.buf.get(), window, ToArray{out, 0}, ToArray{out, 0}, n / 2);
  return STATUS_OK;
}

int imdct_overlap(MdctScratch& s, const double* in, const double* window, const double* held,
                  double* sum, double* tail, int n) {
  if (!valid_length(n)) return STATUS_SIZE;
  if (!ready(s, n)) return STATUS_NOT_READY;
  imdct_even_samples(s, in, n / 2);
  // Each held value is read (at sample i < M) before tail's entry of the same index is written
  // (at sample i + M), so held and tail may be the same array.
  const int m = n / 2;
  if (held != nullptr) {
    unrotate(s.buf.get(), window, AddHeld{held, sum}, ToArray{tail, m}, m);
  } else {
    unrotate(s.buf.get(), window, Drop{}, ToArray{tail, m}, m);
  }
  return STATUS_OK;
}

}  // namespace tarn
