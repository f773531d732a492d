#include "transform/power_levels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "transform/window.h"

namespace tarn {
namespace {

constexpr double SENTINEL = -7.0;

// The spectrum's working arrays, shared by the tests of this file (which run one at a time).
SpectrumScratch scratch;
constexpr double PI = 3.141592653589793;

// Uniform in [-1, 1) from the raw 32-bit output, so the values do not depend on the library's
// distribution classes.
std::vector<double> random_block(int n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<double> x(n);
  for (double& v : x) v = gen() / 2147483648.0 - 1.0;
  return x;
}

// re[k] = sum_j x[j] cos(2 pi j k / n), im[k] = sum_j x[j] sin(2 pi j k / n), in long double,
// with j k reduced mod n so the angle stays exact.
void direct_spectrum(const std::vector<double>& x, std::vector<long double>& re,
                     std::vector<long double>& im) {
  const long double pi = 3.14159265358979323846264338327950288L;
  const int n = static_cast<int>(x.size());
  for (int k = 0; k < n / 2; ++k) {
    re[k] = im[k] = 0;
    for (int j = 0; j < n; ++j) {
      const long double angle = 2 * pi * ((static_cast<int64_t>(j) * k) % n) / n;
      re[k] += x[j] * std::cos(angle);
      im[k] += x[j] * std::sin(angle);
    }
  }
}

TEST(Spectrum, MatchesDirectSum) {
  std::vector<double> hann(512);
  hann_window(hann.data(), 512);
  struct Case {
    const char* name;
    int n;
    bool windowed;  // through windowed_spectrum with the Hann window
  };
  const Case cases[] = {{"n 2", 2, false},
                        {"n 15 (odd)", 15, false},
                        {"n 64", 64, false},
                        {"n 512", 512, false},
                        {"n 512 hann", 512, true}};
  for (const Case& c : cases) {
    const uint32_t seed = 1000 + c.n;
    SCOPED_TRACE(testing::Message() << c.name << ", seed " << seed);
    const std::vector<double> x = random_block(c.n, seed);
    std::vector<double> re(c.n / 2 + 1, SENTINEL), im(c.n / 2 + 1, SENTINEL);
    std::vector<double> product(c.n);
    ASSERT_EQ(spectrum_init(scratch, c.n), STATUS_OK);
    int status;
    if (c.windowed) {
      for (int i = 0; i < c.n; ++i) product[i] = x[i] * hann[i];
      status = windowed_spectrum(scratch, x.data(), hann.data(), re.data(), im.data(), c.n);
    } else {
      product = x;
      status = real_spectrum(scratch, x.data(), re.data(), im.data(), c.n);
    }
    ASSERT_EQ(status, STATUS_OK);
    std::vector<long double> want_re(c.n / 2), want_im(c.n / 2);
    direct_spectrum(product, want_re, want_im);
    // Inputs are at most 1, so a bin is a sum of n terms of magnitude <= 1; the FFT's rounding
    // error grows like eps sqrt(n) log2(n), under 1e-13 at n = 512. 1e-12 leaves a margin but
    // still catches a wrong sign or twiddle, which are errors of order 1.
    for (int k = 0; k < c.n / 2; ++k) {
      EXPECT_NEAR(re[k], static_cast<double>(want_re[k]), 1e-12) << "bin " << k;
      EXPECT_NEAR(im[k], static_cast<double>(want_im[k]), 1e-12) << "bin " << k;
    }
    // The Nyquist bin is dropped.
    EXPECT_EQ(re[c.n / 2], SENTINEL);
    EXPECT_EQ(im[c.n / 2], SENTINEL);
  }
}

TEST(Spectrum, KnownBlocks) {
  struct Case {
    const char* name;
    double (*sample)(int j);
    int bin;        // the one bin that is not zero
    double re, im;  // its value
  };
  const Case cases[] = {
      {"zeros", [](int) { return 0.0; }, 0, 0.0, 0.0},
      {"constant", [](int) { return 1.0; }, 0, 512.0, 0.0},
      // sin(2 pi 8 j / 512): im = +256 shows that im is the conjugate's, -Im X.
      {"sine bin 8", [](int j) { return std::sin(2 * PI * 8 * j / 512); }, 8, 0.0, 256.0},
  };
  const std::vector<double> ones(512, 1.0);
  ASSERT_EQ(spectrum_init(scratch, 512), STATUS_OK);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> x(512);
    for (int j = 0; j < 512; ++j) x[j] = c.sample(j);
    std::vector<double> re(256), im(256);
    ASSERT_EQ(windowed_spectrum(scratch, x.data(), ones.data(), re.data(), im.data(), 512), STATUS_OK);
    // Rounding of 512-term sums of values <= 1.
    for (int k = 0; k < 256; ++k) {
      EXPECT_NEAR(re[k], k == c.bin ? c.re : 0.0, 1e-12) << "bin " << k;
      EXPECT_NEAR(im[k], k == c.bin ? c.im : 0.0, 1e-12) << "bin " << k;
    }
  }
}

TEST(Spectrum, RejectsShortBlocks) {
  for (int n : {1, 0, -2}) {
    double re = SENTINEL, im = SENTINEL;
    SpectrumScratch refused;
    EXPECT_EQ(spectrum_init(refused, n), STATUS_SIZE) << "n " << n;
    EXPECT_EQ(refused.n, 0) << "n " << n;
    // Null inputs: a rejected call must not read them.
    EXPECT_EQ(real_spectrum(scratch, nullptr, &re, &im, n), STATUS_SIZE) << "n " << n;
    EXPECT_EQ(windowed_spectrum(scratch, nullptr, nullptr, &re, &im, n), STATUS_SIZE) << "n " << n;
    EXPECT_EQ(re, SENTINEL);
    EXPECT_EQ(im, SENTINEL);
  }
}

// A spectrum is taken only on a scratch that spectrum_init set up for its length: an empty one,
// or one set up for another length, is refused before anything is read or written.
TEST(Spectrum, RunsOnlyOnAScratchSetUpForItsLength) {
  struct Case {
    const char* name;
    int init_length;  // 0: never set up
    int run_length;
  };
  const Case cases[] = {{"empty", 0, 512}, {"set up for 64, run at 512", 64, 512},
                        {"set up for 512, run at 15", 512, 15}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpectrumScratch s;
    if (c.init_length != 0) {
      ASSERT_EQ(spectrum_init(s, c.init_length), STATUS_OK);
    }
    double re = SENTINEL, im = SENTINEL;
    EXPECT_EQ(real_spectrum(s, nullptr, &re, &im, c.run_length), STATUS_NOT_READY);
    EXPECT_EQ(windowed_spectrum(s, nullptr, nullptr, &re, &im, c.run_length),
              STATUS_NOT_READY);
    EXPECT_EQ(re, SENTINEL);
    EXPECT_EQ(im, SENTINEL);
  }
}

// One bin at index 5 of an otherwise silent block; every other level must be 0.
struct BinLevelCase {
  const char* name;
  int n;
  double re, im;
  double level;
  double tolerance;
};
const double P_FLOOR = 24576 * std::pow(10.0, -9.6);
const BinLevelCase BIN_LEVEL_CASES[] = {
    {"p 24576", 256, std::sqrt(24576.0), 0.0, 96.0, 1e-12},
    {"p 24576 in im", 256, 0.0, -std::sqrt(24576.0), 96.0, 1e-12},
    {"p 24576 split", 256, std::sqrt(12288.0), std::sqrt(12288.0), 96.0, 1e-12},
    {"p 245.76", 256, std::sqrt(245.76), 0.0, 76.0, 1e-12},
    {"p at the floor", 256, std::sqrt(P_FLOOR), 0.0, 0.0, 1e-12},
    {"p below the floor", 256, std::sqrt(P_FLOOR / 2), 0.0, 0.0, 0.0},
    {"p denormal", 256, 0.0, 1e-160, 0.0, 0.0},
    {"p 0", 256, 0.0, 0.0, 0.0, 0.0},
    {"not a number", 256, std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0, 0.0},
    // n = 128: M = 65536, F = 1/6144; a wrong M (n^2, say) moves this by 6 dB.
    {"n 128 p 6144", 128, std::sqrt(6144.0), 0.0, 96.0, 1e-12},
};

TEST(Levels, BinLevels) {
  for (const BinLevelCase& c : BIN_LEVEL_CASES) {
    SCOPED_TRACE(c.name);
    std::vector<double> re(c.n, 0.0), im(c.n, 0.0), levels(c.n + 1, SENTINEL);
    re[5] = c.re;
    im[5] = c.im;
    const double f = bin_level_factor(c.n, HANN_WINDOW_POWER);
    for (int k = 0; k < c.n; ++k) levels[k] = bin_level(re[k] * re[k] + im[k] * im[k], f);
    EXPECT_NEAR(levels[5], c.level, c.tolerance);
    EXPECT_GE(levels[5], 0.0);
    for (int k = 0; k < c.n; ++k) {
      if (k != 5) {
        EXPECT_EQ(levels[k], 0.0) << "bin " << k;
      }
    }
    EXPECT_EQ(levels[c.n], SENTINEL);
  }
}

struct CoefficientLevelCase {
  const char* name;
  double c;
  double level;
  double tolerance;
};
const CoefficientLevelCase COEFFICIENT_LEVEL_CASES[] = {
    // G = 1/16384: (G 128) 128 is exactly 1, so the level is exactly 96.
    {"128", 128.0, 96.0, 0.0},
    {"-128", -128.0, 96.0, 0.0},
    {"12.8", 12.8, 76.0, 1e-12},
    {"below the floor", 128e-5, 0.0, 0.0},
    {"0", 0.0, 0.0, 0.0},
    {"not a number", std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0},
};

TEST(Levels, CoefficientLevels) {
  for (const CoefficientLevelCase& c : COEFFICIENT_LEVEL_CASES) {
    SCOPED_TRACE(c.name);
    std::vector<double> coefficients(256, 0.0), levels(257, SENTINEL);
    coefficients[200] = c.c;
    // The peak bin's level is exact; every other bin, silent, is on the floor.
    coefficient_levels_for_peak(coefficients.data(), 0, 255, 256, levels.data());
    EXPECT_NEAR(levels[200], c.level, c.tolerance);
    for (int k = 0; k < 256; ++k) {
      if (k != 200) {
        EXPECT_EQ(levels[k], 0.0) << "bin " << k;
      }
    }
    EXPECT_EQ(levels[256], SENTINEL);
  }
}

TEST(Levels, NonPositiveCountWritesNothing) {
  double level = SENTINEL;
  double power = SENTINEL;
  uint8_t exact = 7;
  approximate_bin_levels(nullptr, nullptr, 0, 1.0, &power, &level, &exact);
  const double c = 1.0;
  coefficient_levels_for_peak(&c, 1, 0, 1, &level);  // an empty range
  EXPECT_EQ(level, SENTINEL);
  EXPECT_EQ(power, SENTINEL);
  EXPECT_EQ(exact, 7);
}

}  // namespace
}  // namespace tarn
