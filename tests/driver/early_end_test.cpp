// Runs that end early leave files that tell the truth: a signal (SIGINT, SIGTERM, SIGHUP) in the
// middle of a long run, and a full disk under the output WAV. The WAV's size fields state the
// frames it holds, "End of Synthesis" counts them, and the console text printed so far is there.

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

constexpr uint32_t SHORT_FRAMES = 32768;  // 129 blocks
constexpr int LONG_BLOCKS = 100000;       // about 9.7 minutes
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
    // A long stream: the short one's header claiming LONG_FRAMES, then its first block
    // LONG_BLOCKS times (records are decoded one by one, so any block fits anywhere).
    const std::vector<uint8_t> stream = read_bytes(path("short.tarn"));
    size_t block_end = 12 + 2 + load_le16(&stream[12]);
    block_end += 2 + load_le16(&stream[block_end]);
    std::vector<uint8_t> long_stream(stream.begin(), stream.begin() + 12);
    store_le32(long_stream.data(), LONG_FRAMES);
    for (int block = 0; block < LONG_BLOCKS; ++block) {
      long_stream.insert(long_stream.end(), stream.begin() + 12, stream.begin() + block_end);
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

// Starts a built program with standard output and error going to the file `log`, and the three
// interrupting signals at their default disposition.
pid_t start_program(const std::string& name, const std::vector<std::string>& args,
                    const std::string& log) {
  std::vector<std::string> words = {std::string(TARN_BIN_DIR) + "/" + name};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    // A program started with a signal ignored keeps ignoring it (a background job's SIGINT):
    // the test's own parent may have set that up, so the child starts from the defaults.
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal_number, SIG_DFL);
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for the program to end: its exit status, or -1 when it was killed by a signal or had
// not ended after 60 seconds (it is then killed).
int wait_for_exit(pid_t pid) {
  int status = 0;
  for (int waited_ms = 0; waited_ms < 60000; ++waited_ms) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

TEST_F(EarlyEndTest, ASignalEndsTheRunWithHonestFiles) {
  struct Case {
    const char* name;
    const char* program;
    std::vector<std::string> args;
    int signal_number;
    std::string watched;  // the signal goes once this file holds more than 64 KiB
    bool decoding;        // else encoding
  };
  const std::string wav = path("cut.wav");
  const std::string stream = path("cut.tarn");
  const Case CASES[] = {
      {"SIGINT while decoding", "tarn-decode", {path("long.tarn"), wav}, SIGINT, wav, true},
      {"SIGTERM while decoding", "tarn-decode", {path("long.tarn"), wav}, SIGTERM, wav, true},
      {"SIGHUP while decoding", "tarn-decode", {path("long.tarn"), wav}, SIGHUP, wav, true},
      {"SIGINT while encoding", "tarn-encode", {path("long.wav"), stream}, SIGINT, stream, false},
      {"SIGINT while tarn encodes", "tarn", {path("long.wav"), stream, wav}, SIGINT, stream,
       false},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    fs::remove(wav);
    fs::remove(stream);
    const pid_t pid = start_program(c.program, c.args, path("log.txt"));
    ASSERT_GT(pid, 0);
    std::error_code error;
    for (int waited_ms = 0; waited_ms < 60000; ++waited_ms) {
      if (fs::file_size(c.watched, error) > 65536 && !error) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(pid, c.signal_number);
    EXPECT_EQ(wait_for_exit(pid), 255);
    const std::vector<uint8_t> log_bytes = read_bytes(path("log.txt"));
    const std::string log(log_bytes.begin(), log_bytes.end());
    EXPECT_TRUE(log.ends_with("Error, interrupted\n")) << log;
    if (c.decoding) {
      const int64_t frames = checked_wav_frames(wav);
      EXPECT_GT(frames, 0);
      EXPECT_LT(frames, LONG_FRAMES);
      EXPECT_EQ(log, "File info: " + std::to_string(LONG_FRAMES) + " 256 44100 2 kbd \n" +
                         "End of Synthesis, " + std::to_string(frames) +
                         " samples\n\n\nError, interrupted\n");
      continue;
    }
    // The stream keeps the whole blocks written before the signal: it decodes to its clean end,
    // which comes before the frames its header announces.
    EXPECT_EQ(log.rfind("Sampling rate: 44100\n", 0), 0u) << log;
    EXPECT_FALSE(fs::exists(wav));
    const RunResult decoded = run_program("tarn-decode", {stream, wav});
    EXPECT_EQ(decoded.exit_status, 255) << decoded.output;
    EXPECT_NE(decoded.output.find(" is cut short: "), std::string::npos) << decoded.output;
    const int64_t frames = checked_wav_frames(wav);
    EXPECT_GT(frames, 0);
    EXPECT_NE(decoded.output.find("End of Synthesis, " + std::to_string(frames) + " samples"),
              std::string::npos)
        << decoded.output;
  }
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
    EXPECT_EQ(checked_wav_frames(wav), frames);
    EXPECT_TRUE(std::equal(got.begin() + 44, got.end(), full_decode.begin() + 44));
  }
}

}  // namespace
}  // namespace tarn
