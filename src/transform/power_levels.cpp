// Real FFT spectrum of a block through FFTW, and the dB level scale shared by FFT bins and MDCT
// coefficients. Level arithmetic keeps its written order: the levels steer the bit allocation,
// so they must be the same bits on every build.

#include "transform/power_levels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

#include "transform/fftw_memory.h"

namespace tarn {

namespace {

// 0 dB on the level scale sits 96 dB below full scale.
constexpr double FULL_SCALE_DB = 96.0;

// Mean power of the coding window that the coefficient levels assume: every power-complementary
// window has w[i]^2 + w[i + n/2]^2 = 1, a mean of 0.5 whichever of the four a stream uses.
constexpr double CODING_WINDOW_POWER = 0.5;

// (2n)^2 as an integer, then as a double. Unsigned 64 bits hold it for every positive int n
// ((2 * INT_MAX)^2 < 2^64), so no n can overflow it.
double squared_block_length(int n) {
  const uint64_t two_n = 2 * static_cast<uint64_t>(n);
  const uint64_t m = two_n * two_n;
  return static_cast<double>(m);
}

// A level that is negative or not a number is no level at all: the floor, 0.0.
bool below_floor(double level) { return level < 0.0 || std::isnan(level); }

// 1 - 2^-20: powers below peak * PEAK_BOUND_FACTOR cannot reach the peak's level.
constexpr double PEAK_BOUND_FACTOR = 1.0 - 1.0 / (1 << 20);

}  // namespace

// The real FFT of one length: an out-of-place FFTW_ESTIMATE plan (which never measures), made on
// arrays from fftw_malloc and run through fftw_execute_dft_r2c on each caller's own.
struct SpectrumPlan {
  int n = 0;
  FftwPlan plan;
  std::unique_ptr<SpectrumPlan> next;  // the plan of another length, or null
};

namespace {

// One call of FFTW's real planner, run through run_fftw_planner: the arguments, and the plan it
// made (null until it returns).
struct RealPlanCall {
  int n;
  double* in;
  fftw_complex* out;
  fftw_plan plan;
};

void plan_real_fft(void* arg) {
  RealPlanCall* c = static_cast<RealPlanCall*>(arg);
  c->plan = fftw_plan_dft_r2c_1d(c->n, c->in, c->out, FFTW_ESTIMATE);
}

// A new plan of length n; null when its memory or the FFTW plan cannot be had.
std::unique_ptr<SpectrumPlan> make_spectrum_plan(int n) {
  std::unique_ptr<SpectrumPlan> p(new (std::nothrow) SpectrumPlan);
  FftwReals input(fftw_alloc_real(static_cast<size_t>(n)));
  FftwComplexes output(fftw_alloc_complex(static_cast<size_t>(n / 2) + 1));
  if (!p || !input || !output) return nullptr;
  RealPlanCall call{n, input.get(), output.get(), nullptr};
  if (!run_fftw_planner(plan_real_fft, &call)) return nullptr;
  p->plan.reset(call.plan);
  if (!p->plan) return nullptr;
  p->n = n;
  return p;
}

// The shared plan of length n (see find_or_make_plan).
const SpectrumPlan* spectrum_plan(int n) {
  static std::unique_ptr<SpectrumPlan> plans;
  return find_or_make_plan(plans, n, make_spectrum_plan);
}

// Transforms s.input and hands out bins 0 .. n/2 - 1; the Nyquist bin is dropped. The conjugate
// of FFTW's forward transform: im[k] = sum_j x[j] sin(2 pi j k / n).
void run_spectrum(SpectrumScratch& s, double* re, double* im, int n) {
  fftw_execute_dft_r2c(s.plan->plan.get(), s.input.get(), s.output.get());
  const int bins = n / 2;
  for (int k = 0; k < bins; ++k) {
    re[k] = s.output[k][0];
    im[k] = -s.output[k][1];
  }
}

}  // namespace

int spectrum_init(SpectrumScratch& s, int n) {
  if (n < 2) return TRANSFORM_ERR_SIZE;
  s = SpectrumScratch{};
  const SpectrumPlan* plan = spectrum_plan(n);
  FftwReals input(fftw_alloc_real(static_cast<size_t>(n)));
  FftwComplexes output(fftw_alloc_complex(static_cast<size_t>(n / 2) + 1));
  if (!plan || !input || !output) return TRANSFORM_ERR_NO_MEMORY;
  s.plan = plan;
  s.input = std::move(input);
  s.output = std::move(output);
  s.n = n;
  return TRANSFORM_OK;
}

int real_spectrum(SpectrumScratch& s, const double* x, double* re, double* im, int n) {
  if (n < 2) return TRANSFORM_ERR_SIZE;
  if (s.n != n) return TRANSFORM_ERR_NOT_READY;
  for (int j = 0; j < n; ++j) s.input[j] = x[j];
  run_spectrum(s, re, im, n);
  return TRANSFORM_OK;
}

// The window product goes straight into the transform's input.
int windowed_spectrum(SpectrumScratch& s, const double* x, const double* w, double* re,
                      double* im, int n) {
  if (n < 2) return TRANSFORM_ERR_SIZE;
  if (s.n != n) return TRANSFORM_ERR_NOT_READY;
  for (int i = 0; i < n; ++i) s.input[i] = x[i] * w[i];
  run_spectrum(s, re, im, n);
  return TRANSFORM_OK;
}

// F = 4 / ((2n)^2 P): n bins of a 2n-sample block whose window has mean power P. Dividing by P
// removes the window's loss of power; a bin power p = (2n)^2 P / 4 maps to 96 dB, which without a
// window (P = 1) is the peak bin of a full-scale sine, |X| = 2n / 2. With n = 256 and the Hann
// window's P = 0.375, F = 1/24576.
double bin_level_factor(int n, double window_power) {
  return 4.0 / (squared_block_length(n) * window_power);
}

double bin_level(double p, double f) {
  const double level = FULL_SCALE_DB - (-10.0 * std::log10(p * f));
  if (below_floor(level)) return 0.0;
  if (p == 0.0) return 0.0;
  return level;
}

namespace {

// The approximate logarithm: x = m 2^e with m in [1, 2); the top LOG_TABLE_BITS bits of m pick
// a centre c_i = 1 + (i + 1/2) / 2^LOG_TABLE_BITS, and
//   log2 x = e + log2 c_i + log2(1 + r),  r = m / c_i - 1 = m (1 / c_i) - 1,  |r| < 2^-8,
//   log2(1 + r) = (r - r^2/2 + r^3/3) / ln 2 + O(r^4 / 4),
// an error below 1e-10 in log2 x. Rounding adds at most a few units of 2^-52 times |log2 x|
// (below 1100 for the x it takes), so log10 x is within 1e-10 and the level, 10 log10 x, within
// 1e-9 dB of the exact value; the library's log10 is within a few units in the last place of
// it too.
constexpr int LOG_TABLE_BITS = 7;
constexpr int LOG_TABLE_SIZE = 1 << LOG_TABLE_BITS;
constexpr double LOG10_2 = 0.30102999566398119521;
constexpr double INV_LN_2 = 1.4426950408889634074;
// Beyond these the level is certain: below 1e-11, 10 log10 x < -110 and the level is under the
// floor; above 1e300 the exact computation is left to bin_level (it happens to no real block).
constexpr double APPROX_MIN_ARGUMENT = 1e-11;
constexpr double APPROX_MAX_ARGUMENT = 1e300;

struct LogTable {
  double log2_centre[LOG_TABLE_SIZE];
  double inverse_centre[LOG_TABLE_SIZE];
};
LogTable make_log_table() {
  LogTable t;
  for (int i = 0; i < LOG_TABLE_SIZE; ++i) {
    const double centre = 1.0 + (i + 0.5) / LOG_TABLE_SIZE;
    t.log2_centre[i] = std::log2(centre);
    t.inverse_centre[i] = 1.0 / centre;
  }
  return t;
}
// Built on first use, thread-safely, and only read afterwards.
const LogTable& log_table() {
  static const LogTable table = make_log_table();
  return table;
}

// log10 x for a positive normal x, to within 1e-10 (for every x the callers pass,
// APPROX_MIN_ARGUMENT and up), with t = log_table(). Inlined into the per-bin loops, where it
// replaces log10.
[[gnu::always_inline]] inline double approximate_log10(const LogTable& t, double x) {
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const int e = static_cast<int>(bits >> 52) - 1023;
  const int i = static_cast<int>((bits >> (52 - LOG_TABLE_BITS)) & (LOG_TABLE_SIZE - 1));
  const double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
  const double r = m * t.inverse_centre[i] - 1.0;
  const double series = r * (1.0 + r * (-0.5 + r * (1.0 / 3.0)));
  return (e + t.log2_centre[i] + series * INV_LN_2) * LOG10_2;
}

// bin_level(p, f) within APPROXIMATE_LEVEL_ERROR_DB, with t = log_table(); exact is set where
// the result is bin_level itself (see approximate_bin_levels).
[[gnu::always_inline]] inline double approximate_bin_level(const LogTable& t, double p, double f,
                                                           bool& exact) {
  const double x = p * f;
  // Not a number, zero, and everything below 1e-11 are under the floor: exactly 0.0. (A p of 0
  // is 0.0 by rule even where f is infinite.)
  if (!(x >= APPROX_MIN_ARGUMENT) || p == 0.0) {
    exact = true;
    return 0.0;
  }
  if (x > APPROX_MAX_ARGUMENT) {
    exact = true;
    return bin_level(p, f);
  }
  exact = false;
  const double level = FULL_SCALE_DB + 10.0 * approximate_log10(t, x);
  return level < 0.0 ? 0.0 : level;
}

}  // namespace

namespace {

// approximate_bin_level of bins k and k + 1, two lanes at a time (SSE2; where the target has no
// SSE2 it always returns false) with every lane doing
// the scalar code's IEEE operations in its order; false, with nothing written, unless both lie
// where the approximation is taken (p f from APPROX_MIN_ARGUMENT to APPROX_MAX_ARGUMENT, p not
// 0), which the scalar code then handles.
[[gnu::always_inline]] inline bool approximate_bin_level_pair(const LogTable& t, const double* re,
                                                              const double* im, int k, double f,
                                                              double* power, double* approx,
                                                              uint8_t* exact) {
#if defined(__SSE2__)
  const __m128d a = _mm_loadu_pd(re + k);
  const __m128d b = _mm_loadu_pd(im + k);
  const __m128d p = _mm_add_pd(_mm_mul_pd(a, a), _mm_mul_pd(b, b));
  const __m128d x = _mm_mul_pd(p, _mm_set1_pd(f));
  const __m128d inside = _mm_and_pd(_mm_cmpge_pd(x, _mm_set1_pd(APPROX_MIN_ARGUMENT)),
                                    _mm_cmple_pd(x, _mm_set1_pd(APPROX_MAX_ARGUMENT)));
  const __m128d nonzero = _mm_cmpneq_pd(p, _mm_setzero_pd());
  if (_mm_movemask_pd(_mm_and_pd(inside, nonzero)) != 3) return false;
  _mm_storeu_pd(power + k, p);
  // x = m 2^e: the biased exponents to two int32 (x is positive), the table indices, and m.
  const __m128i bits = _mm_castpd_si128(x);
  const __m128i biased = _mm_shuffle_epi32(_mm_srli_epi64(bits, 52), _MM_SHUFFLE(3, 1, 2, 0));
  const __m128d e = _mm_cvtepi32_pd(_mm_sub_epi32(biased, _mm_set1_epi32(1023)));
  const __m128i index =
      _mm_and_si128(_mm_srli_epi64(bits, 52 - LOG_TABLE_BITS), _mm_set1_epi64x(LOG_TABLE_SIZE - 1));
  const int i0 = _mm_cvtsi128_si32(index);
  const int i1 = _mm_cvtsi128_si32(_mm_unpackhi_epi64(index, index));
  const __m128d m =
      _mm_castsi128_pd(_mm_or_si128(_mm_and_si128(bits, _mm_set1_epi64x(0x000FFFFFFFFFFFFFll)),
                                    _mm_set1_epi64x(0x3FF0000000000000ll)));
  const __m128d inverse = _mm_set_pd(t.inverse_centre[i1], t.inverse_centre[i0]);
  const __m128d log2_centre = _mm_set_pd(t.log2_centre[i1], t.log2_centre[i0]);
  const __m128d r = _mm_sub_pd(_mm_mul_pd(m, inverse), _mm_set1_pd(1.0));
  const __m128d inner = _mm_add_pd(_mm_set1_pd(-0.5), _mm_mul_pd(r, _mm_set1_pd(1.0 / 3.0)));
  const __m128d series = _mm_mul_pd(r, _mm_add_pd(_mm_set1_pd(1.0), _mm_mul_pd(r, inner)));
  const __m128d log10_x =
      _mm_mul_pd(_mm_add_pd(_mm_add_pd(e, log2_centre), _mm_mul_pd(series, _mm_set1_pd(INV_LN_2))),
                 _mm_set1_pd(LOG10_2));
  const __m128d level =
      _mm_add_pd(_mm_set1_pd(FULL_SCALE_DB), _mm_mul_pd(_mm_set1_pd(10.0), log10_x));
  _mm_storeu_pd(approx + k, _mm_andnot_pd(_mm_cmplt_pd(level, _mm_setzero_pd()), level));
  exact[k] = 0;
  exact[k + 1] = 0;
  return true;
#else
  (void)t, (void)re, (void)im, (void)k, (void)f, (void)power, (void)approx, (void)exact;
  return false;  // no two-lane form: the scalar code takes every bin
#endif
}

}  // namespace

namespace {

// One bin by the scalar code: power, approximation and its exact flag.
[[gnu::always_inline]] inline void approximate_one_bin(const LogTable& t, const double* re,
                                                       const double* im, int k, double f,
                                                       double* power, double* approx,
                                                       uint8_t* exact) {
  const double p = re[k] * re[k] + im[k] * im[k];
  bool e = false;
  power[k] = p;
  approx[k] = approximate_bin_level(t, p, f, e);
  exact[k] = e ? 1 : 0;
}

// Two bins at a time (SSE2), the pairs it cannot take and the last bin one by one.
void approximate_bin_levels_pairs(const double* re, const double* im, int n, double f,
                                  double* power, double* approx, uint8_t* exact) {
  const LogTable& t = log_table();
  int k = 0;
  for (; k + 2 <= n; k += 2) {
    if (approximate_bin_level_pair(t, re, im, k, f, power, approx, exact)) continue;
    for (int j = k; j < k + 2; ++j) approximate_one_bin(t, re, im, j, f, power, approx, exact);
  }
  for (; k < n; ++k) approximate_one_bin(t, re, im, k, f, power, approx, exact);
}

#if defined(__x86_64__)
// Four bins at a time (AVX2): approximate_bin_level_pair in four lanes, each lane doing its IEEE
// operations in its order (neither FMA nor contraction is enabled), the table entries gathered
// by index. Groups with a bin outside the approximation's range, and the last bins, one by one.
__attribute__((target("avx2"))) void approximate_bin_levels_quads(const double* re,
                                                                  const double* im, int n,
                                                                  double f, double* power,
                                                                  double* approx,
                                                                  uint8_t* exact) {
  const LogTable& t = log_table();
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    const __m256d a = _mm256_loadu_pd(re + k);
    const __m256d b = _mm256_loadu_pd(im + k);
    const __m256d p = _mm256_add_pd(_mm256_mul_pd(a, a), _mm256_mul_pd(b, b));
    const __m256d x = _mm256_mul_pd(p, _mm256_set1_pd(f));
    const __m256d inside =
        _mm256_and_pd(_mm256_cmp_pd(x, _mm256_set1_pd(APPROX_MIN_ARGUMENT), _CMP_GE_OQ),
                      _mm256_cmp_pd(x, _mm256_set1_pd(APPROX_MAX_ARGUMENT), _CMP_LE_OQ));
    const __m256d nonzero = _mm256_cmp_pd(p, _mm256_setzero_pd(), _CMP_NEQ_UQ);
    if (_mm256_movemask_pd(_mm256_and_pd(inside, nonzero)) != 15) {
      for (int j = k; j < k + 4; ++j) approximate_one_bin(t, re, im, j, f, power, approx, exact);
      continue;
    }
    _mm256_storeu_pd(power + k, p);
    // x = m 2^e: the biased exponents to four int32 (x is positive), the table indices, and m.
    const __m256i bits = _mm256_castpd_si256(x);
    const __m256i biased = _mm256_permutevar8x32_epi32(_mm256_srli_epi64(bits, 52),
                                                       _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
    const __m256d e =
        _mm256_cvtepi32_pd(_mm_sub_epi32(_mm256_castsi256_si128(biased), _mm_set1_epi32(1023)));
    const __m256i index = _mm256_and_si256(_mm256_srli_epi64(bits, 52 - LOG_TABLE_BITS),
                                           _mm256_set1_epi64x(LOG_TABLE_SIZE - 1));
    const __m256d m = _mm256_castsi256_pd(
        _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(0x000FFFFFFFFFFFFFll)),
                        _mm256_set1_epi64x(0x3FF0000000000000ll)));
    const __m256d inverse = _mm256_i64gather_pd(t.inverse_centre, index, 8);
    const __m256d log2_centre = _mm256_i64gather_pd(t.log2_centre, index, 8);
    const __m256d r = _mm256_sub_pd(_mm256_mul_pd(m, inverse), _mm256_set1_pd(1.0));
    const __m256d inner =
        _mm256_add_pd(_mm256_set1_pd(-0.5), _mm256_mul_pd(r, _mm256_set1_pd(1.0 / 3.0)));
    const __m256d series =
        _mm256_mul_pd(r, _mm256_add_pd(_mm256_set1_pd(1.0), _mm256_mul_pd(r, inner)));
    const __m256d log10_x = _mm256_mul_pd(
        _mm256_add_pd(_mm256_add_pd(e, log2_centre),
                      _mm256_mul_pd(series, _mm256_set1_pd(INV_LN_2))),
        _mm256_set1_pd(LOG10_2));
    const __m256d level =
        _mm256_add_pd(_mm256_set1_pd(FULL_SCALE_DB), _mm256_mul_pd(_mm256_set1_pd(10.0), log10_x));
    const __m256d negative = _mm256_cmp_pd(level, _mm256_setzero_pd(), _CMP_LT_OQ);
    _mm256_storeu_pd(approx + k, _mm256_andnot_pd(negative, level));
    std::memset(exact + k, 0, 4);
  }
  for (; k < n; ++k) approximate_one_bin(t, re, im, k, f, power, approx, exact);
}
#endif

}  // namespace

void approximate_bin_levels_lanes(int lanes, const double* re, const double* im, int n, double f,
                                  double* power, double* approx, uint8_t* exact) {
#if defined(__x86_64__)
  if (lanes == 4) {
    approximate_bin_levels_quads(re, im, n, f, power, approx, exact);
    return;
  }
#else
  (void)lanes;
#endif
  approximate_bin_levels_pairs(re, im, n, f, power, approx, exact);
}

int widest_level_lanes() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("avx2") != 0 ? 4 : 2;
#else
  return 2;
#endif
}

void approximate_bin_levels(const double* re, const double* im, int n, double f, double* power,
                            double* approx, uint8_t* exact) {
  approximate_bin_levels_lanes(widest_level_lanes(), re, im, n, f, power, approx, exact);
}

namespace {

// G = 8 / ((2n)^2 0.5): with n = 256, G = 1/16384, so a coefficient of magnitude 128 is 96 dB.
double coefficient_gain(int n) {
  return 8.0 / (squared_block_length(n) * CODING_WINDOW_POWER);
}

// The level of coefficient c whose power (g c) c is power.
double coefficient_level(double c, double power) {
  const double level = FULL_SCALE_DB + 10.0 * std::log10(power);
  if (below_floor(level)) return 0.0;
  if (c == 0.0) return 0.0;
  return level;
}

}  // namespace

// Why the skipped bins cannot matter: power < peak (1 - 2^-20) puts log10(power) at least
// 4.1e-7 below log10(peak), while the library's log10 is within a few units in the last place
// (below 1e-13 for any double), so the computed logarithms keep their order; so do the product
// by 10, the sum with 96 and the floor, which are all monotonic. Such a bin's level is at most
// the peak bin's, which is computed. A power that is not a number is never below the bound and
// is computed too.
void coefficient_levels_for_peak(const double* c, int first, int last, int n, double* levels) {
  const double g = coefficient_gain(n);
  double peak = -std::numeric_limits<double>::infinity();
  for (int k = first; k <= last; ++k) {
    const double power = (g * c[k]) * c[k];
    levels[k] = power;  // held here until the bound is known
    if (power > peak) peak = power;
  }
  const double bound = peak * PEAK_BOUND_FACTOR;
  for (int k = first; k <= last; ++k) {
    levels[k] = levels[k] < bound ? 0.0 : coefficient_level(c[k], levels[k]);
  }
}

// The range's largest level belongs to its largest power P (see coefficient_levels_for_peak: the
// bins that can hold it have powers within a factor 1 - 2^-20 of P, and levels within 1e-13 dB
// of P's), so the approximate level of P is within the bound of it too.
double approximate_peak_coefficient_level(const double* c, int first, int last, int n,
                                          bool& exact) {
  const double g = coefficient_gain(n);
  double peak = -std::numeric_limits<double>::infinity();  // powers that are numbers only
  for (int k = first; k <= last; ++k) {
    const double power = (g * c[k]) * c[k];
    if (power > peak) peak = power;
  }
  exact = true;
  if (!(peak >= APPROX_MIN_ARGUMENT)) return 0.0;  // every level is on the floor
  if (peak == std::numeric_limits<double>::infinity()) return peak;
  exact = false;
  const double level = FULL_SCALE_DB + 10.0 * approximate_log10(log_table(), peak);
  return level < 0.0 ? 0.0 : level;
}

}  // namespace tarn
