// Runs that end early leave files that tell the truth: a full disk under the output WAV. The
// WAV's size fields state the frames it holds and "End of Synthesis" counts them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace tarn {
namespace {

using namespace tarn_test;

constexpr uint32_t SHORT_FRAMES = 32768;   // 129 blocks
constexpr int LONG_BLOCKS = 100000;        // about 9.7 minutes
constexpr uint32_t LONG_FRAMES = 256 * (LONG_BLOCKS - 1);

class EarlyEndTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = make_temp_dir();
    write_wav(dir_ / "short.wav", SHORT_FRAMES, [](uint32_t n) {
      return StereoValue{static_cast<int16_t>(std::lround(5000 * std::sin(0.021 * n))),
                         static_cast<int16_t>(std::lround(2500 * std::sin(0.13 * n)))};
    });
    ASSERT_EQ(run_program("tarn", {path("short.wav"), path("short.tarn"), path("short-out.wav")})
                  .exit_status,
              0);
    // A long stream: the short one's header claiming LONG_FRAMES, then one of its middle blocks
    // LONG_BLOCKS times (records are decoded one by one, so any block fits anywhere).
    const std::vector<uint8_t> stream = read_bytes(path("short.tarn"));
    size_t pos = 12;
    for (int block = 0; block < 64; ++block) {
      pos += 2 + load_le16(&stream[pos]);
      pos += 2 + load_le16(&stream[pos]);
    }
    const size_t block_start = pos;
    pos += 2 + load_le16(&stream[pos]);
    pos += 2 + load_le16(&stream[pos]);
    std::vector<uint8_t> long_stream(stream.begin(), stream.begin() + 12);
    store_le32(long_stream.data(), LONG_FRAMES);
    for (int block = 0; block < LONG_BLOCKS; ++block) {
      long_stream.insert(long_stream.end(), stream.begin() + block_start, stream.begin() + pos);
    }
    write_bytes(path("long.tarn"), long_stream);
    // A long input: a header and LONG_FRAMES frames of silence, stored as a hole.
    write_wav(dir_ / "long.wav", 0, [](uint32_t) { return StereoValue{0, 0}; });
    std::vector<uint8_t> header = read_bytes(path("long.wav"));
    store_le32(&header[4], 36 + 4 * LONG_FRAMES);
    store_le32(&header[40], 4 * LONG_FRAMES);
    write_bytes(path("long.wav"), header);
    fs::resize_file(dir_ / "long.wav", 44 + uint64_t{4} * LONG_FRAMES);
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }
  static std::string path(const std::string& name) { return (dir_ / name).string(); }
  static fs::path dir_;
};

fs::path EarlyEndTest::dir_;

// The WAV's size fields against the file; returns the frames it holds.
int64_t honest_wav_frames(const std::string& wav_path) {
  const std::vector<uint8_t> wav = read_bytes(wav_path);
  if (wav.size() < 44) {
    ADD_FAILURE() << wav_path << " has no whole header";
    return -1;
  }
  EXPECT_EQ(load_le32(&wav[4]), wav.size() - 8);
  EXPECT_EQ(load_le32(&wav[40]), wav.size() - 44);
  EXPECT_EQ((wav.size() - 44) % 4, 0u);
  return static_cast<int64_t>(wav.size() - 44) / 4;
}

// A full disk under the output WAV (a file size limit, see FileSizeLimit): the WAV keeps the
// whole frames that reached it, its size fields say so and so does "End of Synthesis".
TEST_F(EarlyEndTest, AFullDiskLeavesAnHonestWav) {
  const std::vector<uint8_t> full_decode = read_bytes(path("short-out.wav"));
  ASSERT_EQ(full_decode.size(), 44 + 4 * SHORT_FRAMES);
  const uint64_t stream_bytes = fs::file_size(dir_ / "short.tarn");
  struct Case {
    const char* name;
    const char* program;
    rlim_t limit;  // bytes a file may hold
  };
  const Case CASES[] = {
      {"decoding, a frame cut in part", "tarn-decode", 44 + 4 * 10000 + 2},
      {"decoding, room for the header only", "tarn-decode", 44},
      {"decoding, the header cut in part", "tarn-decode", 30},
      {"a whole run, its stream fits", "tarn", 44 + 4 * 20001 + 3},
  };
  const std::string wav = path("full.wav");
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    ASSERT_GT(c.limit, c.program == std::string("tarn") ? stream_bytes : 0);
    std::vector<std::string> args = {path("short.tarn"), wav};
    if (c.program == std::string("tarn")) args = {path("short.wav"), path("full.tarn"), wav};
    RunResult run;
    {
      FileSizeLimit full(c.limit);
      ASSERT_TRUE(full.active());
      run = run_program(c.program, args);
    }
    const int64_t frames = c.limit < 44 ? 0 : static_cast<int64_t>(c.limit - 44) / 4;
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_TRUE(run.output.ends_with("End of Synthesis, " + std::to_string(frames) +
                                     " samples\n\n\nError, cannot write " + wav + "\n"))
        << run.output;
    const std::vector<uint8_t> got = read_bytes(wav);
    if (c.limit < 44) {
      EXPECT_TRUE(got.empty());  // no whole header: nothing is left to misread
      continue;
    }
    EXPECT_EQ(honest_wav_frames(wav), frames);
    EXPECT_TRUE(std::equal(got.begin() + 44, got.end(), full_decode.begin() + 44));
  }
}

}  // namespace
}  // namespace tarn
