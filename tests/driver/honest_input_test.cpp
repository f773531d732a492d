// Inputs whose header lies about the data or carries RIFF pad bytes: each must give the stream
// and the WAV that an honest canonical file of the same audio gives, and the same report.

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

constexpr uint32_t FRAMES = 40000;

StereoValue music(uint32_t n) {
  return {static_cast<int16_t>(std::lround(9000 * std::sin(0.05 * n) + 3000 * std::sin(0.31 * n))),
          static_cast<int16_t>(std::lround(7000 * std::sin(0.023 * n)))};
}

class HonestInputTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // tarn on `input`: its report without the processing time, its stream and its WAV.
  struct Output {
    std::string report;
    std::vector<uint8_t> stream;
    std::vector<uint8_t> wav;
  };
  Output run_tarn(const std::string& input) {
    const RunResult run = run_program("tarn", {path(input), path("s.tarn"), path("o.wav")});
    EXPECT_EQ(run.exit_status, 0) << input << ": " << run.output;
    return {without_processing_time(run.output), read_bytes(path("s.tarn")),
            read_bytes(path("o.wav"))};
  }

  // Writes `name` as the canonical file's bytes changed by `edit`, runs tarn on it and compares
  // everything with the run on `reference`.
  void expect_same_as(const std::string& reference, const std::string& name,
                      const std::function<void(std::vector<uint8_t>&)>& edit) {
    const Output want = run_tarn(reference);
    std::vector<uint8_t> bytes = read_bytes(path("honest.wav"));
    edit(bytes);
    write_bytes(path(name), bytes);
    const Output got = run_tarn(name);
    EXPECT_EQ(got.report, want.report);
    EXPECT_TRUE(got.stream == want.stream) << "the streams differ";
    EXPECT_TRUE(got.wav == want.wav) << "the WAVs differ";
  }

  fs::path dir_;
};

// Inserts bytes at offset 36 of a canonical file (after the 16 format bytes) and grows the RIFF
// size to match.
void insert_after_format(std::vector<uint8_t>& wav, const std::vector<uint8_t>& bytes) {
  wav.insert(wav.begin() + 36, bytes.begin(), bytes.end());
  store_le32(&wav[4], load_le32(&wav[4]) + static_cast<uint32_t>(bytes.size()));
}

// A chunk with a 5-byte body, followed by its pad byte when `padded`.
std::vector<uint8_t> odd_chunk(const char* id, bool padded) {
  std::vector<uint8_t> chunk = {static_cast<uint8_t>(id[0]), static_cast<uint8_t>(id[1]),
                                static_cast<uint8_t>(id[2]), static_cast<uint8_t>(id[3]),
                                5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o', 0};
  if (!padded) chunk.pop_back();
  return chunk;
}

// A data size beyond what the file holds: the frames that are there are the input.
TEST_F(HonestInputTest, LyingDataSizesGiveTheAudioThatIsThere) {
  write_wav(dir_ / "honest.wav", FRAMES, music);
  write_wav(dir_ / "short.wav", 36000, music);
  const bool have_ffmpeg = std::system("command -v ffmpeg >/dev/null 2>&1") == 0;
  struct Case {
    const char* name;
    const char* reference;  // the honest file of the same audio
    std::function<void(std::vector<uint8_t>&)> edit;
  };
  const Case CASES[] = {
      {"streaming writer's 0xFFFFFFFF", "honest.wav",
       [](std::vector<uint8_t>& w) {
         store_le32(&w[4], 0xFFFFFFFFu);
         store_le32(&w[40], 0xFFFFFFFFu);
       }},
      {"twice the data claimed", "honest.wav",
       [](std::vector<uint8_t>& w) {
         store_le32(&w[40], 2 * load_le32(&w[40]));
         store_le32(&w[4], load_le32(&w[40]) + 36);
       }},
      {"cut file, part of a frame at the end", "short.wav",
       [](std::vector<uint8_t>& w) { w.resize(44 + 4 * 36000 + 3); }},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    expect_same_as(c.reference, "lying.wav", c.edit);
  }

  // ffmpeg writing to a pipe: 0xFFFFFFFF sizes and a LIST chunk before the data.
  if (!have_ffmpeg) GTEST_SKIP() << "ffmpeg is not installed: the pipe-written case is skipped";
  const std::string command = "ffmpeg -nostdin -loglevel error -i '" + path("honest.wav") +
                              "' -f wav - | cat > '" + path("piped.wav") + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::vector<uint8_t> piped = read_bytes(path("piped.wav"));
  ASSERT_GT(piped.size(), 44u);
  ASSERT_EQ(load_le32(&piped[4]), 0xFFFFFFFFu);  // the case this stands for
  SCOPED_TRACE("ffmpeg to a pipe");
  expect_same_as("honest.wav", "piped2.wav", [&](std::vector<uint8_t>& w) { w = piped; });
}

// A 0x00 after an odd chunk body is the RIFF pad byte; without it the chunk reads as before.
TEST_F(HonestInputTest, PadBytesAfterOddChunksAreSkipped) {
  write_wav(dir_ / "honest.wav", FRAMES, music);
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> edit;
  };
  const Case CASES[] = {
      {"padded odd LIST chunk",
       [](std::vector<uint8_t>& w) { insert_after_format(w, odd_chunk("LIST", true)); }},
      {"unpadded odd LIST chunk",
       [](std::vector<uint8_t>& w) { insert_after_format(w, odd_chunk("LIST", false)); }},
      {"padded odd fmt chunk",
       [](std::vector<uint8_t>& w) {
         store_le32(&w[16], 17);
         insert_after_format(w, {0x33, 0x00});
       }},
      {"padded odd fmt chunk, then a padded odd chunk",
       [](std::vector<uint8_t>& w) {
         store_le32(&w[16], 17);
         std::vector<uint8_t> more = {0x33, 0x00};
         const std::vector<uint8_t> chunk = odd_chunk("bext", true);
         more.insert(more.end(), chunk.begin(), chunk.end());
         insert_after_format(w, more);
       }},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    expect_same_as("honest.wav", "padded.wav", c.edit);
  }
}

}  // namespace
}  // namespace tarn
