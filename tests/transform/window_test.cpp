#include "transform/window.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace tarn {
namespace {

// Half a unit in the 12th significant digit of x: the rounding error of a value quoted to 12
// significant digits.
double half_unit_12_digits(double x) {
  return 0.5 * std::pow(10.0, std::floor(std::log10(std::fabs(x))) - 11.0);
}

// I0(x) = sum_k ((x/2)^k / k!)^2, summed in long double until the terms vanish: an independent
// reference for the rational approximation.
long double bessel_i0_series(long double x) {
  long double term = 1.0L, sum = 1.0L;
  for (int k = 1; k < 200 && term > sum * 1e-22L; ++k) {
    term *= (x / 2) * (x / 2) / (static_cast<long double>(k) * k);
    sum += term;
  }
  return sum;
}

// The Kaiser-Bessel-derived window straight from its definition, in long double with the series.
std::vector<double> kbd_reference(int n, double alpha) {
  const long double pi = 3.14159265358979323846264338327950288L;
  const int h = n / 2;
  std::vector<long double> cumulative(h + 1);
  long double sum = 0;
  for (int j = 0; j <= h; ++j) {
    const long double t = 4.0L * j / n - 1;
    sum += bessel_i0_series(std::sqrt(1 - t * t) * alpha * pi);
    cumulative[j] = sum;
  }
  std::vector<double> w(n);
  for (int i = 0; i < h; ++i) {
    w[i] = w[n - 1 - i] = static_cast<double>(std::sqrt(cumulative[i] / sum));
  }
  return w;
}

using Builder = void (*)(double*, int);
void kbd_alpha4(double* w, int n) { kbd_window(w, n, KBD_ALPHA); }

struct ValueCase {
  const char* name;
  Builder build;
  int index;
  double expected;  // quoted to 12 significant digits
};
const ValueCase VALUE_CASES[] = {
    {"sine w[0]", sine_window, 0, 0.00306795676297},
    {"sine w[255]", sine_window, 255, 0.999995293810},
    {"sine w[256]", sine_window, 256, 0.999995293810},
    {"vorbis w[0]", vorbis_window, 0, 1.47848984710e-05},
    {"hann w[0]", hann_window, 0, 9.41235869945e-06},
    {"hann w[255]", hann_window, 255, 0.999990587641},
};

TEST(Window, KnownValuesAt512) {
  std::vector<double> w(512);
  for (const ValueCase& c : VALUE_CASES) {
    SCOPED_TRACE(c.name);
    c.build(w.data(), 512);
    EXPECT_NEAR(w[c.index], c.expected, half_unit_12_digits(c.expected));
  }
}

TEST(Window, KbdMatchesDefinition) {
  struct Quoted {
    int index;
    double value;  // quoted to 8 decimals
  };
  const Quoted quoted[] = {{0, 0.00058512}, {1, 0.00096421}, {255, 0.99999983}, {256, 0.99999983}};
  std::vector<double> w(512);
  kbd_window(w.data(), 512, 4.0);
  for (const Quoted& q : quoted) EXPECT_NEAR(w[q.index], q.value, 0.5e-8) << "index " << q.index;

  // Against the long double reference: the approximation of I0 is good to a few parts in 1e15 and
  // the running sum adds 256 rounding errors of 1e-16 relative, so 12 digits must agree.
  for (int n : {2, 16, 512}) {
    kbd_window(w.data(), n, 4.0);
    const std::vector<double> ref = kbd_reference(n, 4.0);
    for (int i = 0; i < n; ++i) {
      EXPECT_NEAR(w[i], ref[i], 1e-12 * ref[i]) << "n " << n << " index " << i;
    }
  }
}

TEST(Window, BesselI0) {
  EXPECT_EQ(bessel_i0(0.0), 1.0);
  EXPECT_EQ(bessel_i0(-0.0), 1.0);
  EXPECT_NEAR(bessel_i0(1.0), 1.26606587775201, 0.5e-14);
  // 0 to 4 pi is the range the KBD kernel uses with alpha 4.
  for (double x = 0.01; x <= 4 * 3.141592653589793; x += 0.37) {
    EXPECT_EQ(bessel_i0(-x), bessel_i0(x)) << "x " << x;
    const double ref = static_cast<double>(bessel_i0_series(x));
    EXPECT_NEAR(bessel_i0(x), ref, 1e-14 * ref) << "x " << x;
  }
}

// Symmetry and power complement make the MDCT's time aliasing cancel in overlap-add. The closed
// forms hold both to an ulp or two; the KBD window's running sum over 256 kernel values carries
// rounding of about 256 eps / 2 = 3e-14 at worst, in practice near 1e-15.
TEST(Window, CodingWindowsSymmetricAndPowerComplementary) {
  for (int type = 0; type <= 3; ++type) {
    for (int n : {2, 16, 512}) {
      SCOPED_TRACE(std::string(window_label(static_cast<WindowType>(type))) + std::to_string(n));
      std::vector<double> w(n);
      build_coding_window(w.data(), n, static_cast<WindowType>(type));
      for (int i = 0; i < n / 2; ++i) {
        EXPECT_NEAR(w[n - 1 - i], w[i], 1e-15) << "index " << i;
        EXPECT_NEAR(w[i] * w[i] + w[i + n / 2] * w[i + n / 2], 1.0, 1e-14) << "index " << i;
      }
    }
  }
}

TEST(Window, RectangularIsOneOverRootTwo) {
  for (int n : {1, 7, 512}) {
    std::vector<double> w(n);
    rectangular_window(w.data(), n);
    for (int i = 0; i < n; ++i) EXPECT_EQ(w[i], 0.7071067811865475) << "n " << n << " index " << i;
  }
}

TEST(Window, HannPowerIsTheMeanPowerOfTheSamples) {
  // The constant the bin levels divide by is the true mean power of the samples.
  for (int n : {3, 4, 64, 512}) {
    std::vector<double> w(n);
    hann_window(w.data(), n);
    double power = 0.0;
    for (double v : w) power += v * v;
    EXPECT_NEAR(power / n, HANN_WINDOW_POWER, 1e-15) << "n " << n;
  }
}

TEST(Window, NonPositiveLengthWritesNothing) {
  const Builder builders[] = {sine_window, kbd_alpha4, vorbis_window, rectangular_window,
                              hann_window};
  for (Builder build : builders) {
    for (int n : {0, -1, -512}) {
      double sentinel[2] = {-7.0, -7.0};
      build(sentinel, n);
      EXPECT_EQ(sentinel[0], -7.0) << "n " << n;
      EXPECT_EQ(sentinel[1], -7.0) << "n " << n;
    }
  }
}

// Odd lengths are not used by the codec; the centre sample gets 1.0 instead of being left alone.
TEST(Window, KbdOddLengthFillsCentre) {
  std::vector<double> w(9, -7.0);
  kbd_window(w.data(), 9, 4.0);
  EXPECT_EQ(w[4], 1.0);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(w[8 - i], w[i]);
    EXPECT_GT(w[i], 0.0);
    EXPECT_LT(w[i], w[i + 1]);
  }
}

TEST(Window, SelectionAndLabelForEveryByte) {
  struct Choice {
    Builder build;
    const char* label;
  };
  const Choice named[] = {{sine_window, "sine "}, {kbd_alpha4, "kbd "}, {vorbis_window, "vorbis "}};
  const Choice other = {rectangular_window, "rectangular "};
  std::vector<double> got(16), want(16);
  for (int type = 0; type <= 255; ++type) {
    SCOPED_TRACE(type);
    const Choice& expected = type < 3 ? named[type] : other;
    build_coding_window(got.data(), 16, static_cast<WindowType>(type));
    expected.build(want.data(), 16);
    EXPECT_EQ(std::memcmp(got.data(), want.data(), 16 * sizeof(double)), 0);
    EXPECT_STREQ(window_label(static_cast<WindowType>(type)), expected.label);
  }
}

}  // namespace
}  // namespace tarn
