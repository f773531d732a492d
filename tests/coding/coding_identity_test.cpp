// The block coder's and the arithmetic coder's operations against their direct forms, bit for
// bit: the quantiser steps come from a table, the scale-factor search counts steps in a window
// and the rounding converts instead of calling floor and ceil; the coder's cumulative counts come
// from group sums and its renormalisation takes whole runs of bits at once. The references
// (slow_block_coder.h, reference_arith_coder.h) are the direct formulas: pow per step, a linear
// search from the top, floor and ceil, linear scans over the counts, and the renormalisation rule
// one bit at a time.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "coding/arith_coder.h"
#include "coding/arith_decoder.h"
#include "coding/arith_encoder.h"
#include "coding/arith_search_x86.h"
#include "coding/block_coder.h"
#include "identity_support.h"
#include "reference_arith_coder.h"
#include "slow_block_coder.h"
#include "transform/mdct.h"
#include "transform/window.h"

namespace tarn {
namespace {

using tarn_test::same_bits;
using namespace slow;

// Peaks a band can have: the steps themselves times every QUANT_MAX and their neighbours one
// ulp away (where the search turns), log-uniform random values over the whole range the search
// spans and beyond, the band peaks of real frames, and the special values.
std::vector<double> peaks_to_try() {
  std::vector<double> peaks = {0.0,
                               -0.0,
                               -1.0,
                               1e-300,
                               4.9e-324,
                               1e300,
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
  MdctScratch mdct;
  if (mdct_init(mdct, 512) != STATUS_OK) return {};
  for (int f = 0; f < 40; ++f) {
    const std::vector<double> x = tarn_test::music_frame(f % 2, 13 * f, 512);
    std::vector<double> c(256);
    mdct_windowed(mdct, x.data(), window.data(), c.data(), 512);
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

// Buffers like the packed blocks (runs of zeros, small values, a few loud bytes) and uniform
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
  std::vector<uint8_t> previous = reference::compress({});  // the previous buffer's stream
  int32_t previous_result = 0;
  for (int i = 0; i < 804; ++i) {
    // Mostly record sizes; the last few longer than the short model takes.
    const size_t n = i < 600   ? static_cast<size_t>(i)
                     : i < 800 ? 600 + gen() % 2000
                               : SHORT_MODEL_SYMBOLS - 1 + i % 800;
    SCOPED_TRACE(testing::Message() << "buffer " << i << ", " << n << " bytes");
    const std::vector<uint8_t> input = random_buffer(gen, n);
    const std::vector<uint8_t> slow = reference::compress(input);
    std::vector<uint8_t> fast(slow.size() + 64);
    const int32_t written = arith_compress(input.data(), fast.data(), static_cast<int32_t>(n),
                                           static_cast<int32_t>(fast.size()));
    ASSERT_EQ(written, static_cast<int32_t>(slow.size()));
    fast.resize(static_cast<size_t>(written));
    ASSERT_EQ(fast, slow);
    // The encoding loop of every kernel table the CPU runs, for the buffers the short model takes.
    for (const KernelTable* kernels : tarn_test::usable_kernel_tables()) {
      if (n > static_cast<size_t>(SHORT_MODEL_SYMBOLS)) break;
      SCOPED_TRACE(kernels->name);
      std::vector<uint8_t> out(slow.size() + 64);
      ASSERT_EQ(kernels->compress(input.data(), out.data(), static_cast<int32_t>(n),
                                  static_cast<int32_t>(out.size())),
                static_cast<int32_t>(slow.size()));
      out.resize(slow.size());
      ASSERT_EQ(out, slow);
    }

    // Decoding the stream, and damaged copies of it: same bytes, same result.
    std::vector<uint8_t> damaged = slow;
    for (int flip = 0; flip < 3; ++flip) {
      // Odd buffers decode into room beyond what the short model takes; the long ones into just
      // what it takes, which they fill, or overfill.
      const int32_t capacity =
          i >= 800 ? SHORT_MODEL_SYMBOLS
                   : static_cast<int32_t>(n) + (i % 2 == 0 ? 8 : SHORT_MODEL_SYMBOLS);
      std::vector<uint8_t> slow_out;
      const int32_t slow_result = reference::decompress(damaged, slow_out, capacity);
      // The decoding loops of every kernel table the CPU runs.
      for (const KernelTable* kernels : tarn_test::usable_kernel_tables()) {
        SCOPED_TRACE(testing::Message() << kernels->name << " kernels, flip " << flip);
        std::vector<uint8_t> fast_out(static_cast<size_t>(capacity));
        const int32_t fast_result = kernels->decompress(
            damaged.data(), fast_out.data(), static_cast<int32_t>(damaged.size()), capacity);
        ASSERT_EQ(fast_result, slow_result);
        if (fast_result >= 0) {
          fast_out.resize(static_cast<size_t>(fast_result));
          ASSERT_EQ(fast_out, slow_out);
        }
        // Decoded together with the previous buffer's stream, each gives its own result.
        std::vector<uint8_t> pair_out(static_cast<size_t>(capacity));
        std::vector<uint8_t> previous_out(static_cast<size_t>(previous_result) + 8);
        const ArithBuffer buffers[2] = {
            {damaged.data(), static_cast<int32_t>(damaged.size()), pair_out.data(), capacity},
            {previous.data(), static_cast<int32_t>(previous.size()), previous_out.data(),
             static_cast<int32_t>(previous_out.size())}};
        int32_t results[2];
        kernels->decompress_pair(buffers, results);
        ASSERT_EQ(results[0], fast_result);
        ASSERT_EQ(results[1], previous_result);
        if (fast_result >= 0) {
          pair_out.resize(static_cast<size_t>(fast_result));
          ASSERT_EQ(pair_out, fast_out);
        }
      }
      // The entry points take the host's table.
      std::vector<uint8_t> host_out(static_cast<size_t>(capacity));
      ASSERT_EQ(arith_decompress(damaged.data(), host_out.data(),
                                 static_cast<int32_t>(damaged.size()), capacity),
                slow_result);
      if (!damaged.empty())
        damaged[gen() % damaged.size()] ^= static_cast<uint8_t>(1u << (gen() % 8));
    }
    previous = slow;
    previous_result = static_cast<int32_t>(n);
  }
}

// Bits an encoder has sent, while its stream holds all it wrote: written and not yet written.
int64_t sent_bits(const ArithEncoder& e) { return 8 * int64_t{e.stream_pos} + e.bit_count; }

// The bits sent from byte `from` of the stream on, as one number: the bytes written from there,
// then the bits not yet written (fewer than 64 bits in all).
uint64_t unwritten_bits(const ArithEncoder& e, int32_t from = -1) {
  if (from < 0) from = e.stream_pos;
  uint64_t bits = 0;
  for (int32_t i = from; i < e.stream_pos; ++i) bits = (bits << 8) | e.stream[i];
  const uint64_t low = e.bit_buffer & ((uint64_t{1} << e.bit_count) - 1u);
  return (bits << e.bit_count) | low;
}

// The interval step range / total by reciprocal is the quotient for every total that can occur
// and every interval width (up to 2^31; the test covers all of 2^32): for each total of the table
// the bound of the proof in arith_model.h holds (c total = 2^64 + e with e < total, and a 32-bit
// width times e stays below 2^64), and the quotients at and around every kind of edge are exact:
// the widths the coder can have at their ends, and multiples of the total and their neighbours.
TEST(CodingIdentity, ReciprocalDivisionIsExactForEveryTotal) {
  std::mt19937 gen(4242);
  int checked = 0;
  for (uint32_t total = 2; total < RECIPROCAL_TOTALS + 40; ++total) {
    SCOPED_TRACE(testing::Message() << "total " << total);
    if (total < RECIPROCAL_TOTALS) {
      __extension__ using Wide = unsigned __int128;
      const Wide two_64 = Wide{1} << 64;
      const Wide c = RECIPROCALS.c[total];
      ASSERT_GE(c * total, two_64);        // c >= 2^64 / total
      ASSERT_LT((c - 1) * total, two_64);  // and the smallest such
      const Wide e = c * total - two_64;
      ASSERT_LT(e, total);
      ASSERT_LT(e * UINT32_MAX, two_64);
      ++checked;
    }
    std::vector<uint32_t> widths = {
        0,         1,        total - 1,     total,     CODE_FIRST_QUARTER + 1,
        CODE_HALF, CODE_TOP, CODE_TOP + 1u, UINT32_MAX};
    for (int i = 0; i < 40; ++i) {
      const uint32_t q = static_cast<uint32_t>(gen() % (UINT32_MAX / total));
      for (uint32_t w : {q * total - 1u, q * total, q * total + total - 1u}) widths.push_back(w);
    }
    for (const uint32_t w : widths) ASSERT_EQ(divide_by_total(w, total), w / total) << w;
  }
  EXPECT_EQ(checked, static_cast<int>(RECIPROCAL_TOTALS) - 2);
}

// The coder's own step operations against the bit-by-bit loops, state for state: random
// symbol intervals of random totals from fresh and from worn intervals, and on the decoding side
// random code streams, damaged ones included (the code value may leave the interval).
TEST(CodingIdentity, IntervalStepsMatchTheBitLoops) {
  std::mt19937 gen(60606);
  for (int round = 0; round < 200; ++round) {
    // An encoder pair writing into its own buffers (some too small, so that bytes are dropped),
    // and a decoder pair reading the same random code stream.
    std::vector<uint8_t> fast_out(4096), slow_out(4096);
    std::vector<uint8_t> code(64);
    for (uint8_t& b : code) b = static_cast<uint8_t>(gen());
    int32_t code_length = static_cast<int32_t>(code.size()) - static_cast<int32_t>(gen() % 8);
    ArithEncoder fast_enc;
    coder_reset(fast_enc, fast_out.data(), round % 10 == 0 ? 3 : 4096);
    ArithEncoder slow_enc = fast_enc;
    slow_enc.stream = slow_out.data();
    ArithDecoder fast_dec;
    coder_reset(fast_dec, code.data(), code_length);
    decode_start(fast_dec);
    ArithDecoder slow_dec;
    coder_reset(slow_dec, code.data(), code_length);
    for (int i = 0; i < 31; ++i) {
      slow_dec.code_value = 2 * slow_dec.code_value + reference::get_one_bit(slow_dec);
    }
    for (int step = 0; step < 150; ++step) {
      SCOPED_TRACE(testing::Message() << "round " << round << " step " << step);
      const uint32_t total = 2 + gen() % (round % 2 == 0 ? 300u : 0x1FFFFFFu);
      const uint32_t cum_low = gen() % (total - 1);
      const uint32_t cum_high = cum_low + 1 + gen() % (total - cum_low);
      encode_symbol(fast_enc, cum_low, cum_high, total);
      reference::encode_symbol(slow_enc, cum_low, cum_high, total);
      ASSERT_EQ(fast_enc.range_low, slow_enc.range_low);
      ASSERT_EQ(fast_enc.range_high, slow_enc.range_high);
      ASSERT_EQ(fast_enc.range_step, slow_enc.range_step);
      ASSERT_EQ(fast_enc.pending_bits, slow_enc.pending_bits);
      // The same bits sent: the encoder writes whole words, the reference single bytes, so the
      // bits not yet written are compared with the reference's bytes past the fast stream.
      // Once bytes are dropped the positions stop counting; the buffers are compared at the end.
      if (!slow_enc.stream_full) {
        ASSERT_FALSE(fast_enc.stream_full);
        ASSERT_EQ(sent_bits(fast_enc), sent_bits(slow_enc));
        ASSERT_EQ(unwritten_bits(fast_enc), unwritten_bits(slow_enc, fast_enc.stream_pos));
      }

      ASSERT_EQ(decode_target(fast_dec, total),
                (slow_dec.code_value - slow_dec.range_low) /
                    ((slow_dec.range_high - slow_dec.range_low + 1) / total));
      slow_dec.range_step = (slow_dec.range_high - slow_dec.range_low + 1) / total;
      decode_update(fast_dec, cum_low, cum_high);
      reference::decode_update(slow_dec, cum_low, cum_high);
      ASSERT_EQ(fast_dec.range_low, slow_dec.range_low);
      ASSERT_EQ(fast_dec.range_high, slow_dec.range_high);
      ASSERT_EQ(fast_dec.code_value, slow_dec.code_value);
      // The same bits consumed while the input lasts (past its end the positions stop); the
      // decoder reads ahead by words, the reference by bytes. The code values show the rest.
      if (fast_dec.stream_pos < code_length) {
        ASSERT_EQ(8 * int64_t{fast_dec.stream_pos} - fast_dec.window_bits,
                  8 * int64_t{slow_dec.stream_pos} - slow_dec.window_bits);
      }
    }
    flush_byte(fast_enc);
    while (slow_enc.bit_count != 0) reference::put_one_bit(slow_enc, 0);
    ASSERT_EQ(fast_enc.stream_pos, slow_enc.stream_pos);
    ASSERT_EQ(fast_enc.stream_full, slow_enc.stream_full);
    ASSERT_EQ(fast_out, slow_out);
  }
}

// Both forms of the model, the short one with each form of its search, against scans, through long
// random count histories: cum(s) and the symbol search for every kind of target, the counts kept
// alike.
TEST(CodingIdentity, ModelFormsMatchTheScans) {
  std::mt19937 gen(99);
  for (int round = 0; round < 50; ++round) {
    ShortModel short_model;
    GroupModel group_model;
    model_reset(short_model);
    model_reset(group_model);
    for (int step = 0; step < 2000; ++step) {
      const int symbol =
          round % 2 == 0 ? static_cast<int>(gen() % NUM_SYMBOLS) : static_cast<int>(gen() % 4) * 85;
      ASSERT_EQ(short_model.symbol_counts, group_model.symbol_counts);
      const uint32_t expected = reference::cumulative_count(group_model, symbol);
      ASSERT_EQ(cumulative_count(short_model, symbol), expected) << "symbol " << symbol;
      ASSERT_EQ(cumulative_count(group_model, symbol), expected) << "symbol " << symbol;
      // A random target, and the edges of a random symbol's interval.
      const uint32_t total = group_model.total_count;
      const int edge = static_cast<int>(gen() % NUM_SYMBOLS);
      const uint32_t edge_cum = reference::cumulative_count(group_model, edge);
      for (const uint32_t target : {static_cast<uint32_t>(gen() % total), edge_cum,
                                    edge_cum + group_model.symbol_counts[edge] - 1}) {
        uint32_t expected_cum = 0;
        const int found = reference::find_symbol(group_model, target, expected_cum);
        uint32_t cum = 0;
        ASSERT_EQ(find_symbol<PortableSearch>(short_model, target, cum), found)
            << "target " << target;
        ASSERT_EQ(cum, expected_cum);
#if defined(__x86_64__)
        cum = 0;
        ASSERT_EQ(find_symbol<Sse2Search>(short_model, target, cum), found) << "target " << target;
        ASSERT_EQ(cum, expected_cum);
#endif
        ASSERT_EQ(find_symbol(group_model, target, cum), found) << "target " << target;
        ASSERT_EQ(cum, expected_cum);
      }
      count_symbol(short_model, symbol);
      count_symbol(group_model, symbol);
    }
    uint32_t total = 0;
    for (uint32_t c : group_model.symbol_counts) total += c;
    EXPECT_EQ(group_model.total_count, total);
    EXPECT_EQ(short_model.total_count, total);
  }
}

}  // namespace
}  // namespace tarn
