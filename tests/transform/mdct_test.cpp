#include "transform/mdct.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "transform/window.h"

namespace tarn {
namespace {

constexpr double SENTINEL = -7.0;

// The transforms' working arrays, shared by the tests of this file (which run one at a time).
MdctScratch scratch;

std::vector<double> random_signal(int n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<double> x(n);
  for (double& v : x) v = gen() / 2147483648.0 - 1.0;  // uniform in [-1, 1)
  return x;
}

// cos((2 pi / N)(n + 1/2 + N/4)(k + 1/2)) = cos(pi (2n + 1 + N/2)(2k + 1) / (2N)), with the
// integer product reduced mod 4N so the long double angle stays exact.
long double basis(int n, int k, int length) {
  const long double pi = 3.14159265358979323846264338327950288L;
  const int64_t phase = (2 * int64_t{n} + 1 + length / 2) * (2 * int64_t{k} + 1) % (4 * length);
  return std::cos(pi * phase / (2 * length));
}

// The definitions, summed directly: X[k] = sum_n x[n] basis, y[n] = 4/N sum_k X[k] basis.
std::vector<double> direct_mdct(const std::vector<double>& x) {
  const int length = static_cast<int>(x.size());
  std::vector<double> out(length / 2);
  for (int k = 0; k < length / 2; ++k) {
    long double sum = 0;
    for (int n = 0; n < length; ++n) sum += x[n] * basis(n, k, length);
    out[k] = static_cast<double>(sum);
  }
  return out;
}
std::vector<double> direct_imdct(const std::vector<double>& coefficients) {
  const int length = 2 * static_cast<int>(coefficients.size());
  std::vector<double> out(length);
  for (int n = 0; n < length; ++n) {
    long double sum = 0;
    for (int k = 0; k < length / 2; ++k) sum += coefficients[k] * basis(n, k, length);
    out[n] = static_cast<double>(4.0L / length * sum);
  }
  return out;
}

TEST(Mdct, MatchesDirectSum) {
  for (int length : {16, 64, 512}) {
    const uint32_t seed = 2000 + length;
    SCOPED_TRACE(testing::Message() << "N " << length << ", seed " << seed);
    const std::vector<double> x = random_signal(length, seed);
    std::vector<double> coefficients(length / 2 + 1, SENTINEL);
    ASSERT_EQ(mdct_init(scratch, length), STATUS_OK);
    ASSERT_EQ(mdct(scratch, x.data(), coefficients.data(), length), STATUS_OK);
    EXPECT_EQ(coefficients[length / 2], SENTINEL);
    // Each coefficient sums N terms of magnitude <= 1; the FFT path rounds about eps sqrt(N)
    // log2(N) times the signal's size, measured 5e-15 at N = 512. 1e-12 keeps a margin and
    // still catches any wrong twiddle, sign or index, which err by order 1.
    const std::vector<double> want = direct_mdct(x);
    for (int k = 0; k < length / 2; ++k) {
      EXPECT_NEAR(coefficients[k], want[k], 1e-12) << "coefficient " << k;
    }

    // The inverse of random coefficients (the same draws) against its definition. The 4/N scale
    // makes its outputs about 4 / sqrt(N) of the inputs' size and its rounding (measured 6e-17)
    // shrinks with them, so 1e-14 is ample and still far below any real fault.
    const std::vector<double> c(x.begin(), x.begin() + length / 2);
    std::vector<double> y(length + 1, SENTINEL);
    ASSERT_EQ(imdct(scratch, c.data(), y.data(), length / 2), STATUS_OK);
    EXPECT_EQ(y[length], SENTINEL);
    const std::vector<double> want_y = direct_imdct(c);
    for (int n = 0; n < length; ++n) EXPECT_NEAR(y[n], want_y[n], 1e-14) << "sample " << n;
  }
}

TEST(Mdct, ImpulseAtFirstSample) {
  // N = 16: the first four coefficients, quoted to 6 decimals.
  const double quoted[] = {0.634393, -0.881921, -0.290285, 0.995185};
  std::vector<double> x(16, 0.0), coefficients(8);
  x[0] = 1.0;
  ASSERT_EQ(mdct_init(scratch, 16), STATUS_OK);
  ASSERT_EQ(mdct(scratch, x.data(), coefficients.data(), 16), STATUS_OK);
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(coefficients[k], quoted[k], 0.5e-6) << "k " << k;

  // N = 512: X[k] = cos((2 pi / 512) 128.5 (k + 1/2)). The angle reaches 404 rad, so it is taken
  // from the exact reduced phase in long double; cos of the double product alone would be off by
  // 1e-13.
  x.assign(512, 0.0);
  x[0] = 1.0;
  coefficients.resize(256);
  ASSERT_EQ(mdct_init(scratch, 512), STATUS_OK);
  ASSERT_EQ(mdct(scratch, x.data(), coefficients.data(), 512), STATUS_OK);
  for (int k = 0; k < 256; ++k) {
    EXPECT_NEAR(coefficients[k], static_cast<double>(basis(0, k, 512)), 1e-14) << "k " << k;
  }
}

TEST(Mdct, ZerosGiveZeros) {
  const std::vector<double> zeros(512, 0.0);
  std::vector<double> coefficients(256, SENTINEL), samples(512, SENTINEL);
  ASSERT_EQ(mdct_init(scratch, 512), STATUS_OK);
  ASSERT_EQ(mdct(scratch, zeros.data(), coefficients.data(), 512), STATUS_OK);
  ASSERT_EQ(imdct(scratch, zeros.data(), samples.data(), 256), STATUS_OK);
  for (double c : coefficients) EXPECT_EQ(c, 0.0);
  for (double s : samples) EXPECT_EQ(s, 0.0);
}

// The inverse of the forward transform of one block is the block plus its time-aliased mirror
// image: y[n] = x[n] - x[N/2-1-n] in the first half, x[n] + x[3N/2-1-n] in the second.
TEST(Mdct, SingleBlockRoundTripShowsAliasing) {
  for (int length : {4, 16, 512}) {
    const uint32_t seed = 3000 + length;
    SCOPED_TRACE(testing::Message() << "N " << length << ", seed " << seed);
    const std::vector<double> x = random_signal(length, seed);
    std::vector<double> coefficients(length / 2), y(length);
    ASSERT_EQ(mdct_init(scratch, length), STATUS_OK);
    ASSERT_EQ(mdct(scratch, x.data(), coefficients.data(), length), STATUS_OK);
    ASSERT_EQ(imdct(scratch, coefficients.data(), y.data(), length / 2), STATUS_OK);
    // Rounding of both transforms, each within about 1e-14 for inputs of size 1.
    for (int n = 0; n < length / 2; ++n) {
      EXPECT_NEAR(y[n], x[n] - x[length / 2 - 1 - n], 1e-13) << "sample " << n;
    }
    for (int n = length / 2; n < length; ++n) {
      EXPECT_NEAR(y[n], x[n] + x[3 * length / 2 - 1 - n], 1e-13) << "sample " << n;
    }
  }
}

// Blocks hopped by N/2, windowed on both sides and overlap-added, give back the input wherever
// two blocks cover it, for every coding window.
TEST(Mdct, OverlapAddReconstructsInput) {
  constexpr int BLOCKS = 8;
  for (int n : {16, 512}) {
    const int hop = n / 2;
    const int length = hop * (BLOCKS + 1);
    const std::vector<double> x = random_signal(length, 4000 + n);
    std::vector<double> window(n), coefficients(hop), block(n);
    ASSERT_EQ(mdct_init(scratch, n), STATUS_OK);
    for (int type = 0; type <= 3; ++type) {
      SCOPED_TRACE(std::string(window_label(static_cast<WindowType>(type))) + std::to_string(n));
      build_coding_window(window.data(), n, static_cast<WindowType>(type));
      std::vector<double> y(length, 0.0);
      for (int f = 0; f < BLOCKS; ++f) {
        ASSERT_EQ(mdct_windowed(scratch, &x[f * hop], window.data(), coefficients.data(), n),
                  STATUS_OK);
        ASSERT_EQ(imdct_windowed(scratch, coefficients.data(), window.data(), block.data(), n),
                  STATUS_OK);
        for (int i = 0; i < n; ++i) y[f * hop + i] += block[i];
      }
      // Two blocks' rounding plus the windows' power complement, each near 1e-15.
      for (int i = hop; i < BLOCKS * hop; ++i) EXPECT_NEAR(y[i], x[i], 1e-13) << "sample " << i;
    }
  }
}

// Lengths that are not positive multiples of 4 are refused before anything is read or written
// (null inputs; a one-element output that a write past it would overrun).
TEST(Mdct, RejectsBadSizes) {
  for (int n : {0, -4, 2, 6, 510}) {
    double out = SENTINEL;
    MdctScratch refused;
    EXPECT_EQ(mdct_init(refused, n), STATUS_SIZE) << "n " << n;
    EXPECT_EQ(refused.n, 0) << "n " << n;
    EXPECT_EQ(mdct(scratch, nullptr, &out, n), STATUS_SIZE) << "n " << n;
    EXPECT_EQ(mdct_windowed(scratch, nullptr, nullptr, &out, n), STATUS_SIZE) << "n " << n;
    EXPECT_EQ(imdct_windowed(scratch, nullptr, nullptr, &out, n), STATUS_SIZE) << "n " << n;
    EXPECT_EQ(out, SENTINEL);
  }
  // imdct takes the coefficient count M; N = 2M must be a multiple of 4 and fit in an int.
  for (int m : {0, -2, 1, 3, 255, 1 << 30}) {
    double out = SENTINEL;
    EXPECT_EQ(imdct(scratch, nullptr, &out, m), STATUS_SIZE) << "m " << m;
    EXPECT_EQ(out, SENTINEL);
  }
}

// The transforms run only on a scratch that mdct_init set up for their length: an empty one, or
// one set up for another length, is refused before anything is read or written.
TEST(Mdct, RunsOnlyOnAScratchSetUpForItsLength) {
  struct Case {
    const char* name;
    int init_length;  // 0: never set up
    int run_length;
  };
  const Case cases[] = {{"empty", 0, 512}, {"set up for 64, run at 512", 64, 512},
                        {"set up for 512, run at 16", 512, 16}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MdctScratch s;
    if (c.init_length != 0) {
      ASSERT_EQ(mdct_init(s, c.init_length), STATUS_OK);
    }
    double out = SENTINEL;
    EXPECT_EQ(mdct(s, nullptr, &out, c.run_length), STATUS_NOT_READY);
    EXPECT_EQ(imdct(s, nullptr, &out, c.run_length / 2), STATUS_NOT_READY);
    EXPECT_EQ(mdct_windowed(s, nullptr, nullptr, &out, c.run_length), STATUS_NOT_READY);
    EXPECT_EQ(imdct_windowed(s, nullptr, nullptr, &out, c.run_length), STATUS_NOT_READY);
    EXPECT_EQ(out, SENTINEL);
  }
}

}  // namespace
}  // namespace tarn
