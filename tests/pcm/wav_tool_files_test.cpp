// The reader against WAV files written by real tools (sox, ffmpeg). make_fixtures.sh writes them
// into the test data folder before these tests run (CTest fixture pcm_fixtures).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "format/byte_order.h"
#include "pcm/pcm_test_files.h"
#include "programs/wav_reader.h"

namespace tarn {
namespace {

using test::FilePtr;

constexpr uint32_t UNTOUCHED = 12345;

FilePtr open_fixture(const std::string& name) {
  const std::string path = std::string(TARN_TEST_DATA_DIR) + "/" + name;
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f)
    ADD_FAILURE() << path << " is missing: run the tests through ctest, or "
                  << "tests/pcm/make_fixtures.sh " << TARN_TEST_DATA_DIR;
  return f;
}

struct ToolFileCase {
  const char* file;
  int code;
  int32_t rate_hz, bits, channels;  // expected on 0 and -3
  uint32_t sample_count;            // expected on 0; untouched otherwise
};

const ToolFileCase TOOL_FILE_CASES[] = {
    {"tool_plain.wav", 0, 44100, 16, 2, 40000},    {"tool_short.wav", 0, 44100, 16, 2, 1000},
    {"tool_list.wav", 0, 44100, 16, 2, 40000},     {"tool_fmt18.wav", 0, 44100, 16, 2, 40000},
    {"tool_pipe.wav", 0, 44100, 16, 2, 40000},     {"tool_bext_odd.wav", 0, 44100, 16, 2, 40000},
    {"tool_float.wav", -2, 0, 0, 0, UNTOUCHED},    {"tool_ext16.wav", 0, 44100, 16, 2, 40000},
    {"tool_ext24.wav", -2, 0, 0, 0, UNTOUCHED},    {"tool_mono.wav", -3, 44100, 16, 1, UNTOUCHED},
    {"tool_48k.wav", -3, 48000, 16, 2, UNTOUCHED}, {"tool_8bit.wav", -3, 44100, 8, 2, UNTOUCHED},
};

TEST(WavToolFiles, HeaderResults) {
  for (const ToolFileCase& c : TOOL_FILE_CASES) {
    SCOPED_TRACE(c.file);
    FilePtr f = open_fixture(c.file);
    ASSERT_TRUE(f);
    WavFile w;
    w.file = f.get();
    w.sample_count = UNTOUCHED;
    ASSERT_EQ(read_wav_header(w), c.code);
    if (c.code == 0 || c.code == -3) {
      EXPECT_EQ(w.sample_rate, c.rate_hz);
      EXPECT_EQ(w.bits_per_sample, c.bits);
      EXPECT_EQ(w.channel_count, c.channels);
    }
    EXPECT_EQ(w.sample_count, c.sample_count);
  }
}

// The accepted 40000-frame files all hold the same samples; sox's raw dump of the plain file
// says what they are. The first 32768 come in one block read, the rest frame by frame.
TEST(WavToolFiles, SamplesMatchSoxRawDump) {
  FilePtr raw_file = open_fixture("tool_plain.raw");
  ASSERT_TRUE(raw_file);
  std::vector<uint8_t> raw(4 * 40000);
  ASSERT_EQ(std::fread(raw.data(), 1, raw.size(), raw_file.get()), raw.size());
  auto raw_sample = [&](size_t n, int channel) {
    return static_cast<int16_t>(load_le16(raw.data() + 4 * n + 2 * channel));
  };
  for (const char* name :
       {"tool_plain.wav", "tool_list.wav", "tool_fmt18.wav", "tool_pipe.wav", "tool_bext_odd.wav"}) {
    SCOPED_TRACE(name);
    FilePtr f = open_fixture(name);
    ASSERT_TRUE(f);
    WavFile w;
    w.file = f.get();
    ASSERT_EQ(read_wav_header(w), 0);
    constexpr size_t FIRST = 32768;
    std::vector<uint8_t> block(4 * FIRST);
    ASSERT_EQ(read_stereo_frames(w, block.data(), FIRST), static_cast<int>(FIRST));
    for (size_t n = 0; n < FIRST; ++n) {
      ASSERT_EQ(static_cast<int16_t>(load_le16(&block[4 * n])), raw_sample(n, 0)) << "frame " << n;
      ASSERT_EQ(static_cast<int16_t>(load_le16(&block[4 * n + 2])), raw_sample(n, 1)) << "frame " << n;
    }
    uint8_t b[4];
    for (size_t n = FIRST; n < 40000; ++n) {
      ASSERT_EQ(read_stereo_frames(w, b, 1), 1) << "frame " << n;
      ASSERT_EQ(std::vector<uint8_t>(b, b + 4),
                std::vector<uint8_t>(raw.begin() + 4 * n, raw.begin() + 4 * n + 4))
          << "frame " << n;
    }
    EXPECT_EQ(read_stereo_frames(w, b, 1), 0);
  }
}

}  // namespace
}  // namespace tarn
