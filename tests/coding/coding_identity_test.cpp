// The block coder's and the arithmetic coder's fast paths against their direct formulas, bit for
// bit: the quantiser steps come from a table and the scale-factor search is a binary search; the
// coder's cumulative counts come from a Fenwick tree. The references below are the formulas as
// first written: pow per step, a linear search from the top, linear scans over the counts.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "coding/arith_coder.h"
#include "coding/arith_state.h"
#include "coding/block_coder.h"
#include "identity_support.h"
#include "transform/mdct.h"
#include "transform/window.h"

namespace tarn {
namespace {

using tarn_test::same_bits;

// ---- Block coder references. ----

double slow_step(int sf) { return std::pow(2.0, sf * 0.25); }

bool slow_bits_valid(int bits) { return bits >= 0 && bits < static_cast<int>(QUANT_MAX.size()); }

int slow_choose_scale_factor(double peak, int bits) {
  const double ratio = peak / (slow_bits_valid(bits) ? QUANT_MAX[bits] : 0);
  int s = 31;
  while (slow_step(s) > ratio) {
    s = s - 1;
    if (s < -32) break;
  }
  if (s < -32) s = -32;
  return s;
}

uint32_t slow_quantise(double value, int sf, int bits) {
  if (!slow_bits_valid(bits)) return 0;
  const double m = QUANT_MAX[bits];
  const double y = value / slow_step(sf);
  double q = 0.0;
  if (y > 0.5) {
    q = y - std::floor(y) > 0.5 ? std::ceil(y) : std::floor(y);
  } else if (y < -0.5) {
    q = y - std::ceil(y) < -0.5 ? std::floor(y) : std::ceil(y);
  }
  if (q > m) q = m;
  if (q < -m - 1.0) q = -m - 1.0;
  const uint32_t mask = (1u << bits) - 1u;
  return static_cast<uint32_t>(static_cast<int32_t>(q)) & mask;
}

double slow_dequantise(uint32_t code, int sf, int bits) {
  if (bits < 1 || !slow_bits_valid(bits)) return 0.0;
  const int64_t q = ((code >> (bits - 1)) & 1u) != 0
                        ? static_cast<int64_t>(code) - (int64_t{1} << bits)
                        : static_cast<int64_t>(code);
  return static_cast<double>(q) * slow_step(sf);
}

// Peaks a band can have: the steps themselves times every QUANT_MAX and their neighbours one
// ulp away (where the search turns), log-uniform random values over the whole range the search
// spans and beyond, the band peaks of real frames, and the special values.
std::vector<double> peaks_to_try() {
  std::vector<double> peaks = {0.0, -0.0, -1.0, 1e-300, 4.9e-324, 1e300,
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()};
  for (int sf = -34; sf <= 33; ++sf) {
    for (int bits = 2; bits <= 16; ++bits) {
      const double exact = slow_step(sf) * QUANT_MAX[bits];
      peaks.push_back(exact);
      peaks.push_back(std::nextafter(exact, 0.0));
      peaks.push_back(std::nextafter(exact, 1e308));
    }
  }
  std::mt19937 gen(4242);
  for (int i = 0; i < 4000; ++i) peaks.push_back(std::pow(10.0, (gen() / 4294967296.0) * 14 - 8));
  std::vector<double> window(512);
  build_coding_window(window.data(), 512, WINDOW_KBD);
  for (int f = 0; f < 40; ++f) {
    const std::vector<double> x = tarn_test::music_frame(f % 2, 13 * f, 512);
    std::vector<double> c(256);
    mdct_windowed(x.data(), window.data(), c.data(), 512);
    for (double v : c) peaks.push_back(std::fabs(v));
  }
  return peaks;
}

TEST(CodingIdentity, ScaleFactorSearchMatchesTheLinearSearch) {
  const std::vector<double> peaks = peaks_to_try();
  for (int bits = -1; bits <= 17; ++bits) {
    for (double peak : peaks) {
      ASSERT_EQ(choose_scale_factor(peak, bits), slow_choose_scale_factor(peak, bits))
          << "peak " << peak << " bits " << bits;
    }
  }
}

TEST(CodingIdentity, QuantiserMatchesThePowFormula) {
  std::mt19937 gen(777);
  const std::vector<double> peaks = peaks_to_try();
  for (int sf = -40; sf <= 40; ++sf) {
    for (int bits = -1; bits <= 17; ++bits) {
      for (int i = 0; i < 300; ++i) {
        const double peak = peaks[gen() % peaks.size()];
        const double value = (gen() & 1) != 0 ? peak : -peak;
        ASSERT_EQ(quantise(value, sf, bits), slow_quantise(value, sf, bits))
            << "value " << value << " sf " << sf << " bits " << bits;
        const uint32_t code = gen() & ((bits >= 1 && bits <= 16) ? (1u << bits) - 1u : 0xFFFFu);
        ASSERT_TRUE(same_bits(dequantise(code, sf, bits), slow_dequantise(code, sf, bits)))
            << "code " << code << " sf " << sf << " bits " << bits;
      }
    }
  }
}

// ---- Arithmetic coder references: the same interval steps with linear count scans. ----

std::vector<uint8_t> slow_compress(const std::vector<uint8_t>& input) {
  std::vector<uint8_t> out(4 * input.size() + 16);
  int32_t written = 0;
  ArithCoder coder;
  coder_reset(coder);
  coder.stream = out.data();
  coder.stream_pos = 0;
  coder.stream_length = &written;
  coder.stream_capacity = static_cast<int32_t>(out.size());
  coder.stream_full = false;
  for (uint8_t c : input) {
    uint32_t cum = 0;
    for (int s = 0; s < c; ++s) cum += coder.symbol_counts[s];
    encode_symbol(coder, cum, cum + coder.symbol_counts[c], coder.total_count);
    coder.symbol_counts[c] += 1;
    coder.total_count += 1;
  }
  encode_symbol(coder, coder.total_count - 1, coder.total_count, coder.total_count);
  encode_finish(coder);
  out.resize(static_cast<size_t>(written));
  return out;
}

// Decoded bytes, or the negative result of a damaged stream.
int32_t slow_decompress(const std::vector<uint8_t>& input, std::vector<uint8_t>& out,
                        int32_t capacity) {
  out.assign(static_cast<size_t>(capacity), 0);
  int32_t length = static_cast<int32_t>(input.size());
  ArithCoder coder;
  coder_reset(coder);
  coder.stream_in = input.data();
  coder.stream_length = &length;
  coder.stream_pos = 0;
  int32_t decoded = 0;
  decode_start(coder);
  for (;;) {
    const uint32_t t = decode_target(coder, coder.total_count);
    if (t >= coder.total_count) return ARITH_ERR_DAMAGED;
    int s = 0;
    uint32_t cum = 0;
    while (cum + coder.symbol_counts[s] <= t) {
      cum += coder.symbol_counts[s];
      ++s;
    }
    if (s < EOB_SYMBOL) {
      if (decoded >= capacity) return ARITH_ERR_OUTPUT_FULL;
      out[static_cast<size_t>(decoded++)] = static_cast<uint8_t>(s);
    }
    decode_update(coder, cum, cum + coder.symbol_counts[s]);
    coder.symbol_counts[s] += 1;
    coder.total_count += 1;
    if (s == EOB_SYMBOL) {
      out.resize(static_cast<size_t>(decoded));
      return decoded;
    }
  }
}

// Buffers like the packed frames (runs of zeros, small values, a few loud bytes) and uniform
// ones, of every length up to 600 and some longer.
std::vector<uint8_t> random_buffer(std::mt19937& gen, size_t n) {
  std::vector<uint8_t> b(n);
  const uint32_t mode = gen() % 3;
  for (uint8_t& v : b) {
    if (mode == 0) {
      v = static_cast<uint8_t>(gen());
    } else if (mode == 1) {
      v = static_cast<uint8_t>(gen() % 7 == 0 ? gen() : gen() % 4);
    } else {
      v = static_cast<uint8_t>(gen() % 2 == 0 ? 0 : 255 - gen() % 3);
    }
  }
  return b;
}

TEST(CodingIdentity, ArithCoderMatchesTheLinearScans) {
  std::mt19937 gen(2024);
  for (int i = 0; i < 800; ++i) {
    const size_t n = i < 600 ? static_cast<size_t>(i) : 600 + gen() % 2000;
    SCOPED_TRACE(testing::Message() << "buffer " << i << ", " << n << " bytes");
    const std::vector<uint8_t> input = random_buffer(gen, n);
    const std::vector<uint8_t> slow = slow_compress(input);
    std::vector<uint8_t> fast(slow.size() + 64);
    const int32_t written = arith_compress(input.data(), fast.data(),
                                           static_cast<int32_t>(n), static_cast<int32_t>(fast.size()));
    ASSERT_EQ(written, static_cast<int32_t>(slow.size()));
    fast.resize(static_cast<size_t>(written));
    ASSERT_EQ(fast, slow);

    // Decoding the stream, and damaged copies of it: same bytes, same result.
    std::vector<uint8_t> damaged = slow;
    for (int flip = 0; flip < 3; ++flip) {
      const int32_t capacity = static_cast<int32_t>(n) + 8;
      std::vector<uint8_t> fast_out(static_cast<size_t>(capacity));
      std::vector<uint8_t> slow_out;
      const int32_t fast_result = arith_decompress(
          damaged.data(), fast_out.data(), static_cast<int32_t>(damaged.size()), capacity);
      const int32_t slow_result = slow_decompress(damaged, slow_out, capacity);
      ASSERT_EQ(fast_result, slow_result) << "flip " << flip;
      if (fast_result >= 0) {
        fast_out.resize(static_cast<size_t>(fast_result));
        ASSERT_EQ(fast_out, slow_out) << "flip " << flip;
      }
      if (!damaged.empty()) damaged[gen() % damaged.size()] ^= static_cast<uint8_t>(1u << (gen() % 8));
    }
  }
}

// The tree's sums and searches against scans, through long random count histories.
TEST(CodingIdentity, CountTreeMatchesTheScans) {
  std::mt19937 gen(99);
  for (int round = 0; round < 50; ++round) {
    ArithCoder coder;
    coder_reset(coder);
    for (int step = 0; step < 2000; ++step) {
      const int symbol = round % 2 == 0 ? static_cast<int>(gen() % NUM_SYMBOLS)
                                        : static_cast<int>(gen() % 4) * 85;
      uint32_t scan = 0;
      for (int s = 0; s < symbol; ++s) scan += coder.symbol_counts[s];
      ASSERT_EQ(cumulative_count(coder, symbol), scan) << "symbol " << symbol;
      const uint32_t target = gen() % coder.total_count;
      int expected = 0;
      uint32_t expected_cum = 0;
      while (expected_cum + coder.symbol_counts[expected] <= target) {
        expected_cum += coder.symbol_counts[expected];
        ++expected;
      }
      uint32_t cum = 0;
      ASSERT_EQ(find_symbol(coder, target, cum), expected) << "target " << target;
      ASSERT_EQ(cum, expected_cum);
      count_symbol(coder, symbol);
    }
    uint32_t total = 0;
    for (uint32_t c : coder.symbol_counts) total += c;
    EXPECT_EQ(coder.total_count, total);
  }
}

}  // namespace
}  // namespace tarn
