// tarn-decode --skip and --until: the positions they take, and the frames they write, through a
// seek (a stream file) and through decoding and dropping (a stream on a pipe).

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "programs/frame_range.h"
#include "test_support.h"

namespace tarn {
namespace {

using namespace tarn_test;

TEST(FramePosition, FormsAndRefusals) {
  struct Case {
    const char* text;
    bool valid;
    uint64_t frame;
  };
  const Case CASES[] = {
      {"0", true, 0},          {"441000", true, 441000},     {"1.5", true, 66150},
      {"1:30.5", true, 3991050}, {"0:00.00001", true, 0},    {"0.0001", true, 4},
      {"10:00", true, 26460000}, {"2:59.999999999", true, 7937999},
      {"", false, 0},          {"-1", false, 0},             {"+5", false, 0},
      {"1:60", false, 0},      {"1:", false, 0},             {":30", false, 0},
      {"1.", false, 0},        {"1.2.3", false, 0},          {"5s", false, 0},
      {"0.1234567890", false, 0}, {"99999999999999", false, 0},
  };
  for (const Case& c : CASES) {
    uint64_t frame = 12345;
    EXPECT_EQ(parse_frame_position(c.text, 44100, frame), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(frame, c.frame) << c.text;
    }
  }
}

class FrameRangeTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = make_temp_dir();
    write_wav(dir_ / "in.wav", 100000, [](uint32_t n) {
      return StereoValue{static_cast<int16_t>((n * 37) % 20000 - 10000),
                         static_cast<int16_t>((n * 91) % 16000 - 8000)};
    });
    ASSERT_EQ(run_program("tarn-encode", {path("in.wav"), path("in.tarn")}).exit_status, 0);
    ASSERT_EQ(run_program("tarn-decode", {path("in.tarn"), path("whole.wav")}).exit_status, 0);
    whole_ = read_bytes(path("whole.wav"));
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }
  static std::string path(const char* name) { return (dir_ / name).string(); }
  static fs::path dir_;
  static std::vector<uint8_t> whole_;
};
fs::path FrameRangeTest::dir_;
std::vector<uint8_t> FrameRangeTest::whole_;

// Each range from the stream file (a seek) and from a pipe (decode and drop): the WAV holds
// exactly frames [first, end) of the whole decode, and "End of Synthesis" counts them.
TEST_F(FrameRangeTest, WritesExactlyTheFramesOfTheWholeDecode) {
  struct Case {
    std::vector<std::string> options;
    uint32_t first, end;
  };
  const Case CASES[] = {
      {{"--skip=0"}, 0, 100000},           {{"--skip=1"}, 1, 100000},
      {{"--skip=255", "--until=257"}, 255, 257},
      {{"--skip=0:01.5"}, 66150, 100000},  {{"--until=1.0"}, 0, 44100},
      {{"--skip=99999"}, 99999, 100000},   {{"--skip=100000"}, 100000, 100000},
      {{"--skip=50000", "--until=50000"}, 50000, 50000},
      {{"--until=999999"}, 0, 100000},
  };
  for (const Case& c : CASES) {
    for (const bool piped : {false, true}) {
      SCOPED_TRACE(c.options[0] + (c.options.size() > 1 ? " " + c.options[1] : "") +
                   (piped ? " from a pipe" : ""));
      const char* runner = std::getenv("TARN_TEST_RUNNER");
      std::string command = "cat '" + path("in.tarn") + "' | " +
                            (runner != nullptr && *runner != '\0' ? std::string(runner) + " " : "") +
                            program_dir() + "/tarn-decode";
      for (const std::string& o : c.options) command += " " + o;
      command += piped ? " - '" + path("part.wav") + "'" : " '" + path("in.tarn") + "' '" + path("part.wav") + "'";
      command += " > /dev/null 2>&1";
      if (piped) {
        ASSERT_EQ(std::system(command.c_str()), 0);
      } else {
        std::vector<std::string> args = c.options;
        args.push_back(path("in.tarn"));
        args.push_back(path("part.wav"));
        const RunResult run = run_program("tarn-decode", args);
        ASSERT_EQ(run.exit_status, 0) << run.output;
        EXPECT_NE(run.output.find("End of Synthesis, " + std::to_string(c.end - c.first) + " samples"),
                  std::string::npos) << run.output;
      }
      const std::vector<uint8_t> part = read_bytes(path("part.wav"));
      ASSERT_EQ(checked_wav_frames(path("part.wav")), c.end - c.first);
      EXPECT_TRUE(std::equal(part.begin() + 44, part.end(), whole_.begin() + 44 + 4 * c.first));
    }
  }
}

TEST_F(FrameRangeTest, UnusablePositionsAreRefused) {
  struct Case {
    std::string option;
    std::string message;
  };
  const Case CASES[] = {
      {"--skip=1:99", "Error, --skip=1:99 is not a frame count or [mm:]ss[.sss]\n"},
      {"--until=x", "Error, --until=x is not a frame count or [mm:]ss[.sss]\n"},
      {"--skip=100001", "Error, --skip=100001 lies beyond the 100000 samples of " + path("in.tarn") + "\n"},
  };
  for (const Case& c : CASES) {
    const RunResult run = run_program("tarn-decode", {c.option, path("in.tarn"), path("x.wav")});
    EXPECT_EQ(run.exit_status, 255) << c.option;
    EXPECT_EQ(run.output, c.message);
    EXPECT_FALSE(fs::exists(path("x.wav"))) << c.option;
  }
  EXPECT_EQ(run_program("tarn-encode", {"--skip=5", path("in.wav"), path("x.tarn")}).exit_status, 255);
}

}  // namespace
}  // namespace tarn
