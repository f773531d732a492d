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

// A 16-bit value v becomes v / 32768 exactly, and a short file leaves zeros behind its data.
TEST(WavReader, FillConvertsSamplesAndZeroesTheRest) {
  const std::vector<int16_t> left = {-32768, 32767, 1, -1, 0};
  const std::vector<int16_t> right = {32767, -32768, -1, 1, 16384};
  WavImage image;
  image.data = stereo_pcm(left, right);
  image.data_size = static_cast<uint32_t>(image.data.size());
  FilePtr f = temp_file_with(wav_bytes(image));
  WavFile w{f.get()};
  ASSERT_EQ(read_wav_header(w), 0);
  ChannelBuffer l, r;
  l.position = r.position = 99;
  ASSERT_EQ(fill_input_buffers(w, l, r), PCM_OK);
  EXPECT_EQ(l.position, 0);
  EXPECT_EQ(r.position, 0);
  const double want_left[] = {-1.0, 0.999969482421875, 1.0 / 32768, -1.0 / 32768, 0.0};
  const double want_right[] = {0.999969482421875, -1.0, -1.0 / 32768, 1.0 / 32768, 0.5};
  for (int n = 0; n < 5; ++n) {
    EXPECT_EQ(l.samples[n], want_left[n]) << "sample " << n;
    EXPECT_EQ(r.samples[n], want_right[n]) << "sample " << n;
  }
  for (int n = 5; n < CHANNEL_BUFFER_SAMPLES; ++n) {
    ASSERT_EQ(l.samples[n], 0.0) << "sample " << n;
    ASSERT_EQ(r.samples[n], 0.0) << "sample " << n;
  }
}

// Test signal: every 16-bit value once per 65536 frames, in a different order per channel, so a
// sample from the wrong index or the wrong channel cannot match.
int16_t left_value(long n) { return static_cast<int16_t>((n * 7919 + 13) & 0xFFFF); }
int16_t right_value(long n) { return static_cast<int16_t>((n * 40503 + 977) & 0xFFFF); }

FilePtr signal_file(long frames) {
  std::vector<int16_t> l(frames), r(frames);
  for (long n = 0; n < frames; ++n) {
    l[n] = left_value(n);
    r[n] = right_value(n);
  }
  WavImage image;
  image.data = stereo_pcm(l, r);
  image.data_size = static_cast<uint32_t>(image.data.size());
  return temp_file_with(wav_bytes(image));
}

struct FramingCase {
  long frames;  // length of the file
  int frame_length, overlap;
};

// Fetches every block of a file and compares each frame with the plain rule: with A = N - L,
// the frame of block k holds input frames A*k - L .. A*k - L + N - 1, zeros outside the data.
void check_framing(const FramingCase& c) {
  FilePtr f = signal_file(c.frames);
  WavFile w{f.get()};
  ASSERT_EQ(read_wav_header(w), 0);
  ChannelBuffer l, r;
  ASSERT_EQ(fill_input_buffers(w, l, r), PCM_OK);
  const int n_len = c.frame_length, advance = c.frame_length - c.overlap;
  const long blocks = (c.frames + c.overlap + advance - 1) / advance + 1;
  std::vector<double> scratch(n_len);
  for (long k = 0; k < blocks; ++k) {
    for (int ch = 0; ch < 2; ++ch) {
      const double* frame = fetch_frame(w, l, r, scratch.data(), ch, n_len, c.overlap);
      for (int j = 0; j < n_len; ++j) {
        const long n = advance * k - c.overlap + j;
        const double want =
            n < 0 || n >= c.frames ? 0.0 : (ch == 0 ? left_value(n) : right_value(n)) / 32768.0;
        ASSERT_EQ(frame[j], want) << "block " << k << " channel " << ch << " index " << j;
      }
    }
    ASSERT_EQ(l.position, r.position) << "block " << k;
  }
  EXPECT_EQ(w.samples_done, static_cast<uint32_t>(c.frames));  // every frame read, once
}

TEST(WavReader, FramesMatchThePlainRuleAcrossRefills) {
  const FramingCase cases[] = {
      {32768, 512, 256},  // exactly one buffer: the refill reads nothing
      {40017, 512, 256},  // not a multiple of 256
      {64256, 512, 256},  // the data ends exactly where the first refill's reading ends
      {100000, 512, 256}, {100000, 1024, 512},   {100000, 2048, 1024},
      {100000, 300, 100}, {100000, 31744, 1024}, {70000, 31743, 0},  // largest advance
  };
  for (const FramingCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.frames << " frames, N " << c.frame_length << " L " << c.overlap);
    check_framing(c);
  }
}

// The refill is keyed on the left buffer and comes one block early: the first one in the left
// fetch of block 127 (position 32512), reading 31488 frames; it leaves position 1280 after that
// fetch, so block 128 starts from 1280 and the next trigger comes (32512 - 1280) / 256 = 122
// blocks later, at block 250, then at 373. Nothing is read in any other fetch, and the right
// channel finds its position already moved.
TEST(WavReader, RefillTriggeredByLeftFetchAtPosition32512) {
  FilePtr f = signal_file(100000);
  WavFile w{f.get()};
  ASSERT_EQ(read_wav_header(w), 0);
  ChannelBuffer l, r;
  ASSERT_EQ(fill_input_buffers(w, l, r), PCM_OK);
  ASSERT_EQ(w.samples_done, 32768u);
  double scratch[512];
  for (int k = 0; k < 392; ++k) {
    const uint32_t before = w.samples_done;
    const int left_position = l.position;
    fetch_frame(w, l, r, scratch, 0, 512, 256);
    const uint32_t after_left = w.samples_done;
    fetch_frame(w, l, r, scratch, 1, 512, 256);
    EXPECT_EQ(w.samples_done, after_left) << "right fetch read at block " << k;
    if (k == 127 || k == 250 || k == 373) {
      EXPECT_EQ(left_position, 32512) << "block " << k;
      EXPECT_EQ(after_left - before, k == 373 ? 100000u - 95744u : 31488u) << "block " << k;
      EXPECT_EQ(l.position, 1280);
      EXPECT_EQ(r.position, 1280);
    } else {
      EXPECT_EQ(after_left, before) << "block " << k;
    }
  }
}

}  // namespace
}  // namespace tarn

namespace tarn {
namespace {

// A source that hands out the frames of bytes.
struct FrameSource {
  const std::vector<uint8_t>* bytes;
  size_t next = 0;  // frames handed out
};
size_t give_frames(void* user, uint8_t* frames, size_t count) {
  FrameSource& s = *static_cast<FrameSource*>(user);
  const size_t n = std::min(count, s.bytes->size() / 4 - s.next);
  std::copy_n(s.bytes->begin() + 4 * s.next, 4 * n, frames);
  s.next += n;
  return n;
}

// The framing reads a source as it reads a file: the same frames, block for block, across
// refills; reading stops at sample_count, and a source that runs out ends the input there, as
// a short file does.
TEST(WavReader, SourceFramesMatchTheFile) {
  struct SourceCase {
    uint32_t frames;     // frames the data holds
    uint32_t announced;  // sample_count
  };
  const SourceCase cases[] = {{70000, 70000}, {70000, 50000}, {40000, 50000}};
  for (const SourceCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.frames << " frames, " << c.announced << " announced");
    std::vector<int16_t> left(c.frames), right(c.frames);
    for (uint32_t i = 0; i < c.frames; ++i) {
      left[i] = static_cast<int16_t>((i * 7919u) % 65536u - 32768);
      right[i] = static_cast<int16_t>((i * 104729u) % 65536u - 32768);
    }
    const std::vector<uint8_t> data = test::stereo_pcm(left, right);
    FilePtr f = temp_file_with(data);
    WavFile from_file;
    from_file.file = f.get();
    from_file.sample_count = c.announced;
    FrameSource source{&data};
    WavFile from_source;
    from_source.sample_count = c.announced;
    from_source.source = give_frames;
    from_source.source_user = &source;
    ChannelBuffer fl, fr, sl, sr;
    ASSERT_EQ(fill_input_buffers(from_file, fl, fr), PCM_OK);
    ASSERT_EQ(fill_input_buffers(from_source, sl, sr), PCM_OK);
    std::vector<double> a(512), b(512);
    const int blocks = static_cast<int>(c.announced / 256) + 2;
    for (int k = 0; k < blocks; ++k) {
      for (int ch = 0; ch < 2; ++ch) {
        const double* x = fetch_frame(from_file, fl, fr, a.data(), ch, 512, 256);
        const double* y = fetch_frame(from_source, sl, sr, b.data(), ch, 512, 256);
        ASSERT_TRUE(std::equal(x, x + 512, y)) << "block " << k << " channel " << ch;
      }
    }
    EXPECT_EQ(from_source.samples_done, from_file.samples_done);
  }
}

}  // namespace
}  // namespace tarn
