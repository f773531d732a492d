// The block reads and writes of the PCM sides against frame-by-frame reads and writes: the same
// samples, the same counts, the same file positions and the same output bytes.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "pcm/pcm_test_files.h"
#include "pcm/reference_pcm.h"
#include "programs/wav_reader.h"
#include "programs/wav_writer.h"

namespace tarn {
namespace {

using reference::fetch_frame_copy;
using reference::read_stereo_frame;
using reference::write_stereo_frame;
using test::file_contents;
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

// The whole framing: the frames fetch_frame cuts from a WAV file are the samples of the file,
// 16-bit value v as v / 32768, zeros before the start and after the last whole frame the file
// holds, whether the data chunk is as long as it says or cut short (with a partial frame).
TEST(PcmIdentity, FetchedFramesHoldTheFileSamples) {
  struct Case {
    uint32_t announced;  // frames the data chunk's size claims
    uint32_t stored;     // frames the file holds
    int extra_bytes;     // bytes of a partial frame after them
  };
  const Case cases[] = {{32768, 32768, 0}, {32769, 32769, 0}, {40000, 40000, 0},
                        {70001, 70001, 0}, {100000, 100000, 0}, {70001, 50000, 3},
                        {40000, 39999, 2}};
  std::mt19937 gen(4711);
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.announced << " frames announced, " << k.stored
                                    << " stored");
    std::vector<int16_t> left(k.stored), right(k.stored);
    for (uint32_t n = 0; n < k.stored; ++n) {
      left[n] = static_cast<int16_t>(gen());
      right[n] = static_cast<int16_t>(gen());
    }
    test::WavImage image;
    image.data_size = 4 * k.announced;
    image.data = test::stereo_pcm(left, right);
    for (int i = 0; i < k.extra_bytes; ++i) image.data.push_back(0x7F);
    FilePtr file = temp_file_with(test::wav_bytes(image));
    WavFile wav;
    wav.file = file.get();
    ASSERT_EQ(read_wav_header(wav), WAV_OK);
    ChannelBuffer buffers[2];
    ASSERT_EQ(fill_input_buffers(wav, buffers[0], buffers[1]), PCM_OK);
    // A second reader of the same file takes its frames in place (fetch_frame).
    FilePtr view_file = temp_file_with(test::wav_bytes(image));
    WavFile view_wav;
    view_wav.file = view_file.get();
    ASSERT_EQ(read_wav_header(view_wav), WAV_OK);
    ChannelBuffer view_buffers[2];
    ASSERT_EQ(fill_input_buffers(view_wav, view_buffers[0], view_buffers[1]), PCM_OK);
    std::vector<double> frame(512), scratch(512);
    for (int64_t block = 0; 256 * block - 256 < static_cast<int64_t>(k.announced) + 512; ++block) {
      for (int c = 0; c < 2; ++c) {
        fetch_frame_copy(wav, buffers[0], buffers[1], frame.data(), c, 512, 256);
        const double* view =
            fetch_frame(view_wav, view_buffers[0], view_buffers[1], scratch.data(), c, 512, 256);
        const std::vector<int16_t>& samples = c == 0 ? left : right;
        for (int j = 0; j < 512; ++j) {
          const int64_t n = 256 * block - 256 + j;
          const double expected =
              n < 0 || n >= static_cast<int64_t>(k.stored) ? 0.0 : samples[n] / 32768.0;
          ASSERT_EQ(frame[j], expected) << "block " << block << " channel " << c << " j " << j;
          ASSERT_EQ(view[j], expected) << "block " << block << " channel " << c << " j " << j;
        }
      }
    }
    EXPECT_EQ(wav.samples_done, k.stored);
    EXPECT_EQ(view_wav.samples_done, k.stored);
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

TEST(PcmIdentity, BlockWritesMatchFrameWrites) {
  std::mt19937 gen(2718);
  for (int round = 0; round < 100; ++round) {
    const uint32_t sample_count = gen() % 30000;
    SCOPED_TRACE(testing::Message() << "round " << round << ", sample_count " << sample_count);
    FilePtr fast_file(std::tmpfile());
    FilePtr slow_file(std::tmpfile());
    WavFile fast;
    fast.file = fast_file.get();
    fast.sample_count = sample_count;
    WavFile slow = fast;
    slow.file = slow_file.get();
    std::vector<uint16_t> expected;  // by the direct formula
    for (int call = 0; call < 6; ++call) {
      const int count = static_cast<int>(gen() % 9000);
      std::vector<double> left(count), right(count);
      for (int i = 0; i < count; ++i) {
        left[i] = random_value(gen);
        right[i] = random_value(gen);
      }
      const int n = write_stereo_frames(fast, left.data(), right.data(), count);
      int m = 0;
      for (int i = 0; i < count; ++i) {
        if (write_stereo_frame(slow, left[i], right[i]) == 0) ++m;
      }
      ASSERT_EQ(n, m) << "call " << call;
      ASSERT_EQ(fast.samples_done, slow.samples_done);
      for (int i = 0; i < n; ++i) {
        expected.push_back(slow_pcm16(left[i]));
        expected.push_back(slow_pcm16(right[i]));
      }
    }
    const std::vector<uint8_t> written = file_contents(fast.file);
    ASSERT_EQ(written, file_contents(slow.file));
    ASSERT_EQ(written.size(), 2 * expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(load_le16(&written[2 * i]), expected[i]) << "sample " << i;
    }
  }
}

}  // namespace
}  // namespace tarn
