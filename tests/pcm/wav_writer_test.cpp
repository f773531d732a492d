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

#include "format/byte_order.h"
#include "pcm/pcm_test_files.h"

namespace tarn {
namespace {

// One frame through write_stereo_frames: 1 when it was written, 0 when not.
int write_one_frame(WavFile& w, double left, double right) {
  return write_stereo_frames(w, &left, &right, 1);
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

TEST(WavWriter, NoFramePastSampleCount) {
  FilePtr f = temp_file_with({});
  WavFile w = stereo_output(f.get(), 3);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(write_one_frame(w, 0.25, -0.25), i < 3 ? 1 : 0) << "frame " << i;
  }
  EXPECT_EQ(w.samples_done, 3u);
  EXPECT_EQ(file_contents(f.get()).size(), 12u);
}

TEST(WavWriter, FailedWriteLeavesCountUnchanged) {
  const std::string path = testing::TempDir() + "tarn_pcm_read_only.wav";
  FilePtr(std::fopen(path.c_str(), "wb"));
  FilePtr f(std::fopen(path.c_str(), "rb"));  // writes to it fail
  ASSERT_TRUE(f);
  WavFile w = stereo_output(f.get(), 10);
  EXPECT_EQ(write_one_frame(w, 0.5, 0.5), 0);
  EXPECT_EQ(w.samples_done, 0u);
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

    // The writer stops at the stated count: three frames short of it, ten are offered.
    if (c.bits != 16 || c.channels != 2) continue;
    w.samples_done = stated - 3;
    const std::vector<double> zeros(10, 0.0);
    EXPECT_EQ(write_stereo_frames(w, zeros.data(), zeros.data(), 10), 3);
    EXPECT_EQ(w.samples_done, stated);
  }
}

struct OverlapCase {
  uint32_t frames;  // sample_count of the output
  int hop;
};

// Runs the decoder's calling pattern over ceil(frames / hop) + 1 blocks whose frames are random
// multiples of 2^-16 (so every overlap sum is exact and below 1 in magnitude) and checks the file
// against the plain rule: block 0 puts the second half of its frame on output frames 0 .. H-1,
// block k >= 1 adds its whole frame onto output frames (k-1)H .. (k+1)H - 1. A written value s
// becomes trunc(s * 32767), computed in integers as (code * 32767) / 65536.
// Returns the number of frames each left call wrote, by block.
std::map<int, uint32_t> check_overlap_add(const OverlapCase& c) {
  const int h = c.hop;
  const int blocks = static_cast<int>((c.frames + h - 1) / h) + 1;
  const size_t covered = static_cast<size_t>(blocks + 1) * h;
  std::vector<int64_t> sum_code[2] = {std::vector<int64_t>(covered), std::vector<int64_t>(covered)};
  FilePtr f = temp_file_with({});
  WavFile w = stereo_output(f.get(), c.frames);
  ChannelBuffer l, r;
  EXPECT_EQ(create_output_buffers(l, r), PCM_OK);
  EXPECT_EQ(write_wav_header(w), 0);
  uint32_t seed = 12345;
  std::vector<double> frame(2 * h);
  std::map<int, uint32_t> written_by_left;
  for (int k = 0; k < blocks; ++k) {
    for (int ch = 0; ch < 2; ++ch) {
      for (int j = 0; j < 2 * h; ++j) {
        seed = seed * 1103515245u + 12345u;
        const int32_t code = static_cast<int32_t>((seed >> 8) % 60001) - 30000;
        frame[j] = code / 65536.0;
        const long n = k == 0 ? j - h : static_cast<long>(k - 1) * h + j;
        if (n >= 0) sum_code[ch][n] += code;
      }
      const uint32_t before = w.samples_done;
      overlap_add_frame(w, l, r, frame.data(), ch, 2 * h, h);
      if (w.samples_done != before) {
        EXPECT_EQ(ch, 0) << "a right call wrote at block " << k;
        written_by_left[k] = w.samples_done - before;
      }
      if (k == 0) {
        EXPECT_EQ((ch == 0 ? l : r).position, h);
        EXPECT_EQ((ch == 0 ? l : r).ready, 0);
      }
    }
    EXPECT_EQ(l.position, r.position) << "block " << k;
    EXPECT_EQ(l.ready, r.ready) << "block " << k;
    EXPECT_EQ(l.position - l.ready, h) << "block " << k;
  }
  flush_output(w, l, r);
  const std::vector<uint8_t> bytes = file_contents(f.get());
  EXPECT_EQ(bytes.size(), 44u + 4u * c.frames);  // exactly sample_count frames, never more
  for (size_t n = 0; n < c.frames && 44 + 4 * n + 4 <= bytes.size(); ++n) {
    for (int ch = 0; ch < 2; ++ch) {
      const int64_t want = sum_code[ch][n] * 32767 / 65536;
      if (sample_at(bytes, 44, n, ch) != want) {
        ADD_FAILURE() << "frame " << n << " channel " << ch << ": " << sample_at(bytes, 44, n, ch)
                      << " != " << want;
        return written_by_left;
      }
    }
  }
  return written_by_left;
}

TEST(WavWriter, OverlapAddMatchesThePlainRule) {
  const OverlapCase cases[] = {{32768, 256},  {100000, 256},  {40000, 256}, {5000, 64},
                               {33000, 1024}, {50000, 16384}, {1, 256}};
  for (const OverlapCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.frames << " frames, hop " << c.hop);
    check_overlap_add(c);
  }
}

// A sink that keeps up to `capacity` frames' bytes.
struct FrameSink {
  size_t capacity;
  std::vector<uint8_t> bytes;
};
size_t keep_frames(void* user, const uint8_t* frames, size_t count) {
  FrameSink& sink = *static_cast<FrameSink*>(user);
  const size_t room = sink.capacity - sink.bytes.size() / 4;
  const size_t take = count < room ? count : room;
  sink.bytes.insert(sink.bytes.end(), frames, frames + 4 * take);
  return take;
}

// The frame writers give a sink the bytes they would write to the file, and a sink that takes
// fewer frames than offered stops them as a short write does.
TEST(WavWriter, SinkGetsTheFileBytes) {
  struct SinkCase {
    uint32_t sample_count;
    int offered;      // frames offered to write_stereo_frames, then one more frame
    size_t capacity;  // frames the sink takes in all
  };
  const SinkCase cases[] = {{5000, 4000, 100000}, {3000, 4000, 100000}, {5000, 4000, 1500}};
  for (const SinkCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sample_count << " frames, " << c.capacity << " taken");
    std::vector<double> left(c.offered), right(c.offered);
    for (int i = 0; i < c.offered; ++i) {
      left[i] = std::sin(0.01 * i) * 1.2;
      right[i] = std::cos(0.003 * i) * 0.7;
    }
    FilePtr f = temp_file_with({});
    WavFile to_file = stereo_output(f.get(), c.sample_count);
    write_stereo_frames(to_file, left.data(), right.data(), c.offered);
    write_one_frame(to_file, 0.25, -0.25);
    FrameSink sink{c.capacity, {}};
    WavFile to_sink = stereo_output(nullptr, c.sample_count);
    to_sink.sink = keep_frames;
    to_sink.sink_user = &sink;
    const int written = write_stereo_frames(to_sink, left.data(), right.data(), c.offered);
    const int single = write_one_frame(to_sink, 0.25, -0.25);
    const std::vector<uint8_t> file = file_contents(f.get());
    const size_t taken = std::min<size_t>(c.capacity, file.size() / 4);
    EXPECT_EQ(to_sink.samples_done, taken);
    EXPECT_EQ(static_cast<size_t>(written), std::min<size_t>(taken, c.offered));
    EXPECT_EQ(single, taken > static_cast<size_t>(c.offered) ? 1 : 0);
    ASSERT_EQ(sink.bytes.size(), 4 * taken);
    EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), file.begin()));
  }
}

// With hop 256 the wrap comes in the left call of the block that finds position 32512 (block
// 127, one block before the frame would pass index 32767) and writes 32256 pairs; afterwards the
// buffers restart at position 512, so every 126 blocks another 32256 pairs follow. The rest is
// left to flush_output: 512 pairs for 32768 frames (129 blocks).
TEST(WavWriter, WrapWrites32256PairsOneBlockEarly) {
  const std::map<int, uint32_t> one_buffer = {{127, 32256}};
  EXPECT_EQ(check_overlap_add({32768, 256}), one_buffer);
  const std::map<int, uint32_t> long_file = {{127, 32256}, {253, 32256}, {379, 32256}};
  EXPECT_EQ(check_overlap_add({100000, 256}), long_file);
}

TEST(WavWriter, FlushReportsUnequalReadyCounts) {
  FilePtr f = temp_file_with({});
  WavFile w = stereo_output(f.get(), 100000);
  ChannelBuffer l, r;
  ASSERT_EQ(create_output_buffers(l, r), PCM_OK);
  const std::vector<double> frame(512, 0.25);
  for (int call = 0; call < 5; ++call) {  // left, right, left, right, left
    overlap_add_frame(w, l, r, frame.data(), call % 2, 512, 256);
  }
  testing::internal::CaptureStdout();
  flush_output(w, l, r);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Aguas!!! 512 256 \n");
  EXPECT_EQ(w.samples_done, 512u);  // the left count decides
}

// A caller that keeps adding to one channel only: the wrap frees nothing (the other channel has
// no finished samples), so frames that no longer fit are dropped instead of written past the
// buffer. The sanitizer build checks the bounds.
TEST(WavWriter, OneSidedCallsStayInsideTheBuffer) {
  FilePtr f = temp_file_with({});
  WavFile w = stereo_output(f.get(), 100000);
  ChannelBuffer l, r;
  ASSERT_EQ(create_output_buffers(l, r), PCM_OK);
  const std::vector<double> frame(512, 0.25);
  overlap_add_frame(w, l, r, frame.data(), 1, 512, 256);
  for (int k = 0; k < 200; ++k) overlap_add_frame(w, l, r, frame.data(), 0, 512, 256);
  EXPECT_LE(l.position, CHANNEL_BUFFER_SAMPLES);
  EXPECT_EQ(w.samples_done, 0u);
}

}  // namespace
}  // namespace tarn
