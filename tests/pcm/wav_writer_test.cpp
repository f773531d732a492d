#include "programs/wav_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "codec/pcm16.h"
#include "format/byte_order.h"
#include "pcm/pcm_test_files.h"

namespace tarn {
namespace {

// One frame converted as the decoder converts it and written as the programs write it: 1 when
// it was written, 0 when not.
int write_one_frame(WavFile& w, double left, double right) {
  uint8_t bytes[4];
  store_le16(bytes, static_cast<uint16_t>(to_pcm16(left)));
  store_le16(bytes + 2, static_cast<uint16_t>(to_pcm16(right)));
  if (std::fwrite(bytes, 4, 1, w.file) != 1) return 0;
  ++w.samples_done;
  return 1;
}

using test::file_contents;
using test::FilePtr;
using test::temp_file_with;

WavFile stereo_output(std::FILE* f, uint32_t frames) {
  WavFile w;
  w.file = f;
  w.sample_rate = 44100;
  w.bits_per_sample = 16;
  w.channel_count = 2;
  w.sample_count = frames;
  return w;
}

// The 16-bit samples of frame n of a file whose data starts at `offset`; channel 0 left.
int16_t sample_at(const std::vector<uint8_t>& file, size_t offset, size_t n, int channel) {
  return static_cast<int16_t>(load_le16(file.data() + offset + 4 * n + 2 * channel));
}

struct ConversionCase {
  const char* name;
  double x;
  int16_t want;
};

constexpr double INF = std::numeric_limits<double>::infinity();
const ConversionCase CONVERSION_CASES[] = {
    {"half", 0.5, 16383},
    {"minus half", -0.5, -16383},
    {"just below full scale", 0.99999, 32766},
    {"full scale", 1.0, 32767},
    {"one ulp above full scale", 1.0000000000000002, 32767},
    {"1.5 limited", 1.5, 32767},
    {"2.0 limited", 2.0, 32767},
    {"minus full scale", -1.0, -32767},
    {"-1.5 limited", -1.5, -32767},
    {"-3.0 limited", -3.0, -32767},
    {"-1/32768 truncates to 0", -1.0 / 32768, 0},
    {"largest input sample", 32767.0 / 32768, 32766},
    {"zero", 0.0, 0},
    {"negative zero", -0.0, 0},
    {"smallest denormal", 5e-324, 0},
    // Beyond full scale the product is rounded before the division, so the quotient can land
    // just below 32767; with the division first (x * (32767 / d)) these two would swap results.
    {"rounded below 32767", 2.6948674738744653, 32766},
    {"negative, rounded below", -2.6948674738744653, -32766},
    {"rounded to 32767", 1.990870174183882, 32767},
    {"large, product still finite", 1e300, 32767},
    // x * 32767 overflows to infinity: written as the limit of every value beyond full scale.
    {"product overflows", 1e308, 32767},
    {"negative product overflows", -DBL_MAX, -32767},
    // Not a number, and infinity (whose quotient inf / inf is not a number): written as 0.
    {"NaN", std::numeric_limits<double>::quiet_NaN(), 0},
    {"+infinity", INF, 0},
    {"-infinity", -INF, 0},
};

TEST(WavWriter, ConversionValues) {
  constexpr size_t count = sizeof CONVERSION_CASES / sizeof CONVERSION_CASES[0];
  FilePtr f = temp_file_with({});
  WavFile w = stereo_output(f.get(), count);
  // Each value goes out once as a left sample and once, in reverse order, as a right one.
  for (size_t i = 0; i < count; ++i) {
    ASSERT_EQ(write_one_frame(w, CONVERSION_CASES[i].x, CONVERSION_CASES[count - 1 - i].x), 1);
  }
  const std::vector<uint8_t> bytes = file_contents(f.get());
  ASSERT_EQ(bytes.size(), 4 * count);
  for (size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(CONVERSION_CASES[i].name);
    EXPECT_EQ(sample_at(bytes, 0, i, 0), CONVERSION_CASES[i].want);
    EXPECT_EQ(sample_at(bytes, 0, count - 1 - i, 1), CONVERSION_CASES[i].want);
  }
}

// Every 16-bit input value v, read as v / 32768 and written back unchanged, becomes
// trunc(v * 32767 / 32768), computed here in integers (C++ division truncates toward zero). So
// 32767 -> 32766, -32768 -> -32767, +-1 -> 0, and -32768 never appears.
TEST(WavWriter, EverySixteenBitValueRoundTrips) {
  FilePtr f = temp_file_with({});
  WavFile w = stereo_output(f.get(), 65536);
  for (int32_t v = -32768; v <= 32767; ++v) {
    ASSERT_EQ(write_one_frame(w, v / 32768.0, -v / 32768.0), 1);
  }
  const std::vector<uint8_t> bytes = file_contents(f.get());
  ASSERT_EQ(bytes.size(), 4u * 65536);
  for (int32_t v = -32768; v <= 32767; ++v) {
    const size_t n = static_cast<size_t>(v + 32768);
    const int32_t want_left = v * 32767 / 32768;
    const int32_t want_right = -v * 32767 / 32768;
    ASSERT_EQ(sample_at(bytes, 0, n, 0), want_left) << "v " << v;
    ASSERT_EQ(sample_at(bytes, 0, n, 1), want_right) << "v " << v;
  }
}

TEST(WavWriter, FailedHeaderWriteIsReported) {
  const std::string path = testing::TempDir() + "tarn_pcm_read_only.wav";
  FilePtr(std::fopen(path.c_str(), "wb"));
  FilePtr f(std::fopen(path.c_str(), "rb"));  // writes to it fail
  ASSERT_TRUE(f);
  WavFile w = stereo_output(f.get(), 10);
  EXPECT_EQ(write_wav_header(w), -1);
  std::remove(path.c_str());
}

TEST(WavWriter, HeaderBytes) {
  // clang-format off
  const uint8_t want_stereo[44] = {
      'R', 'I', 'F', 'F', 0x24, 0x71, 0x02, 0x00,   // 36 + 4 * 40000
      'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 0x10, 0x00, 0x00, 0x00,
      0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00,  // PCM, 2 channels, 44100 Hz
      0x10, 0xB1, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00,  // 176400 bytes/s, align 4, 16 bits
      'd', 'a', 't', 'a', 0x00, 0x71, 0x02, 0x00};     // 4 * 40000
  // Another format: the derived fields follow it, block align stays 4.
  const uint8_t want_mono8[44] = {
      'R', 'I', 'F', 'F', 0x27, 0x00, 0x00, 0x00,   // 36 + 3
      'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 0x10, 0x00, 0x00, 0x00,
      0x01, 0x00, 0x01, 0x00, 0x22, 0x56, 0x00, 0x00,  // PCM, 1 channel, 22050 Hz
      0x22, 0x56, 0x00, 0x00, 0x04, 0x00, 0x08, 0x00,  // 22050 bytes/s, align 4, 8 bits
      'd', 'a', 't', 'a', 0x03, 0x00, 0x00, 0x00};     // 3 frames of 1 byte
  // clang-format on
  FilePtr f = temp_file_with(std::vector<uint8_t>(50, 0xEE));  // header goes to offset 0
  WavFile w = stereo_output(f.get(), 40000);
  w.samples_done = 7;
  std::fseek(f.get(), 0, SEEK_END);
  ASSERT_EQ(write_wav_header(w), 0);
  EXPECT_EQ(w.samples_done, 0u);
  std::vector<uint8_t> bytes = file_contents(f.get());
  ASSERT_EQ(bytes.size(), 50u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 44),
            std::vector<uint8_t>(want_stereo, want_stereo + 44));

  f = temp_file_with({});
  w = WavFile{f.get(), 22050, 8, 1, 3, 0};
  ASSERT_EQ(write_wav_header(w), 0);
  EXPECT_EQ(file_contents(f.get()), std::vector<uint8_t>(want_mono8, want_mono8 + 44));
}

TEST(WavWriter, RewriteSizesForFramesWritten) {
  FilePtr f = temp_file_with({});
  WavFile w = stereo_output(f.get(), 1000);
  ASSERT_EQ(write_wav_header(w), 0);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(write_one_frame(w, 0.5, -0.5), 1);
  ASSERT_EQ(rewrite_wav_sizes(w), 0);
  ASSERT_EQ(write_one_frame(w, 0.25, 0.25), 1);  // lands at the end, not in the header
  const std::vector<uint8_t> bytes = file_contents(f.get());
  ASSERT_EQ(bytes.size(), 44u + 4 * 11);
  EXPECT_EQ(load_le32(bytes.data() + 4), 36u + 4 * 10);
  EXPECT_EQ(load_le32(bytes.data() + 40), 4u * 10);
  EXPECT_EQ(sample_at(bytes, 44, 10, 0), 8191);
}

// The largest frame count a header can state, from the RIFF rule: 36 + data bytes < 2^32.
uint32_t largest_frames(uint32_t frame_bytes) {
  return static_cast<uint32_t>((0xFFFFFFFFull - 36) / frame_bytes);
}

// A frame count beyond what a WAV can describe is lowered to the largest one: no size field
// wraps, and writing stops there.
TEST(WavWriter, SizeFieldsNeverWrap) {
  struct Case {
    const char* name;
    int32_t channels, bits;
    uint32_t sample_count;
  };
  const uint32_t stereo_limit = largest_frames(4);
  const Case CASES[] = {
      {"stereo, largest count", 2, 16, stereo_limit},
      {"stereo, one above", 2, 16, stereo_limit + 1},
      {"stereo, 2^32 - 1", 2, 16, 0xFFFFFFFFu},
      {"mono 8-bit, 2^32 - 1", 1, 8, 0xFFFFFFFFu},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    const uint32_t frame_bytes = static_cast<uint32_t>(c.channels * c.bits / 8);
    const uint32_t limit = largest_frames(frame_bytes);
    const uint32_t stated = std::min(c.sample_count, limit);
    FilePtr f = temp_file_with({});
    WavFile w{f.get(), 44100, c.bits, c.channels, c.sample_count, 0};
    EXPECT_EQ(max_wav_frames(w), limit);
    ASSERT_EQ(write_wav_header(w), 0);
    EXPECT_EQ(w.sample_count, stated);
    std::vector<uint8_t> bytes = file_contents(f.get());
    ASSERT_EQ(bytes.size(), 44u);
    EXPECT_EQ(load_le32(bytes.data() + 40), uint64_t{stated} * frame_bytes);
    EXPECT_EQ(load_le32(bytes.data() + 4), uint64_t{stated} * frame_bytes + 36);

  }
}

}  // namespace
}  // namespace tarn
