// The transforms against their direct formulas, bit for bit. The transforms share one FFT plan
// and twiddle table per length and run it on the caller's scratch arrays; the references below
// plan, allocate and evaluate cos and sin in every call. Both must give the same doubles on
// every input.

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "identity_support.h"
#include "reference_levels.h"
#include "transform/fftw_memory.h"
#include "transform/mdct.h"
#include "transform/power_levels.h"
#include "transform/transform_kernels.h"
#include "transform/window.h"

namespace tarn {
namespace {

using tarn_test::first_difference;
using tarn_test::music_frame;
using tarn_test::random_frame;

constexpr double PI = 3.141592653589793;

// The transforms' working arrays, shared by the tests of this file (which run one at a time).
MdctScratch scratch;
SpectrumScratch spectrum_scratch;

// ---- The direct formulas: a plan, scratch and cos/sin per call. ----

void slow_pre_twiddle(fftw_complex& z, double a, double b, double theta) {
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  z[0] = a * c + b * s;
  z[1] = b * c - a * s;
}

void slow_mdct(const double* in, double* out, int n) {
  const int q = n / 4;
  FftwComplexes z(fftw_alloc_complex(q));
  FftwComplexes spectrum(fftw_alloc_complex(q));
  std::vector<double> r(n);
  for (int i = 0; i < q; ++i) r[i] = -in[i + 3 * q];
  for (int i = q; i < n; ++i) r[i] = in[i - q];
  const double w = PI / (n / 2);
  for (int k = 0; k < q; ++k) {
    const double a = (r[2 * k] - r[n - 1 - 2 * k]) * 0.5;
    const double b = (r[n / 2 + 2 * k] - r[n / 2 - 1 - 2 * k]) * (-0.5);
    slow_pre_twiddle(z[k], a, b, (k + 0.125) * w);
  }
  FftwPlan plan(fftw_plan_dft_1d(q, z.get(), spectrum.get(), FFTW_FORWARD, FFTW_ESTIMATE));
  fftw_execute(plan.get());
  for (int k = 0; k < q; ++k) {
    const double theta = (k + 0.125) * w;
    const double c = std::cos(theta);
    const double sn = std::sin(theta);
    const double p = spectrum[k][0];
    const double rr = spectrum[k][1];
    const double u = p * c + rr * sn;
    const double v = rr * c - p * sn;
    out[2 * k] = 2.0 * u;
    out[n / 2 - 1 - 2 * k] = -2.0 * v;
  }
}

void slow_imdct(const double* in, double* out, int m) {
  const int n = 2 * m;
  const int q = m / 2;
  FftwComplexes z(fftw_alloc_complex(q));
  FftwComplexes spectrum(fftw_alloc_complex(q));
  std::vector<double> t(n);
  const double w = PI / m;
  for (int k = 0; k < q; ++k) {
    const double a = 0.5 * in[2 * k];
    const double b = 0.5 * in[m - 1 - 2 * k];
    slow_pre_twiddle(z[k], a, b, (k + 0.125) * w);
  }
  FftwPlan plan(fftw_plan_dft_1d(q, z.get(), spectrum.get(), FFTW_FORWARD, FFTW_ESTIMATE));
  fftw_execute(plan.get());
  for (int k = 0; k < q; ++k) {
    const double theta = (k + 0.125) * w;
    const double c = std::cos(theta);
    const double sn = std::sin(theta);
    const double p = spectrum[k][0];
    const double rr = spectrum[k][1];
    t[2 * k] = 8.0 * (p * c + rr * sn) / n;
    t[m + 2 * k] = 8.0 * (rr * c - p * sn) / n;
  }
  for (int j = 0; j < n / 2; ++j) t[2 * j + 1] = -t[n - 2 - 2 * j];
  const int quarter = n / 4;
  for (int i = 0; i < 3 * quarter; ++i) out[i] = t[i + quarter];
  for (int i = 3 * quarter; i < n; ++i) out[i] = -t[i - 3 * quarter];
}

void slow_mdct_windowed(const double* block, const double* window, double* out, int n) {
  std::vector<double> t(n);
  for (int i = 0; i < n; ++i) t[i] = window[i] * block[i];
  slow_mdct(t.data(), out, n);
}

void slow_imdct_windowed(const double* in, const double* window, double* out, int n) {
  std::vector<double> t(n);
  slow_imdct(in, t.data(), n / 2);
  for (int i = 0; i < n; ++i) out[i] = t[i] * window[i];
}

void slow_real_spectrum(const double* x, double* re, double* im, int n) {
  const int bins = n / 2;
  FftwReals input(fftw_alloc_real(n));
  FftwComplexes output(fftw_alloc_complex(bins + 1));
  for (int j = 0; j < n; ++j) input[j] = x[j];
  FftwPlan plan(fftw_plan_dft_r2c_1d(n, input.get(), output.get(), FFTW_ESTIMATE));
  fftw_execute(plan.get());
  for (int k = 0; k < bins; ++k) {
    re[k] = output[k][0];
    im[k] = -output[k][1];
  }
}

void slow_windowed_spectrum(const double* x, const double* w, double* re, double* im, int n) {
  std::vector<double> scratch(n);
  for (int i = 0; i < n; ++i) scratch[i] = x[i] * w[i];
  slow_real_spectrum(scratch.data(), re, im, n);
}

// ---- Inputs: seeded random blocks at several scales, and the blocks of a music-like signal.

struct Input {
  std::vector<double> x;
  uint32_t seed;  // 0 for a music block
  int index;      // block index of a music block
};

std::vector<Input> inputs(int n, int random_count, int music_count) {
  std::vector<Input> list;
  // Down to values whose transforms are subnormal, up to ones that overflow.
  const double scales[] = {1.0, 1e-5, 3.0, 1e300, 1e-306};
  for (int i = 0; i < random_count; ++i) {
    const uint32_t seed = 7000 + 31 * i + n;
    list.push_back({random_frame(n, seed, scales[i % 5]), seed, -1});
  }
  for (int i = 0; i < music_count; ++i) {
    list.push_back({music_frame(i % 2, 37 * i, n), 0, 37 * i});
  }
  return list;
}

// The block lengths, in an order that switches the scratch arrays and plans back and forth; powers of two
// (whose scaling multiplies by the exact reciprocal) and others (which divide).
constexpr int BLOCK_LENGTHS[] = {512, 16, 512, 1024, 4, 12, 520, 512};

TEST(TransformIdentity, MdctMatchesTheDirectFormula) {
  for (int n : BLOCK_LENGTHS) {
    std::vector<double> window(n);
    build_coding_window(window.data(), n, WINDOW_KBD);
    ASSERT_EQ(mdct_init(scratch, n), STATUS_OK);
    for (const Input& in : inputs(n, 60, 60)) {
      SCOPED_TRACE(testing::Message() << "N " << n << " seed " << in.seed << " block " << in.index);
      std::vector<double> fast(n / 2), slow(n / 2);
      ASSERT_EQ(mdct(scratch, in.x.data(), fast.data(), n), STATUS_OK);
      slow_mdct(in.x.data(), slow.data(), n);
      ASSERT_EQ(first_difference(fast.data(), slow.data(), n / 2), -1);
      ASSERT_EQ(mdct_windowed(scratch, in.x.data(), window.data(), fast.data(), n), STATUS_OK);
      slow_mdct_windowed(in.x.data(), window.data(), slow.data(), n);
      ASSERT_EQ(first_difference(fast.data(), slow.data(), n / 2), -1);
    }
  }
}

// imdct_overlap against the windowed inverse and a separate overlap-add: held apart from tail,
// held as tail (replaced in place), and no held block.
void expect_same_overlap(const double* in, const double* window, int n) {
  const int h = n / 2;
  std::vector<double> y(n), held(h), sum(h, -1.0), tail(h, -1.0);
  slow_imdct_windowed(in, window, y.data(), n);
  for (int i = 0; i < h; ++i) held[i] = std::sin(0.1 * i + n);  // the block before's tail
  std::vector<double> expected_sum(h);
  for (int i = 0; i < h; ++i) expected_sum[i] = y[i] + held[i];
  ASSERT_EQ(imdct_overlap(scratch, in, window, held.data(), sum.data(), tail.data(), n),
            STATUS_OK);
  ASSERT_EQ(first_difference(sum.data(), expected_sum.data(), h), -1);
  ASSERT_EQ(first_difference(tail.data(), y.data() + h, h), -1);
  std::fill(sum.begin(), sum.end(), -1.0);
  ASSERT_EQ(imdct_overlap(scratch, in, window, held.data(), sum.data(), held.data(), n),
            STATUS_OK);
  ASSERT_EQ(first_difference(sum.data(), expected_sum.data(), h), -1);
  ASSERT_EQ(first_difference(held.data(), y.data() + h, h), -1);
  const std::vector<double> untouched(h, -1.0);
  std::fill(sum.begin(), sum.end(), -1.0);
  std::fill(tail.begin(), tail.end(), -1.0);
  ASSERT_EQ(imdct_overlap(scratch, in, window, nullptr, sum.data(), tail.data(), n), STATUS_OK);
  ASSERT_EQ(first_difference(sum.data(), untouched.data(), h), -1);
  ASSERT_EQ(first_difference(tail.data(), y.data() + h, h), -1);
}

TEST(TransformIdentity, InverseMdctMatchesTheDirectFormula) {
  for (int n : BLOCK_LENGTHS) {
    std::vector<double> window(n);
    build_coding_window(window.data(), n, WINDOW_KBD);
    ASSERT_EQ(mdct_init(scratch, n), STATUS_OK);
    for (const Input& in : inputs(n / 2, 60, 0)) {
      SCOPED_TRACE(testing::Message() << "N " << n << " seed " << in.seed);
      std::vector<double> fast(n), slow(n);
      ASSERT_EQ(imdct(scratch, in.x.data(), fast.data(), n / 2), STATUS_OK);
      slow_imdct(in.x.data(), slow.data(), n / 2);
      ASSERT_EQ(first_difference(fast.data(), slow.data(), n), -1);
      ASSERT_EQ(imdct_windowed(scratch, in.x.data(), window.data(), fast.data(), n), STATUS_OK);
      slow_imdct_windowed(in.x.data(), window.data(), slow.data(), n);
      ASSERT_EQ(first_difference(fast.data(), slow.data(), n), -1);
      expect_same_overlap(in.x.data(), window.data(), n);
    }
    // The coefficients of real blocks, as the decoder receives them (before quantisation).
    for (const Input& in : inputs(n, 0, 60)) {
      SCOPED_TRACE(testing::Message() << "N " << n << " music block " << in.index);
      std::vector<double> coefficients(n / 2), fast(n), slow(n);
      slow_mdct_windowed(in.x.data(), window.data(), coefficients.data(), n);
      ASSERT_EQ(imdct_windowed(scratch, coefficients.data(), window.data(), fast.data(), n),
                STATUS_OK);
      slow_imdct_windowed(coefficients.data(), window.data(), slow.data(), n);
      ASSERT_EQ(first_difference(fast.data(), slow.data(), n), -1);
      expect_same_overlap(coefficients.data(), window.data(), n);
    }
    // Blocks whose samples are signed zeros, or carry an infinity or a not-a-number: the
    // unfolding's and the unrotation's negations must give each zero its sign and each special
    // value its place.
    struct Special {
      const char* name;
      double (*value)(int k);
    };
    const Special specials[] = {
        {"+0", [](int) { return 0.0; }},
        {"-0", [](int) { return -0.0; }},
        {"alternating zeros", [](int k) { return k % 2 == 0 ? 0.0 : -0.0; }},
        {"one impulse", [](int k) { return k == 3 ? -1.0 : 0.0; }},
        {"an infinity",
         [](int k) { return k == 1 ? std::numeric_limits<double>::infinity() : 0.0; }},
        {"a not-a-number", [](int k) { return k == 2 ? std::nan("") : -0.0; }},
    };
    for (const Special& special : specials) {
      SCOPED_TRACE(testing::Message() << "N " << n << ", " << special.name);
      std::vector<double> coefficients(n / 2), fast(n), slow(n);
      for (int k = 0; k < n / 2; ++k) coefficients[k] = special.value(k);
      ASSERT_EQ(imdct(scratch, coefficients.data(), fast.data(), n / 2), STATUS_OK);
      slow_imdct(coefficients.data(), slow.data(), n / 2);
      ASSERT_EQ(first_difference(fast.data(), slow.data(), n), -1);
      ASSERT_EQ(imdct_windowed(scratch, coefficients.data(), window.data(), fast.data(), n),
                STATUS_OK);
      slow_imdct_windowed(coefficients.data(), window.data(), slow.data(), n);
      ASSERT_EQ(first_difference(fast.data(), slow.data(), n), -1);
      expect_same_overlap(coefficients.data(), window.data(), n);
    }
  }
}

TEST(TransformIdentity, SpectrumMatchesTheDirectFormula) {
  for (int n : {512, 2, 64, 512, 1000, 512}) {
    std::vector<double> hann(n);
    hann_window(hann.data(), n);
    ASSERT_EQ(spectrum_init(spectrum_scratch, n), STATUS_OK);
    for (const Input& in : inputs(n, 60, 60)) {
      SCOPED_TRACE(testing::Message() << "n " << n << " seed " << in.seed << " block " << in.index);
      std::vector<double> fast_re(n / 2), fast_im(n / 2), slow_re(n / 2), slow_im(n / 2);
      ASSERT_EQ(real_spectrum(spectrum_scratch, in.x.data(), fast_re.data(), fast_im.data(), n), STATUS_OK);
      slow_real_spectrum(in.x.data(), slow_re.data(), slow_im.data(), n);
      ASSERT_EQ(first_difference(fast_re.data(), slow_re.data(), n / 2), -1);
      ASSERT_EQ(first_difference(fast_im.data(), slow_im.data(), n / 2), -1);
      ASSERT_EQ(windowed_spectrum(spectrum_scratch, in.x.data(), hann.data(), fast_re.data(), fast_im.data(), n),
                STATUS_OK);
      slow_windowed_spectrum(in.x.data(), hann.data(), slow_re.data(), slow_im.data(), n);
      ASSERT_EQ(first_difference(fast_re.data(), slow_re.data(), n / 2), -1);
      ASSERT_EQ(first_difference(fast_im.data(), slow_im.data(), n / 2), -1);
    }
  }
}

// Each kernel of the forward transforms, in every table the CPU runs, against the direct form of
// its pass: lengths whose folding halves are whole vector groups (512, 1024), and ones that leave
// scalar remainders on either side or have an odd N/4 (4, 12, 36, 44, 520); random blocks at
// every scale and music blocks. The twiddles are cos and sin of (k + 0.125) pi / (N/2).
struct ForwardKernelCase {
  const char* pass;
  // Runs the pass of kernels on x (n doubles) and its direct form; the first index at which the
  // outputs differ, or -1.
  int (*first_mismatch)(const KernelTable& kernels, const std::vector<double>& x, int n);
};

struct Twiddles {
  std::vector<double> c, s;
};
Twiddles twiddles(int n) {
  Twiddles t;
  const double w = PI / (n / 2);
  for (int k = 0; k < n / 4; ++k) {
    t.c.push_back(std::cos((k + 0.125) * w));
    t.s.push_back(std::sin((k + 0.125) * w));
  }
  return t;
}

const ForwardKernelCase FORWARD_KERNEL_CASES[] = {
    {"fold", [](const KernelTable& kernels, const std::vector<double>& x, int n) {
       const int q = n / 4;
       std::vector<double> window(n);
       build_coding_window(window.data(), n, WINDOW_KBD);
       std::vector<double> r(n);  // the windowed block, rotated by N/4 with a sign change
       for (int i = 0; i < q; ++i) r[i] = -(window[i + 3 * q] * x[i + 3 * q]);
       for (int i = q; i < n; ++i) r[i] = window[i - q] * x[i - q];
       const Twiddles t = twiddles(n);
       std::vector<double> slow(2 * q), fast(2 * q, -1.0);
       for (int k = 0; k < q; ++k) {
         const double a = (r[2 * k] - r[n - 1 - 2 * k]) * 0.5;
         const double b = (r[n / 2 + 2 * k] - r[n / 2 - 1 - 2 * k]) * (-0.5);
         slow_pre_twiddle(*reinterpret_cast<fftw_complex*>(&slow[2 * k]), a, b,
                          (k + 0.125) * (PI / (n / 2)));
       }
       kernels.mdct_fold(x.data(), window.data(), t.c.data(), t.s.data(), fast.data(), n);
       return first_difference(fast.data(), slow.data(), 2 * q);
     }},
    {"post-twiddle", [](const KernelTable& kernels, const std::vector<double>& x, int n) {
       const int q = n / 4;  // x's first 2q doubles stand for the FFT's output
       const Twiddles t = twiddles(n);
       std::vector<double> slow(n / 2), fast(n / 2, -1.0);
       for (int k = 0; k < q; ++k) {
         const double u = x[2 * k] * t.c[k] + x[2 * k + 1] * t.s[k];
         const double v = x[2 * k + 1] * t.c[k] - x[2 * k] * t.s[k];
         slow[2 * k] = 2.0 * u;
         slow[n / 2 - 1 - 2 * k] = -2.0 * v;
       }
       kernels.mdct_post(x.data(), t.c.data(), t.s.data(), fast.data(), n);
       return first_difference(fast.data(), slow.data(), n / 2);
     }},
    {"window product", [](const KernelTable& kernels, const std::vector<double>& x, int n) {
       std::vector<double> hann(n), slow(n), fast(n, -1.0);
       hann_window(hann.data(), n);
       for (int i = 0; i < n; ++i) slow[i] = x[i] * hann[i];
       kernels.window_product(x.data(), hann.data(), fast.data(), n);
       return first_difference(fast.data(), slow.data(), n);
     }},
    {"bin split", [](const KernelTable& kernels, const std::vector<double>& x, int n) {
       const int bins = n / 2;  // x holds bins {re, im}
       std::vector<double> slow(n), fast(n, -1.0);
       for (int k = 0; k < bins; ++k) {
         slow[k] = x[2 * k];
         slow[bins + k] = -x[2 * k + 1];
       }
       kernels.split_bins(x.data(), fast.data(), fast.data() + bins, bins);
       return first_difference(fast.data(), slow.data(), n);
     }},
};

TEST(TransformIdentity, ForwardKernelsMatchTheirDirectForms) {
  for (const KernelTable* kernels : tarn_test::usable_kernel_tables()) {
    for (const ForwardKernelCase& c : FORWARD_KERNEL_CASES) {
      for (int n : {512, 4, 12, 36, 44, 520, 1024}) {
        for (const Input& in : inputs(n, 20, 20)) {
          SCOPED_TRACE(testing::Message() << kernels->name << " " << c.pass << " N " << n
                                          << " seed " << in.seed << " block " << in.index);
          ASSERT_EQ(c.first_mismatch(*kernels, in.x, n), -1);
        }
      }
    }
  }
}

// Only the band's largest coefficient level matters to the allocation: the levels of the bins
// that can hold it are exact, the others are the floor, and the largest is that of
// the level conversion as stated. Ranges of every width over real and random coefficients, and ones with
// equal, zero and extreme values.
TEST(TransformIdentity, PeakLevelsKeepTheLargestLevel) {
  std::vector<double> window(512);
  build_coding_window(window.data(), 512, WINDOW_KBD);
  std::vector<std::vector<double>> blocks;
  for (int i = 0; i < 80; ++i) {
    const std::vector<double> x = music_frame(i % 2, 7 * i, 512);
    std::vector<double> c(256);
    slow_mdct_windowed(x.data(), window.data(), c.data(), 512);
    blocks.push_back(c);
  }
  for (int i = 0; i < 80; ++i) blocks.push_back(random_frame(256, 500 + i, i % 2 == 0 ? 1e-4 : 300.0));
  std::vector<double> special(256, 3.0);
  special[5] = 0.0;
  special[6] = -3.0;
  special[40] = 1e-160;
  special[41] = 1e200;
  special[42] = -1e200;
  special[90] = std::nextafter(3.0, 0.0);
  special[200] = std::numeric_limits<double>::quiet_NaN();
  blocks.push_back(special);
  blocks.push_back(std::vector<double>(256, 0.0));
  int b = 0;
  for (const std::vector<double>& c : blocks) {
    std::vector<double> all(256);
    tarn_test::reference_coefficient_levels(c.data(), 256, all.data());
    for (int first = 0; first < 256; first += 1 + first / 4) {
      for (int width : {1, 2, 3, 10, 47, 76}) {
        const int last = std::min(255, first + width - 1);
        SCOPED_TRACE(testing::Message() << "block " << b << " bins " << first << " .. " << last);
        std::vector<double> peak(256, -1.0);
        coefficient_levels_for_peak(c.data(), first, last, 256, peak.data());
        double expected = all[first];
        double got = peak[first];
        for (int k = first; k <= last; ++k) {
          ASSERT_TRUE(peak[k] == 0.0 || tarn_test::same_bits(peak[k], all[k])) << "bin " << k;
          if (all[k] > expected) expected = all[k];
          if (peak[k] > got) got = peak[k];
        }
        ASSERT_TRUE(tarn_test::same_bits(got, expected));
        for (int k = 0; k < 256; ++k) {
          if (k < first || k > last) {
            ASSERT_EQ(peak[k], -1.0) << "bin " << k << " outside";
          }
        }
      }
    }
    ++b;
  }
}

// A coefficient's level at every kind of block length: the gain G = 8 / ((2n)^2 0.5) of a power
// of two is built from its exponent, any other is divided; both must be the direct formula's.
TEST(TransformIdentity, CoefficientLevelOfEveryLengthMatchesTheDirectFormula) {
  for (const int n : {1, 2, 3, 4, 12, 255, 256, 257, 300, 512, 1 << 20, (1 << 20) + 1, 1 << 30,
                      std::numeric_limits<int>::max()}) {
    const double g = 8.0 / (tarn_test::reference_squared_length(n) * 0.5);
    for (double c : {1.0, -3.0, 128.0, 1e-3, 12345.678, 3e9}) {
      SCOPED_TRACE(testing::Message() << "n " << n << " c " << c);
      const double direct = 96.0 + 10.0 * std::log10((g * c) * c);
      const double expected = direct < 0.0 || std::isnan(direct) ? 0.0 : direct;
      double level = -1.0;
      coefficient_levels_for_peak(&c, 0, 0, n, &level);
      ASSERT_TRUE(tarn_test::same_bits(level, expected)) << level << " " << expected;
      bool exact = false;
      const double approx = approximate_peak_coefficient_level(&c, 0, 0, n, exact);
      if (exact) {
        ASSERT_TRUE(tarn_test::same_bits(approx, expected));
      } else {
        ASSERT_LE(std::fabs(approx - expected), APPROXIMATE_LEVEL_ERROR_DB);
      }
    }
  }
}

// The approximate bin level stays well within its stated error of the exact one, and is the
// exact one wherever it says so: powers over the whole range of doubles, the floor's edge, the
// decades around the levels real blocks have, and special values.
TEST(TransformIdentity, ApproximateLevelStaysWithinItsBound) {
  const double f = 4.0 / (512.0 * 512.0 * 0.375);
  std::mt19937 gen(8080);
  std::vector<double> powers = {0.0, -0.0, 1e-320, 1e-300, 1e-12, 1.0, 24576.0, 1e300, 1e308,
                                std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::quiet_NaN()};
  for (int i = 0; i < 400000; ++i) {
    const double decade = i % 2 == 0 ? (gen() / 4294967296.0) * 640 - 320 : (gen() / 4294967296.0) * 16 - 8;
    powers.push_back(std::pow(10.0, decade) / f);
  }
  for (int e = -40; e <= 40; ++e) {  // around the floor: p f near 10^-9.6
    const double p = std::pow(10.0, -9.6 + e * 1e-3) / f;
    powers.push_back(p);
    powers.push_back(std::nextafter(p, 0.0));
  }
  // Whole groups (the list padded to four) of levels in range but for one bin at each place:
  // one under the floor, zero, not a number, or beyond the approximation's top.
  while (powers.size() % 4 != 0) powers.push_back(1.0);
  for (const double odd : {1e-12, 0.0, std::numeric_limits<double>::quiet_NaN(), 1e301}) {
    for (int place = 0; place < 4; ++place) {
      for (int i = 0; i < 4; ++i) powers.push_back(i == place ? odd / f : 1000.0 * (i + 1));
    }
  }
  // Each power as the spectrum of one bin, re = sqrt(p): the power the conversion forms is then
  // p to within a unit or two in the last place, on both sides of every edge above.
  const int n = static_cast<int>(powers.size());
  std::vector<double> re(n), im(n, 0.0), power(n), approx(n);
  std::vector<uint8_t> exact(n);
  for (int k = 0; k < n; ++k) re[k] = std::sqrt(powers[k]);
  // Every kernel the CPU runs (n leaves a partial group for each vector width).
  for (const KernelTable* kernels : tarn_test::usable_kernel_tables()) {
    SCOPED_TRACE(testing::Message() << kernels->name << " kernels");
    kernels->bin_levels(re.data(), im.data(), n, f, power.data(), approx.data(), exact.data());
    double worst = 0.0;
    for (int k = 0; k < n; ++k) {
      const double p = power[k];
      ASSERT_TRUE(tarn_test::same_bits(p, re[k] * re[k])) << "p " << p;
      const double level = bin_level(p, f);
      if (exact[k] != 0) {
        ASSERT_TRUE(tarn_test::same_bits(approx[k], level)) << "p " << p;
      } else {
        ASSERT_LE(std::fabs(approx[k] - level), APPROXIMATE_LEVEL_ERROR_DB / 100) << "p " << p;
        worst = std::max(worst, std::fabs(approx[k] - level));
      }
    }
    // The approximation's own error is far below the bound the masking pass allows for.
    EXPECT_LT(worst, 1e-9);
    // Bins taken two or four at a time give the bits of a bin taken alone (the one-bin call has
    // no group), whatever their neighbours are; and those of the other kernels.
    for (int k = 0; k < n; k += 7) {
      double one_power = 0.0;
      double one_approx = 0.0;
      uint8_t one_exact = 9;
      approximate_bin_levels(&re[k], &im[k], 1, f, &one_power, &one_approx, &one_exact);
      ASSERT_TRUE(tarn_test::same_bits(one_power, power[k])) << "bin " << k;
      ASSERT_TRUE(tarn_test::same_bits(one_approx, approx[k])) << "bin " << k;
      ASSERT_EQ(one_exact, exact[k]) << "bin " << k;
    }
  }
}

// Setting a scratch up again for other lengths, and both directions in between, never leaves a
// stale table or plan behind.
TEST(TransformIdentity, InterleavedLengthsKeepTheirResults) {
  const std::vector<double> x512 = music_frame(0, 100, 512);
  const std::vector<double> x64 = random_frame(64, 99);
  std::vector<double> first512(256), first64(32), again(256);
  ASSERT_EQ(mdct_init(scratch, 512), STATUS_OK);
  ASSERT_EQ(mdct(scratch, x512.data(), first512.data(), 512), STATUS_OK);
  ASSERT_EQ(mdct_init(scratch, 64), STATUS_OK);
  ASSERT_EQ(mdct(scratch, x64.data(), first64.data(), 64), STATUS_OK);
  std::vector<double> back(512);
  ASSERT_EQ(mdct_init(scratch, 512), STATUS_OK);
  ASSERT_EQ(imdct(scratch, first512.data(), back.data(), 256), STATUS_OK);
  ASSERT_EQ(mdct(scratch, x512.data(), again.data(), 512), STATUS_OK);
  EXPECT_EQ(first_difference(first512.data(), again.data(), 256), -1);
  ASSERT_EQ(mdct_init(scratch, 64), STATUS_OK);
  ASSERT_EQ(mdct(scratch, x64.data(), again.data(), 64), STATUS_OK);
  EXPECT_EQ(first_difference(first64.data(), again.data(), 32), -1);
}

}  // namespace
}  // namespace tarn
