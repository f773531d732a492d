// The block reads against frame-by-frame reads (the same samples, counts and file positions), and
// the decoder's 16-bit conversion against its direct formula.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "codec/pcm16.h"
#include "identity_support.h"
#include "pcm/pcm_test_files.h"
#include "pcm/reference_pcm.h"
#include "programs/wav_reader.h"

namespace tarn {
namespace {

using reference::read_stereo_frame;
using test::FilePtr;
using test::temp_file_with;

std::vector<uint8_t> random_bytes(std::mt19937& gen, size_t n) {
  std::vector<uint8_t> b(n);
  for (uint8_t& v : b) v = static_cast<uint8_t>(gen());
  return b;
}

// Data bodies of every kind of end: whole frames, a partial last frame, and a sample_count
// above, at and below what the body holds.
TEST(PcmIdentity, BlockReadsMatchFrameReads) {
  std::mt19937 gen(31337);
  for (int round = 0; round < 300; ++round) {
    const size_t body = gen() % 3 == 0 ? gen() % 64 : gen() % 40000;
    const std::vector<uint8_t> bytes = random_bytes(gen, body);
    const uint32_t frames_in_body = static_cast<uint32_t>(body / 4);
    const uint32_t sample_count = gen() % 2 == 0 ? frames_in_body + gen() % 9 : gen() % 12000;
    SCOPED_TRACE(testing::Message() << "round " << round << ": " << body << " bytes, "
                                    << sample_count << " frames announced");
    FilePtr fast_file = temp_file_with(bytes);
    FilePtr slow_file = temp_file_with(bytes);
    WavFile fast;
    fast.file = fast_file.get();
    fast.sample_count = sample_count;
    WavFile slow = fast;
    slow.file = slow_file.get();
    std::vector<uint8_t> got(4 * 5000);
    for (int call = 0; call < 12; ++call) {
      const int count = call % 4 == 3 ? 0 : static_cast<int>(gen() % 5000);
      const int n = read_stereo_frames(fast, got.data(), count);
      int m = 0;
      uint8_t frame[4];
      while (m < count && read_stereo_frame(slow, frame) == 0) {
        ASSERT_EQ(std::memcmp(frame, got.data() + 4 * m, 4), 0) << "frame " << m;
        ++m;
      }
      ASSERT_EQ(n, m) << "call " << call << " of " << count;
      ASSERT_EQ(fast.samples_done, slow.samples_done);
      ASSERT_EQ(std::ftell(fast.file), std::ftell(slow.file));
    }
  }
}

// Values the limiter must handle: ordinary ones, beyond full scale, the edges, NaN, infinities.
double random_value(std::mt19937& gen) {
  switch (gen() % 8) {
    case 0:
      return std::numeric_limits<double>::quiet_NaN();
    case 1:
      return (gen() % 2 == 0 ? 1 : -1) * std::numeric_limits<double>::infinity();
    case 2:
      return (gen() / 2147483648.0 - 1.0) * 1e6;
    case 3:
      return gen() % 2 == 0 ? 1.0 : -1.0;
    case 4:
      // On and halfway between the steps of the conversion, where truncation decides.
      return (static_cast<double>(gen() % 65535) - 32767.0 + 0.5 * (gen() % 2)) / 32767.0;
    default:
      return (gen() / 2147483648.0 - 1.0) * 1.2;
  }
}

// The 16-bit conversion as first written: always the division by max(|x|, 1).
uint16_t slow_pcm16(double x) {
  const double magnitude = std::fabs(x);
  const double d = magnitude >= 1.0 ? magnitude : 1.0;
  const double q = (x * 32767.0) / d;
  if (std::isnan(q)) return 0;
  if (q >= 32767.0) return 32767;
  if (q <= -32767.0) return static_cast<uint16_t>(-32767);
  return static_cast<uint16_t>(static_cast<int16_t>(q));
}

// Values within full scale, where the four-frame kernel skips the division and the limits:
// the steps and halfway points as above, and the largest magnitudes below 1.
double within_full_scale(std::mt19937& gen) {
  switch (gen() % 4) {
    case 0:
      return (gen() % 2 == 0 ? 1 : -1) * std::nextafter(1.0, 0.0);
    case 1:
      return (static_cast<double>(gen() % 65533) - 32766.0 + 0.5 * (gen() % 2)) / 32767.0;
    default:
      return (gen() / 2147483648.0 - 1.0);
  }
}

// Music-like samples: mostly within full scale, with a clipped stretch beyond it.
double music_value(std::mt19937& gen) {
  return tarn_test::music_sample(static_cast<int>(gen() % 2), gen() % (44100 * 8));
}

// The decoder's 16-bit conversion, through every kernel table (four frames at a time with SSE2),
// against the direct formula, for every count and alignment of the tail, on each kind of value.
TEST(PcmIdentity, FrameConversionMatchesTheDirectFormula) {
  struct Kind {
    const char* name;
    double (*value)(std::mt19937&);
  };
  const Kind kinds[] = {{"mixed edges", random_value},
                        {"within full scale", within_full_scale},
                        {"music", music_value}};
  for (const KernelTable* table : tarn_test::usable_kernel_tables()) {
    for (const Kind& kind : kinds) {
      SCOPED_TRACE(testing::Message() << table->name << " " << kind.name);
      std::mt19937 gen(2718);
      for (int round = 0; round < 200; ++round) {
        const int count = static_cast<int>(gen() % 700);
        std::vector<double> left(count), right(count);
        for (int i = 0; i < count; ++i) {
          left[i] = kind.value(gen);
          right[i] = kind.value(gen);
        }
        std::vector<int16_t> frames(2 * static_cast<size_t>(count) + 2, 0x5A5A);
        table->pcm16_frames(left.data(), right.data(), frames.data(), count);
        for (int i = 0; i < count; ++i) {
          ASSERT_EQ(static_cast<uint16_t>(frames[2 * i]), slow_pcm16(left[i])) << round << " " << i;
          ASSERT_EQ(static_cast<uint16_t>(frames[2 * i + 1]), slow_pcm16(right[i]))
              << round << " " << i;
          ASSERT_EQ(to_pcm16(left[i]), frames[2 * i]);
        }
        EXPECT_EQ(frames[2 * count], 0x5A5A);  // nothing written past the count
      }
    }
  }
}

}  // namespace
}  // namespace tarn
