// Inputs whose header lies about the data, or that carry RIFF pad bytes, give the stream, the WAV
// and the report of an honest canonical file of the same audio.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace tarn {
namespace {

using namespace tarn_test;

using Edit = std::function<void(std::vector<uint8_t>&)>;

class HonestInputTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    for (uint32_t frames : {40000u, 36000u}) {
      write_wav(dir_ / ("honest" + std::to_string(frames) + ".wav"), frames, [](uint32_t n) {
        return StereoValue{static_cast<int16_t>(std::lround(9000 * std::sin(0.05 * n))),
                           static_cast<int16_t>(std::lround(7000 * std::sin(0.023 * n)))};
      });
    }
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // Report (without the processing time), stream and WAV of tarn on `input`, in one string.
  std::string run_tarn(const std::string& input) {
    const RunResult run = run_program("tarn", {path(input), path("s.tarn"), path("o.wav")});
    EXPECT_EQ(run.exit_status, 0) << input << ": " << run.output;
    const std::vector<uint8_t> stream = read_bytes(path("s.tarn"));
    const std::vector<uint8_t> wav = read_bytes(path("o.wav"));
    return without_processing_time(run.output) + std::string(stream.begin(), stream.end()) +
           std::string(wav.begin(), wav.end());
  }

  // The 40000-frame file changed by `edit` gives what the honest file of `frames` frames gives.
  void expect_same_as_honest(uint32_t frames, const Edit& edit) {
    std::vector<uint8_t> bytes = read_bytes(path("honest40000.wav"));
    edit(bytes);
    write_bytes(path("edited.wav"), bytes);
    EXPECT_TRUE(run_tarn("edited.wav") == run_tarn("honest" + std::to_string(frames) + ".wav"));
  }

  fs::path dir_;
};

// Inserts bytes after the 16 format bytes of a canonical file and grows the RIFF size.
void insert_after_format(std::vector<uint8_t>& wav, const std::vector<uint8_t>& bytes) {
  wav.insert(wav.begin() + 36, bytes.begin(), bytes.end());
  store_le32(&wav[4], load_le32(&wav[4]) + static_cast<uint32_t>(bytes.size()));
}

// A LIST chunk with a 5-byte body, and its pad byte when `padded`.
std::vector<uint8_t> odd_chunk(bool padded) {
  std::vector<uint8_t> chunk = {'L', 'I', 'S', 'T', 5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o', 0};
  if (!padded) chunk.pop_back();
  return chunk;
}

TEST_F(HonestInputTest, LyingDataSizesGiveTheAudioThatIsThere) {
  struct Case {
    const char* name;
    uint32_t frames;  // of the honest file with the same audio
    Edit edit;
  };
  const Case CASES[] = {
      {"a streaming writer's 0xFFFFFFFF", 40000,
       [](std::vector<uint8_t>& w) { store_le32(&w[40], 0xFFFFFFFFu); }},
      {"twice the data claimed", 40000,
       [](std::vector<uint8_t>& w) { store_le32(&w[40], 2 * load_le32(&w[40])); }},
      {"a cut file, part of a frame at the end", 36000,
       [](std::vector<uint8_t>& w) { w.resize(44 + 4 * 36000 + 3); }},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    expect_same_as_honest(c.frames, c.edit);
  }
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  SCOPED_TRACE("ffmpeg writing to a pipe");
  const std::string command = "ffmpeg -nostdin -loglevel error -i '" + path("honest40000.wav") +
                              "' -f wav - | cat > '" + path("piped.wav") + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::vector<uint8_t> piped = read_bytes(path("piped.wav"));
  ASSERT_EQ(piped.size() > 44 ? load_le32(&piped[4]) : 0, 0xFFFFFFFFu);
  expect_same_as_honest(40000, [&](std::vector<uint8_t>& w) { w = piped; });
}

TEST_F(HonestInputTest, PadBytesAfterOddChunksAreSkipped) {
  struct Case {
    const char* name;
    Edit edit;
  };
  const Case CASES[] = {
      {"padded odd LIST chunk",
       [](std::vector<uint8_t>& w) { insert_after_format(w, odd_chunk(true)); }},
      {"unpadded odd LIST chunk, read as before",
       [](std::vector<uint8_t>& w) { insert_after_format(w, odd_chunk(false)); }},
      {"padded odd fmt chunk, then a padded odd chunk",
       [](std::vector<uint8_t>& w) {
         store_le32(&w[16], 17);
         std::vector<uint8_t> more = odd_chunk(true);
         more.insert(more.begin(), {0x33, 0x00});
         insert_after_format(w, more);
       }},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    expect_same_as_honest(40000, c.edit);
  }
}

}  // namespace
}  // namespace tarn
