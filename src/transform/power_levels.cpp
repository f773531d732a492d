// Real FFT spectrum of a block through FFTW, and the dB level scale shared by FFT bins and MDCT
// coefficients. Level arithmetic keeps its written order: the levels steer the bit allocation,
// so they must be the same bits on every build.

#include "transform/power_levels.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

#include "kernels/kernel_table.h"
#include "transform/fftw_memory.h"
#include "transform/level_kernels.h"

namespace tarn {

using levels::FULL_SCALE_DB;

namespace {

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
  host_kernel_table().split_bins(&s.output[0][0], re, im, n / 2);
}

}  // namespace

int spectrum_init(SpectrumScratch& s, int n) {
  if (n < 2) return STATUS_SIZE;
  s = SpectrumScratch{};
  const SpectrumPlan* plan = spectrum_plan(n);
  FftwReals input(fftw_alloc_real(static_cast<size_t>(n)));
  FftwComplexes output(fftw_alloc_complex(static_cast<size_t>(n / 2) + 1));
  if (!plan || !input || !output) return STATUS_NO_MEMORY;
  s.plan = plan;
  s.input = std::move(input);
  s.output = std::move(output);
  s.n = n;
  return STATUS_OK;
}

int real_spectrum(SpectrumScratch& s, const double* x, double* re, double* im, int n) {
  if (n < 2) return STATUS_SIZE;
  if (s.n != n) return STATUS_NOT_READY;
  for (int j = 0; j < n; ++j) s.input[j] = x[j];
  run_spectrum(s, re, im, n);
  return STATUS_OK;
}

// The window product goes straight into the transform's input.
int windowed_spectrum(SpectrumScratch& s, const double* x, const double* w, double* re,
                      double* im, int n) {
  if (n < 2) return STATUS_SIZE;
  if (s.n != n) return STATUS_NOT_READY;
  host_kernel_table().window_product(x, w, s.input.get(), n);
  run_spectrum(s, re, im, n);
  return STATUS_OK;
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

namespace levels {

namespace {
LogTable make_log_table() {
  LogTable t;
  for (int i = 0; i < LOG_TABLE_SIZE; ++i) {
    const double centre = 1.0 + (i + 0.5) / LOG_TABLE_SIZE;
    t.log2_centre[i] = std::log2(centre);
    t.inverse_centre[i] = 1.0 / centre;
    t.pairs[i][0] = t.inverse_centre[i];
    t.pairs[i][1] = t.log2_centre[i];
  }
  return t;
}
}  // namespace

const LogTable& log_table() {
  static const LogTable table = make_log_table();
  return table;
}

}  // namespace levels

// The host's kernel: the levels are the same bits in every form (level_kernels.h).
void approximate_bin_levels(const double* re, const double* im, int n, double f, double* power,
                            double* approx, uint8_t* exact) {
  host_kernel_table().bin_levels(re, im, n, f, power, approx, exact);
}

namespace {

// G = 8 / ((2n)^2 0.5): with n = 256, G = 1/16384, so a coefficient of magnitude 128 is 96 dB.
// For n = 2^j, (2n)^2 0.5 = 2^(2j + 1) and the quotient is exactly 2^(2 - 2j): that double is
// built from its exponent, which keeps the division off the peak level's dependency chain.
double coefficient_gain(int n) {
  if (n > 0 && (n & (n - 1)) == 0) {
    const int j = std::countr_zero(static_cast<unsigned>(n));  // 0 .. 30
    return std::bit_cast<double>(static_cast<uint64_t>(1023 + 2 - 2 * j) << 52);
  }
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
  if (!(peak >= levels::APPROX_MIN_ARGUMENT)) return 0.0;  // every level is on the floor
  if (peak == std::numeric_limits<double>::infinity()) return peak;
  exact = false;
  const double level = FULL_SCALE_DB + 10.0 * levels::approximate_log10(levels::log_table(), peak);
  return level < 0.0 ? 0.0 : level;
}

}  // namespace tarn
