#include "programs/wav_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "pcm/pcm_test_files.h"

namespace tarn {
namespace {

using test::chunk;
using test::FilePtr;
using test::stereo_pcm;
using test::temp_file_with;
using test::wav_bytes;
using test::WavImage;

// Values no header can give, to see which fields the reader touched.
WavFile sentinel_wav(std::FILE* f) {
  WavFile w;
  w.file = f;
  w.sample_rate = -7;
  w.bits_per_sample = -7;
  w.channel_count = -7;
  w.sample_count = 12345;
  w.samples_done = 678;
  return w;
}

struct HeaderCase {
  const char* name;
  WavImage image;
  int code;
  int32_t rate_hz, bits, channels;  // expected on 0 and -3
  uint32_t sample_count;            // expected on 0
  long data_offset;                 // file position expected on 0
};

std::vector<HeaderCase> header_cases() {
  auto with = [](auto edit) {
    WavImage w;
    edit(w);
    return w;
  };
  const std::vector<uint8_t> list_body(26, 'L');
  return {
      {"canonical", WavImage{}, 0, 44100, 16, 2, 44100, 44},
      {"riff id not looked at", with([](WavImage& w) { w.riff_id = "JUNK"; }), 0, 44100, 16, 2,
       44100, 44},
      {"first chunk id not looked at", with([](WavImage& w) { w.fmt_id = "abcd"; }), 0, 44100, 16,
       2, 44100, 44},
      {"data size remainder dropped", with([](WavImage& w) { w.data_size = 176403; }), 0, 44100, 16,
       2, 44100, 44},
      {"fmt of 18 bytes", with([](WavImage& w) {
         w.fmt_size = 18;
         w.fmt_extra = {0, 0};
       }),
       0, 44100, 16, 2, 44100, 46},
      {"list chunk skipped",
       with([&](WavImage& w) { w.before_data = chunk("LIST", 26, list_body); }), 0, 44100, 16, 2,
       44100, 78},
      {"odd chunk without pad byte", with([](WavImage& w) {
         w.before_data = chunk("junk", 3, {1, 2, 3});
       }),
       0, 44100, 16, 2, 44100, 55},
      // The pad byte a strict writer puts after an odd body (tests/driver: more cases).
      {"odd chunk with pad byte", with([](WavImage& w) {
         w.before_data = chunk("junk", 3, {1, 2, 3, 0});
       }),
       0, 44100, 16, 2, 44100, 56},
      // Only a 0x00 is a pad byte; any other byte starts the next chunk header.
      {"odd chunk followed by a byte other than 0", with([](WavImage& w) {
         w.before_data = chunk("junk", 3, {1, 2, 3, 0x7F});
       }),
       -1, 0, 0, 0, 0, 0},
      // Read by stored sizes, as without pad bytes: the next chunk's id starts with the 0x00 a
      // pad-first walk would take for a pad byte.
      {"odd chunk without pad byte, then an id starting with 0", with([](WavImage& w) {
         w.before_data = chunk("junk", 3, {1, 2, 3});
         const std::vector<uint8_t> zero_id = chunk(std::string("\0abc", 4), 2, {9, 9});
         w.before_data.insert(w.before_data.end(), zero_id.begin(), zero_id.end());
       }),
       0, 44100, 16, 2, 44100, 65},
      {"form type not WAVE", with([](WavImage& w) { w.form = "WAVF"; }), -1, 0, 0, 0, 0, 0},
      {"no data chunk", with([&](WavImage& w) {
         w.before_data = chunk("LIST", 26, list_body);
         w.with_data_header = false;
       }),
       -1, 0, 0, 0, 0, 0},
      {"chunk size past the end",
       with([](WavImage& w) { w.before_data = chunk("big ", 0xFFFFFFFFu, {}); }), -1, 0, 0, 0, 0,
       0},
      // Unsigned S - 16 wraps to a seek of nearly 4 GiB forward, never backward.
      {"fmt size below 16", with([](WavImage& w) { w.fmt_size = 14; }), -1, 0, 0, 0, 0, 0},
      {"float 32-bit stereo", with([](WavImage& w) {
         w.format_tag = 3;
         w.bits = 32;
       }),
       -2, 0, 0, 0, 0, 0},
      {"extensible", with([](WavImage& w) { w.format_tag = 0xFFFE; }), -2, 0, 0, 0, 0, 0},
      {"mono", with([](WavImage& w) { w.channels = 1; }), -3, 44100, 16, 1, 0, 0},
      {"48000 Hz", with([](WavImage& w) { w.rate_hz = 48000; }), -3, 48000, 16, 2, 0, 0},
      {"8 bits", with([](WavImage& w) { w.bits = 8; }), -3, 44100, 8, 2, 0, 0},
      {"16-bit fields sign-extended", with([](WavImage& w) {
         w.channels = 0xFFFF;
         w.bits = 0xFFF0;
       }),
       -3, 44100, -16, -1, 0, 0},
  };
}

TEST(WavReader, HeaderCases) {
  for (const HeaderCase& c : header_cases()) {
    SCOPED_TRACE(c.name);
    // The data chunk holds what its size says (sizes beyond the file: tests/driver).
    WavImage image = c.image;
    if (image.with_data_header) image.data.resize(image.data_size);
    FilePtr f = temp_file_with(wav_bytes(image));
    ASSERT_TRUE(f);
    WavFile w = sentinel_wav(f.get());
    ASSERT_EQ(read_wav_header(w), c.code);
    if (c.code == 0 || c.code == -3) {
      EXPECT_EQ(w.sample_rate, c.rate_hz);
      EXPECT_EQ(w.bits_per_sample, c.bits);
      EXPECT_EQ(w.channel_count, c.channels);
    } else {
      EXPECT_EQ(w.sample_rate, -7);
      EXPECT_EQ(w.bits_per_sample, -7);
      EXPECT_EQ(w.channel_count, -7);
    }
    if (c.code == 0) {
      EXPECT_EQ(w.sample_count, c.sample_count);
      EXPECT_EQ(w.samples_done, 0u);
      EXPECT_EQ(std::ftell(f.get()), c.data_offset);
    } else {
      EXPECT_EQ(w.sample_count, 12345u);
      EXPECT_EQ(w.samples_done, 678u);
    }
  }
}

// No byte that was not read is judged: every prefix of a valid header (with a LIST chunk) that
// stops before the data chunk's 8-byte header is complete is "not a WAV file", including the
// prefixes shorter than 36 bytes that the format check would otherwise see half-read.
TEST(WavReader, EveryTruncatedHeaderIsNotWave) {
  WavImage image;
  image.before_data = chunk("LIST", 4, {'I', 'N', 'F', 'O'});
  const std::vector<uint8_t> full = wav_bytes(image);
  ASSERT_EQ(full.size(), 56u);
  for (size_t len = 0; len <= full.size(); ++len) {
    SCOPED_TRACE(len);
    FilePtr f = temp_file_with(std::vector<uint8_t>(full.begin(), full.begin() + len));
    WavFile w = sentinel_wav(f.get());
    EXPECT_EQ(read_wav_header(w), len == full.size() ? 0 : -1);
  }
  // The format is judged once the 36 header bytes are read, before the chunk walk.
  WavImage mono;
  mono.channels = 1;
  const std::vector<uint8_t> mono_bytes = wav_bytes(mono);
  for (size_t len : {35u, 36u}) {
    FilePtr f = temp_file_with(std::vector<uint8_t>(mono_bytes.begin(), mono_bytes.begin() + len));
    WavFile w = sentinel_wav(f.get());
    EXPECT_EQ(read_wav_header(w), len == 35 ? -1 : -3) << len << " bytes";
  }
}

TEST(WavReader, StereoFrameStopsAtSampleCountAndShortRead) {
  // The data chunk claims 3 frames; the stream holds 2 whole frames and half of a third, then
  // bytes past the claimed end are never reached. A memory stream has no size to limit the
  // claim (a regular file would give sample_count 2).
  WavImage image;
  image.data_size = 12;
  image.data = stereo_pcm({1, 2}, {-1, -2});
  image.data.push_back(0x55);
  image.data.push_back(0x66);
  std::vector<uint8_t> cut = wav_bytes(image);
  FilePtr f(fmemopen(cut.data(), cut.size(), "rb"));
  ASSERT_TRUE(f);
  WavFile w{f.get()};
  ASSERT_EQ(read_wav_header(w), 0);
  ASSERT_EQ(w.sample_count, 3u);
  uint8_t b[4];
  ASSERT_EQ(read_stereo_frames(w, b, 1), 1);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[2], 0xFF);
  ASSERT_EQ(read_stereo_frames(w, b, 1), 1);
  EXPECT_EQ(read_stereo_frames(w, b, 1), 0);  // only 2 of 4 bytes left
  EXPECT_EQ(w.samples_done, 2u);

  // A complete file: once samples_done reaches sample_count the file is not touched.
  image.data_size = 8;
  image.data = stereo_pcm({1, 2, 3}, {4, 5, 6});
  f = temp_file_with(wav_bytes(image));
  w = WavFile{f.get()};
  ASSERT_EQ(read_wav_header(w), 0);
  ASSERT_EQ(read_stereo_frames(w, b, 1), 1);
  ASSERT_EQ(read_stereo_frames(w, b, 1), 1);
  const long at = std::ftell(f.get());
  EXPECT_EQ(read_stereo_frames(w, b, 1), 0);
  EXPECT_EQ(std::ftell(f.get()), at);
  EXPECT_EQ(w.samples_done, 2u);
}

}  // namespace
}  // namespace tarn
