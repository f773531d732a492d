// Nothing the user had is lost, whatever they type or send: links that name the output, inputs
// the programs cannot use, signals at any moment, write limits and closed pipes, unusual but
// valid WAV layouts, inputs that change while read, and a console that cannot take the text.
// Every case runs the built programs end to end. None needs a mount: a full disk is a file size
// limit (RLIMIT_FSIZE), which works for root and other users alike and without /dev/full.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "programs/stdin_spool.h"
#include "programs/wav_reader.h"
#include "test_support.h"

namespace tarn {
namespace {

using namespace tarn_test;
using Clock = std::chrono::steady_clock;

constexpr uint32_t FRAMES = 32768;        // the smallest input: 129 blocks
constexpr int LONG_BLOCKS = 60000;        // about 5.8 minutes
constexpr uint32_t LONG_FRAMES = 256 * (LONG_BLOCKS - 1);

std::string text_of(const fs::path& p) {
  const std::vector<uint8_t> b = read_bytes(p);
  return std::string(b.begin(), b.end());
}

// A program's command for a shell: the runner (an emulator) when one is set, then its path.
std::string program(const std::string& name) {
  const char* runner = std::getenv("TARN_TEST_RUNNER");
  return std::string(runner && *runner ? std::string(runner) + " " : "") + program_dir() + "/" +
         name;
}

bool emulated() {
  const char* runner = std::getenv("TARN_TEST_RUNNER");
  return runner && *runner;
}

class DataSafetyTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = make_temp_dir();
    write_wav(dir_ / "in.wav", FRAMES, [](uint32_t n) {
      return StereoValue{static_cast<int16_t>(std::lround(4000 * std::sin(0.027 * n))),
                         static_cast<int16_t>(std::lround(2000 * std::sin(0.11 * n)))};
    });
    ASSERT_EQ(run_program("tarn", {path("in.wav"), path("in.tarn"), path("in-out.wav")})
                  .exit_status,
              0);
    wav_ = read_bytes(path("in.wav"));
    stream_ = read_bytes(path("in.tarn"));
    std::vector<uint8_t> mono = wav_;
    store_le16(&mono[22], 1);
    write_bytes(path("mono.wav"), mono);
    // A long stream: the header claiming LONG_FRAMES, then the first block again and again.
    size_t block_end = 12 + 2 + load_le16(&stream_[12]);
    block_end += 2 + load_le16(&stream_[block_end]);
    std::vector<uint8_t> long_stream(stream_.begin(), stream_.begin() + 12);
    store_le32(long_stream.data(), LONG_FRAMES);
    for (int block = 0; block < LONG_BLOCKS; ++block) {
      long_stream.insert(long_stream.end(), stream_.begin() + 12, stream_.begin() + block_end);
    }
    write_bytes(path("long.tarn"), long_stream);
    // A long input: a header and LONG_FRAMES frames of silence, stored as a hole.
    std::vector<uint8_t> header(wav_.begin(), wav_.begin() + 44);
    store_le32(&header[4], 36 + 4 * LONG_FRAMES);
    store_le32(&header[40], 4 * LONG_FRAMES);
    write_bytes(path("long.wav"), header);
    fs::resize_file(dir_ / "long.wav", 44 + uint64_t{4} * LONG_FRAMES);
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }
  static std::string path(const std::string& name) { return (dir_ / name).string(); }

  // Runs a bash command line in the folder; its output (both streams unless redirected).
  static RunResult shell(const std::string& command) {
    const std::string quoted = "cd '" + dir_.string() + "' && " + command;
    std::string escaped;
    for (const char c : quoted) escaped += c == '\'' ? std::string("'\\''") : std::string(1, c);
    RunResult result{"", -1};
    std::FILE* pipe = popen(("bash -c '" + escaped + "' 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
    const int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    return result;
  }

  static fs::path dir_;
  static std::vector<uint8_t> wav_;
  static std::vector<uint8_t> stream_;
};

fs::path DataSafetyTest::dir_;
std::vector<uint8_t> DataSafetyTest::wav_;
std::vector<uint8_t> DataSafetyTest::stream_;

// What a started program gets on its standard descriptors (-1: inherit) and limits.
struct Launch {
  int in = -1;
  int out = -1;
  int err = -1;
  rlim_t file_size_limit = RLIM_INFINITY;
};

// Starts a built program in the folder dir with default signal dispositions (the ones a test
// runner may ignore included), so that the program alone decides what a signal does to it.
pid_t start(const fs::path& dir, const std::string& name, const std::vector<std::string>& args,
            const Launch& launch) {
  std::vector<std::string> words;
  const char* runner = std::getenv("TARN_TEST_RUNNER");
  std::string word;
  for (const char* c = runner ? runner : ""; *c != '\0'; ++c) {
    if (*c != ' ') word += *c;
    if ((*c == ' ' || c[1] == '\0') && !word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  words.push_back(program_dir() + "/" + name);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) std::signal(s, SIG_DFL);
    if (chdir(dir.c_str()) != 0) _exit(126);
    if (launch.in >= 0 && dup2(launch.in, 0) < 0) _exit(126);
    if (launch.out >= 0 && dup2(launch.out, 1) < 0) _exit(126);
    if (launch.err >= 0 && dup2(launch.err, 2) < 0) _exit(126);
    if (launch.file_size_limit != RLIM_INFINITY) {
      const rlimit limit{launch.file_size_limit, launch.file_size_limit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// The exit status, 128 + the signal that killed it, or -1 when it had not ended after 60 s.
int wait_for(pid_t pid) {
  int status = 0;
  for (int waited_ms = 0; waited_ms < 60000; ++waited_ms) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

int open_log(const fs::path& p) { return open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644); }

// A canonical WAV (header and frames) rewritten as WAVE_FORMAT_EXTENSIBLE: a 40-byte format
// body with `valid_bits` and the sub-format GUID whose first byte is `subformat` (1: PCM, 3:
// float), then the canonical data chunk.
std::vector<uint8_t> as_extensible(const std::vector<uint8_t>& wav, uint16_t valid_bits,
                                   uint8_t subformat) {
  std::vector<uint8_t> w(wav.begin(), wav.begin() + 36);
  store_le32(&w[16], 40);
  store_le16(&w[20], 0xFFFE);
  const std::vector<uint8_t> extension = {
      22,   0,    static_cast<uint8_t>(valid_bits), static_cast<uint8_t>(valid_bits >> 8),
      3,    0,    0,    0,    subformat, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
      0x80, 0x00, 0x00, 0xaa, 0x00,      0x38, 0x9b, 0x71};
  w.insert(w.end(), extension.begin(), extension.end());
  w.insert(w.end(), wav.begin() + 36, wav.end());
  return w;
}

// 1. Two names for one file that does not exist yet, through symbolic links: refused before
// anything is written, the stream (or input) kept.
TEST_F(DataSafetyTest, DanglingLinksTakePartInTheSameFileCheck) {
  struct Case {
    const char* name;
    std::string setup;  // shell commands that make the links
    std::string run;    // the program's arguments
    std::string error;  // "Error, A and B are the same file"
  };
  const std::string elsewhere = path("sub/target.wav");
  const Case CASES[] = {
      {"the WAV path a link to the stream", "ln -s out.tarn link.wav",
       "in.wav out.tarn link.wav", "Error, out.tarn and link.wav are the same file"},
      {"the stream path a link to the WAV", "ln -s out.wav link.tarn",
       "in.wav link.tarn out.wav", "Error, link.tarn and out.wav are the same file"},
      {"two links to one missing file", "ln -s gone.x l1.tarn && ln -s gone.x l2.wav",
       "in.wav l1.tarn l2.wav", "Error, l1.tarn and l2.wav are the same file"},
      {"an absolute link to a file elsewhere, through a chain",
       "mkdir -p sub && ln -s " + elsewhere + " abs1 && ln -s abs1 abs.wav",
       "in.wav abs.wav " + elsewhere, "Error, abs.wav and " + elsewhere + " are the same file"},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    const RunResult run = shell("rm -rf out.tarn out.wav link.wav link.tarn l1.tarn l2.wav "
                                "gone.x abs1 abs.wav sub && " +
                                c.setup + " && " + program("tarn") + " " + c.run);
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.output, c.error + "\n");
    EXPECT_EQ(read_bytes(path("in.wav")), wav_);
    EXPECT_FALSE(fs::exists(path("out.tarn")) || fs::exists(path("out.wav")) ||
                 fs::exists(path("gone.x")) || fs::exists(elsewhere));
  }
}

// 2 and 11. A run that fails before it has anything to put in an existing output leaves that
// output's bytes alone: a FLAC file or a stream damaged in its first blocks given to
// tarn-decode, an input refused or cut short at once given to tarn-encode.
TEST_F(DataSafetyTest, AFailureBeforeTheFirstBlockKeepsTheExistingOutput) {
  // "fLaC" over a stream header's frame count: the header passes, block 0 does not.
  std::vector<uint8_t> flac(4000, 0x5a);
  std::copy_n(stream_.begin(), 12, flac.begin());
  std::copy_n("fLaC", 4, flac.begin());
  write_bytes(path("song.flac"), flac);
  write_bytes(path("cut.tarn"), std::vector<uint8_t>(stream_.begin(), stream_.begin() + 40));
  struct Case {
    const char* name;
    const char* program;
    std::string input;
    const char* output;    // an existing file
    std::string expected;  // what the run prints, the processing time aside
  };
  const Case CASES[] = {
      {"a FLAC file as the stream", "tarn-decode", "song.flac", "keep.wav",
       "File info: 1130450022 256 44100 2 kbd \nError, song.flac is damaged at block 0: "},
      {"a stream cut in its first block", "tarn-decode", "cut.tarn", "keep.wav",
       "File info: 32768 256 44100 2 kbd \nError, cut.tarn is damaged at block 0: "},
      {"an unsupported input", "tarn-encode", "mono.wav", "keep.tarn",
       "Sampling rate: 44100\nChannels: 1\nBits per sample: 16\nSamples: 0\n"
       "Support limited to 44100Hz, 16 bits, Stereo\n"},
  };
  const std::vector<uint8_t> kept = {'m', 'i', 'n', 'e', '\n'};
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    write_bytes(path(c.output), kept);
    const RunResult run = shell(program(c.program) + " " + c.input + " " + c.output);
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.output.rfind(c.expected, 0), 0u) << run.output;
    EXPECT_EQ(read_bytes(path(c.output)), kept);
  }
}

// 11. Out of memory at any point (address-space limits swept from too small to start up to
// enough): an existing output either keeps its bytes or, after a complete run, holds the new
// ones; a run that reports its failure ends with "Error, out of memory". No emulator: it needs
// address space of its own.
TEST_F(DataSafetyTest, OutOfMemoryKeepsTheExistingOutput) {
  if (emulated()) GTEST_SKIP() << "an emulator needs more address space than the limits";
  struct Case {
    const char* program;
    const char* input;
    const char* output;
    std::vector<uint8_t> complete;  // the output of a run that succeeds
  };
  const Case CASES[] = {
      {"tarn-encode", "in.wav", "oom.tarn", stream_},
      {"tarn-decode", "in.tarn", "oom.wav", read_bytes(path("in-out.wav"))},
  };
  const std::vector<uint8_t> kept = {'k', 'e', 'p', 't'};
  for (const Case& c : CASES) {
    int out_of_memory = 0;
    for (int kib = 6000; kib <= 20000; kib += 200) {
      SCOPED_TRACE(std::string(c.program) + " under ulimit -v " + std::to_string(kib));
      write_bytes(path(c.output), kept);
      const RunResult run = shell("ulimit -v " + std::to_string(kib) + " && " +
                                  program(c.program) + " " + c.input + " " + c.output);
      const std::vector<uint8_t> now = read_bytes(path(c.output));
      EXPECT_TRUE(now == kept || (run.exit_status == 0 && now == c.complete)) << run.output;
      out_of_memory += run.output.ends_with("Error, out of memory\n");
    }
    std::printf("%s: %d limits ended with \"Error, out of memory\"\n", c.program, out_of_memory);
  }
}

// The blocks of a stream file when its records (each a 2-byte length and its payload) pair up
// to its end after the 12-byte header; -1 when they do not (a block cut).
int whole_blocks(const fs::path& file) {
  const std::vector<uint8_t> stream = read_bytes(file);
  size_t at = 12;
  int records = 0;
  while (at + 2 <= stream.size()) {
    at += 2 + load_le16(&stream[at]);
    ++records;
  }
  return at == stream.size() && records % 2 == 0 ? records / 2 : -1;
}

// Waits until the file holds more than 64 KiB (a run well under way), for at most 60 s.
void wait_for_growth(const fs::path& file) {
  std::error_code error;
  for (int waited_ms = 0; waited_ms < 60000; ++waited_ms) {
    if (fs::file_size(file, error) > 65536 && !error) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// 3, 4 and 11. SIGINT, SIGTERM and SIGHUP end the run while it waits or walks, not only between
// two blocks: reading a pipe that brings nothing (or nothing more: the stream coded so far then
// holds whole blocks), opening a FIFO nobody writes, writing into a FIFO or to a consumer that
// stopped reading. An existing output keeps its bytes.
// Signal upon signal only sets the flag again, and the WAV's header is finished with the signals
// held: it states the frames the file holds.
TEST_F(DataSafetyTest, SignalsEndARunThatWaits) {
  const fs::path fifo = dir_ / "fifo.wav";
  fs::remove(fifo);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  struct Case {
    const char* name;
    const char* program;
    std::vector<std::string> args;
    int signal_number;
    bool stdin_pipe;     // standard input a pipe that stays open and empty
    bool stdout_pipe;    // standard output a pipe that nobody reads
    const char* kept;    // an existing output that must keep its bytes, or null
    const char* grows;   // a WAV: the signal goes once it grows, and its header must be honest
    int second = 0;      // a second signal, gap_us after the first
    int gap_us = 0;
    bool fed = false;    // the standard input pipe brings in.wav first, then nothing
    const char* blocks = nullptr;  // a stream that must hold whole blocks, 1 or more
  };
  const Case CASES[] = {
      {"SIGINT while standard input is copied", "tarn-encode", {"-", "keep.tarn"}, SIGINT, true,
       false, "keep.tarn", nullptr},
      {"SIGTERM while the stream header is awaited", "tarn-decode", {"-", "keep.wav"}, SIGTERM,
       true, false, "keep.wav", nullptr},
      {"SIGHUP while writing into a FIFO without reader", "tarn-decode", {"in.tarn", "fifo.wav"},
       SIGHUP, false, false, nullptr, nullptr},
      {"SIGINT while opening a FIFO without writer", "tarn-decode", {"fifo.wav", "keep.wav"},
       SIGINT, false, false, "keep.wav", nullptr},
      {"SIGINT while writing to a stalled consumer", "tarn-decode", {"long.tarn", "-"}, SIGINT,
       false, true, nullptr, nullptr},
      {"SIGTERM twice, 0.2 ms apart", "tarn-decode", {"long.tarn", "twice.wav"}, SIGTERM, false,
       false, nullptr, "twice.wav", SIGTERM, 200},
      {"SIGINT then SIGTERM, at once", "tarn-decode", {"long.tarn", "twice.wav"}, SIGINT, false,
       false, nullptr, "twice.wav", SIGTERM, 0},
      {"SIGHUP twice, 5 ms apart", "tarn-decode", {"long.tarn", "twice.wav"}, SIGHUP, false,
       false, nullptr, "twice.wav", SIGHUP, 5000},
      {"SIGTERM while standard input is coded as it arrives", "tarn-encode", {"-", "fed.tarn"},
       SIGTERM, true, false, nullptr, nullptr, 0, 0, true, "fed.tarn"},
  };
  const std::vector<uint8_t> kept = {'o', 'l', 'd'};
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    if (c.kept) write_bytes(path(c.kept), kept);
    if (c.grows) fs::remove(path(c.grows));
    if (c.blocks) fs::remove(path(c.blocks));
    int in_pipe[2] = {-1, -1};
    int out_pipe[2] = {-1, -1};
    ASSERT_TRUE(!c.stdin_pipe || pipe(in_pipe) == 0);
    ASSERT_TRUE(!c.stdout_pipe || pipe(out_pipe) == 0);
    const int log = open_log(dir_ / "log.txt");
    const pid_t pid = start(dir_, c.program, c.args,
                            Launch{in_pipe[0], c.stdout_pipe ? out_pipe[1] : log, log});
    ASSERT_GT(pid, 0);
    for (const int fd : {log, in_pipe[0], out_pipe[1]}) {
      if (fd >= 0) close(fd);
    }
    if (c.fed) {
      ASSERT_EQ(write(in_pipe[1], wav_.data(), wav_.size()), static_cast<ssize_t>(wav_.size()));
    }
    if (c.grows) {
      wait_for_growth(path(c.grows));
    } else if (c.blocks) {
      // The stream file is made at the first block; then the run waits for more input.
      for (int waited_ms = 0; waited_ms < 60000 && !fs::exists(path(c.blocks)); ++waited_ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(emulated() ? 1500 : 400));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(emulated() ? 1500 : 400));
    }
    const Clock::time_point sent = Clock::now();
    kill(pid, c.signal_number);
    if (c.second) {
      std::this_thread::sleep_for(std::chrono::microseconds(c.gap_us));
      kill(pid, c.second);
    }
    EXPECT_EQ(wait_for(pid), 255);
    EXPECT_LT(Clock::now() - sent, std::chrono::seconds(5));
    for (const int fd : {in_pipe[1], out_pipe[0]}) {
      if (fd >= 0) close(fd);
    }
    const std::string text = text_of(dir_ / "log.txt");
    EXPECT_TRUE(text.ends_with("Error, interrupted\n")) << text;
    if (c.kept) {
      EXPECT_EQ(read_bytes(path(c.kept)), kept);
    }
    if (c.blocks) {
      // The header still says the length is unknown.
      EXPECT_GT(whole_blocks(path(c.blocks)), 0);
      const std::vector<uint8_t> stream = read_bytes(path(c.blocks));
      ASSERT_GE(stream.size(), 12u);
      EXPECT_EQ(load_le32(stream.data()), 0xFFFFFFFFu);
    }
    if (c.grows) {
      const int64_t frames = checked_wav_frames(path(c.grows));
      EXPECT_GT(frames, 0);
      EXPECT_TRUE(text.ends_with("End of Synthesis, " + std::to_string(frames) +
                                 " samples\n\n\nError, interrupted\n"))
          << text;
    }
  }
}

// 5, 12 and 14. A write that fails ends the run with its message and status 255, never with a
// signal's death: past a file size limit (SIGXFSZ; the stream holds the whole blocks that fit),
// into a pipe whose reader is gone (SIGPIPE), and for the console itself. "End of Synthesis" counts only the frames standard output took.
TEST_F(DataSafetyTest, FailedWritesAreReportedNotFatal) {
  struct Case {
    const char* name;
    const char* program;
    std::vector<std::string> args;
    rlim_t limit;           // file size limit, RLIM_INFINITY for none
    bool stdout_closed_pipe;  // standard output a pipe whose read end is closed
    std::string expected;   // the end of what the run prints on its log
  };
  const Case CASES[] = {
      {"tarn-encode past ulimit -f", "tarn-encode", {"in.wav", "lim.tarn"}, 4096, false,
       "Error, cannot write lim.tarn\n"},
      {"tarn-decode past ulimit -f", "tarn-decode", {"in.tarn", "lim.wav"}, 44 + 4 * 5000, false,
       "End of Synthesis, 5000 samples\n\n\nError, cannot write lim.wav\n"},
      {"tarn past ulimit -f", "tarn", {"in.wav", "lim.tarn", "lim.wav"}, 44 + 4 * 20000, false,
       "End of Synthesis, 20000 samples\n\n\nError, cannot write lim.wav\n"},
      {"tarn-encode into a closed pipe", "tarn-encode", {"in.wav", "-"}, RLIM_INFINITY, true,
       "Error, cannot write -\n"},
      {"tarn-decode into a closed pipe", "tarn-decode", {"in.tarn", "-"}, RLIM_INFINITY, true,
       "End of Synthesis, 0 samples\n\n\nError, cannot write -\n"},
      {"tarn with its console a closed pipe", "tarn", {"in.wav", "con.tarn", "con.wav"},
       RLIM_INFINITY, true, ""},
  };
  ASSERT_LT(stream_.size(), 44 + 4 * 20000u);  // tarn's stream fits under its limit
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    int out_pipe[2] = {-1, -1};
    ASSERT_TRUE(!c.stdout_closed_pipe || pipe(out_pipe) == 0);
    if (out_pipe[0] >= 0) close(out_pipe[0]);
    const int log = open_log(dir_ / "log.txt");
    const pid_t pid =
        start(dir_, c.program, c.args, Launch{-1, c.stdout_closed_pipe ? out_pipe[1] : log, log, c.limit});
    ASSERT_GT(pid, 0);
    close(log);
    if (out_pipe[1] >= 0) close(out_pipe[1]);
    EXPECT_EQ(wait_for(pid), 255);
    const std::string text = text_of(dir_ / "log.txt");
    EXPECT_TRUE(text.ends_with(c.expected)) << text;
    if (c.args.back() == "lim.wav") {
      EXPECT_GE(checked_wav_frames(path("lim.wav")), 0);
    }
    if (c.args.back() == "lim.tarn") {
      // Cut back to its last whole block.
      EXPECT_GT(whole_blocks(path("lim.tarn")), 0);
    }
  }
  // The console's run still wrote complete files.
  EXPECT_EQ(read_bytes(path("con.tarn")), stream_);
}

// 6, 7, 8 and 14. Inputs that are valid and were refused or misread: each gives the stream of
// the plain input, byte for byte.
TEST_F(DataSafetyTest, ValidInputsGiveThePlainStream) {
  // Chunks before the format chunk (an odd one padded), an extensible PCM format, a data size of
  // 0 in a file.
  std::vector<uint8_t> junk_first = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E',
                                     'J', 'U', 'N', 'K', 28, 0, 0, 0};
  junk_first.resize(junk_first.size() + 28, 0);
  for (const char* id : {"LIST", "bext"}) {
    junk_first.insert(junk_first.end(), id, id + 4);
    junk_first.insert(junk_first.end(), {5, 0, 0, 0, 'a', 'b', 'c', 'd', 'e', 0});
  }
  junk_first.insert(junk_first.end(), wav_.begin() + 12, wav_.end());
  std::vector<uint8_t> zero_size = wav_;
  store_le32(&zero_size[40], 0);
  write_bytes(path("junk.wav"), junk_first);
  write_bytes(path("ext.wav"), as_extensible(wav_, 16, 1));
  write_bytes(path("zero.wav"), zero_size);
  struct Case {
    const char* name;
    std::string command;  // writes v.tarn
    bool native_only = false;  // closed descriptors: an emulator opens its own files on them
  };
  const Case CASES[] = {
      {"JUNK, LIST and bext before fmt", program("tarn-encode") + " junk.wav v.tarn"},
      {"WAVE_FORMAT_EXTENSIBLE, 16-bit PCM", program("tarn-encode") + " ext.wav v.tarn"},
      {"data size 0 in a regular file", program("tarn-encode") + " zero.wav v.tarn"},
      {"standard error closed", program("tarn-encode") + " - - < in.wav 2>&- > v.tarn", true},
      {"all three standard streams closed but the output",
       program("tarn-encode") + " -q in.wav v.tarn <&- >&- 2>&-", true},
      {"-- ends the options", program("tarn-encode") + " -q -- in.wav v.tarn"},
      {"/dev/stdout into a pipe",
       program("tarn-encode") + " in.wav /dev/stdout 2>/dev/null | cat > v.tarn"},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    if (c.native_only && emulated()) {
      std::printf("skipped under an emulator: %s\n", c.name);
      continue;
    }
    fs::remove(path("v.tarn"));
    const RunResult run = shell(c.command);
    EXPECT_EQ(run.exit_status, 0) << run.output;
    EXPECT_EQ(read_bytes(path("v.tarn")), stream_);
  }
}

// 7, 8, 9, 10, 13 and 14. Inputs that cannot be used get their message, at once, and status 255.
TEST_F(DataSafetyTest, UnusableInputsAreRefusedAtOnce) {
  write_bytes(path("float.wav"), as_extensible(wav_, 32, 3));
  write_bytes(path("pcm24.wav"), as_extensible(wav_, 24, 1));
  std::vector<uint8_t> empty_zero(wav_.begin(), wav_.begin() + 44);
  store_le32(&empty_zero[40], 0);
  write_bytes(path("empty0.wav"), empty_zero);
  // 200 MB of zeros after a valid format chunk: empty chunks, no data chunk (a hole, passed at
  // once; before, one seek per 8 bytes took 38 s).
  write_bytes(path("zeros200.wav"), std::vector<uint8_t>(wav_.begin(), wav_.begin() + 36));
  fs::resize_file(dir_ / "zeros200.wav", 200u << 20);
  std::vector<uint8_t> big_info = stream_;
  store_le32(big_info.data(), 0x80000000u);
  write_bytes(path("big.tarn"), big_info);
  const std::string encode = program("tarn-encode");
  struct Case {
    const char* name;
    std::string command;
    std::string expected;  // the start of what it prints
    double most_seconds;   // natively
    bool native_only = false;  // closed descriptors: an emulator opens its own files on them
  };
  const Case CASES[] = {
      {"an extensible float format", encode + " float.wav x.tarn", "float.wav is not a PCM file\n",
       10},
      {"extensible PCM, 24 valid bits", encode + " pcm24.wav x.tarn",
       "pcm24.wav is not a PCM file\n", 10},
      {"data size 0 and no frames", encode + " empty0.wav x.tarn",
       "Sampling rate: 44100\nChannels: 2\nBits per sample: 16\nSamples: 0, Length 0.000000s\n\n"
       "File is too small, at least 32768 samples are required\n",
       10},
      {"200 MB of empty chunks", encode + " zeros200.wav x.tarn", "zeros200.wav is not a WAV file\n",
       2},
      {"not a WAV on a pipe that stays open",
       encode + " - x.tarn < <(exec 2>/dev/null; printf 'NOT A WAV'; sleep 4)",
       "- is not a WAV file\n", 3},
      {"a mono format on a pipe that stays open",
       encode + " - x.tarn < <(exec 2>/dev/null; head -c 36 mono.wav; sleep 4)",
       "Sampling rate: 44100\nChannels: 1\nBits per sample: 16\nSamples: 0\n"
       "Support limited to 44100Hz, 16 bits, Stereo\n",
       3},
      {"a closed standard input to tarn-encode", encode + " - x.tarn <&-",
       "Error, cannot open -\n", 10, true},
      {"a closed standard input to tarn-decode", program("tarn-decode") + " - x.wav <&-",
       "Error, cannot open -\n", 10, true},
      {"a header count of 2^31 or more", program("tarn-decode") + " big.tarn x.wav",
       "File info: 2147483648 256 44100 2 kbd \n", 10},
      {"the usage line", encode, "Syntax:\n " + program_dir() + "/tarn-encode [-q] input.wav output.tarn\n",
       10},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    if (c.native_only && emulated()) {
      std::printf("skipped under an emulator: %s\n", c.name);
      continue;
    }
    const Clock::time_point begun = Clock::now();
    const RunResult run = shell(c.command);
    const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();
    EXPECT_EQ(run.output.rfind(c.expected, 0), 0u) << run.output;
    if (c.expected.rfind("File info", 0) != 0) {
      EXPECT_EQ(run.exit_status, 255);
    }
    if (!emulated()) {
      EXPECT_LT(seconds, c.most_seconds);
    }
  }
  fs::remove(dir_ / "zeros200.wav");
}

// 13. An input cut while it is read is a read error, not silence: the stream keeps whole blocks.
TEST_F(DataSafetyTest, AnInputCutWhileReadIsAReadError) {
  const fs::path input = dir_ / "shrinking.wav";
  std::vector<uint8_t> header(wav_.begin(), wav_.begin() + 44);
  store_le32(&header[4], 36 + 4 * LONG_FRAMES);
  store_le32(&header[40], 4 * LONG_FRAMES);
  write_bytes(input, header);
  fs::resize_file(input, 44 + uint64_t{4} * LONG_FRAMES);
  const int log = open_log(dir_ / "log.txt");
  const pid_t pid = start(dir_, "tarn-encode", {"shrinking.wav", "cut.tarn"}, Launch{-1, log, log});
  ASSERT_GT(pid, 0);
  close(log);
  wait_for_growth(dir_ / "cut.tarn");
  fs::resize_file(input, 44 + uint64_t{4} * (LONG_FRAMES / 2));
  EXPECT_EQ(wait_for(pid), 255);
  const std::string text = text_of(dir_ / "log.txt");
  EXPECT_TRUE(text.ends_with("\nError, cannot read shrinking.wav\n")) << text;
  EXPECT_EQ(text.find("End of Analysis"), std::string::npos) << text;
  const RunResult decoded = run_program("tarn-decode", {path("cut.tarn"), path("cut.wav")});
  // Whole blocks: the stream ends cleanly between two of them, short of its header's count.
  EXPECT_EQ(decoded.exit_status, 255) << decoded.output;
  EXPECT_EQ(decoded.output.find("damaged"), std::string::npos) << decoded.output;
  EXPECT_NE(decoded.output.find("cut.tarn is cut short: "), std::string::npos) << decoded.output;
  fs::remove(input);
}

// 9. The chunk walk asks its caller (the programs: whether a signal came) before every chunk.
TEST_F(DataSafetyTest, TheChunkWalkCanBeStopped) {
  std::vector<uint8_t> junk(wav_.begin(), wav_.begin() + 36);
  for (int i = 0; i < 1000; ++i) junk.insert(junk.end(), {'J', 'U', 'N', 'K', 0, 0, 0, 0});
  write_bytes(path("walk.wav"), junk);
  struct Case {
    const char* name;
    bool (*stop)();
    int result;
  };
  const Case CASES[] = {
      {"never stopped: no data chunk", [] { return false; }, WAV_ERR_NOT_WAVE},
      {"stopped", [] { return true; }, WAV_ERR_STOPPED},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    FilePtr file = open_for_reading(path("walk.wav").c_str());
    ASSERT_TRUE(file);
    WavFile wav;
    wav.file = file.get();
    EXPECT_EQ(read_wav_header(wav, c.stop), c.result);
  }
}

// 10. The copy of standard input stops at the most a WAV can hold: a small limit here stands for
// MAX_WAV_FILE_BYTES (4 GiB), which the programs pass.
TEST_F(DataSafetyTest, TheStandardInputCopyIsBoundedAndJudgedAsItArrives) {
  const std::vector<uint8_t> bigger(wav_.begin(), wav_.begin() + 1000);
  std::vector<uint8_t> not_wave = bigger;
  not_wave[8] = 'X';
  struct Case {
    const char* name;
    std::vector<uint8_t> input;
    uint64_t limit;
    int result;
    int refusal;
  };
  const Case CASES[] = {
      {"within the limit", bigger, 1000, SPOOL_OK, WAV_OK},
      {"one byte past it", bigger, 999, SPOOL_ERR_TOO_LARGE, WAV_OK},
      {"not WAVE", not_wave, 1000, SPOOL_ERR_REFUSED, WAV_ERR_NOT_WAVE},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    write_bytes(path("input"), c.input);
    const int fd = open(path("input").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    FilePtr spool;
    WavFile wav;
    int refusal = WAV_OK;
    EXPECT_EQ(spool_input(fd, c.limit, [] { return false; }, spool, wav, refusal), c.result);
    EXPECT_EQ(refusal, c.refusal);
    EXPECT_EQ(spool != nullptr, c.result == SPOOL_OK);
    close(fd);
  }
}

// 11. A header on standard input is judged from the bytes held in memory as soon as they decide
// it, with the data size as stored; one that needs more than the bound is left to the copy.
TEST_F(DataSafetyTest, APipedHeaderIsDecidedByItsFirstBytes) {
  std::vector<uint8_t> unknown = wav_;
  store_le32(&unknown[40], 0xFFFFFFFF);
  std::vector<uint8_t> not_wave = wav_;
  not_wave[8] = 'X';
  // A 5000-byte chunk between the format and the data: past a bound of 4096 bytes.
  std::vector<uint8_t> long_chunk(wav_.begin(), wav_.begin() + 36);
  long_chunk.insert(long_chunk.end(), {'J', 'U', 'N', 'K', 0x88, 0x13, 0, 0});
  long_chunk.resize(long_chunk.size() + 5000);
  long_chunk.insert(long_chunk.end(), wav_.begin() + 36, wav_.end());
  struct Case {
    const char* name;
    std::vector<uint8_t> input;
    int result;
    int header;
    uint32_t declared;  // sample_count for WAV_OK
    bool ended;         // the whole input was read to decide
  };
  const Case CASES[] = {
      {"plain: the first bytes decide", wav_, SPOOL_OK, WAV_OK, FRAMES, false},
      {"0xFFFFFFFF taken as stored", unknown, SPOOL_OK, WAV_OK, 0x3FFFFFFF, false},
      {"not WAVE", not_wave, SPOOL_OK, WAV_ERR_NOT_WAVE, 0, false},
      {"a header cut short: decided at the end", std::vector<uint8_t>(wav_.begin(), wav_.begin() + 40),
       SPOOL_OK, WAV_ERR_NOT_WAVE, 0, true},
      {"a chunk past the bound", long_chunk, SPOOL_UNDECIDED, WAV_OK, 0, false},
  };
  constexpr size_t BOUND = 4096;
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    write_bytes(path("input"), c.input);
    const int fd = open(path("input").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    HeldInput held;
    WavFile wav;
    int header = WAV_OK;
    size_t data_offset = 0;
    EXPECT_EQ(read_piped_header(fd, BOUND, [] { return false; }, held, wav, header, data_offset),
              c.result);
    close(fd);
    EXPECT_EQ(held.ended, c.ended);
    EXPECT_LE(held.length, BOUND);
    if (c.result != SPOOL_OK) {
      EXPECT_EQ(held.length, BOUND);
      continue;
    }
    EXPECT_EQ(header, c.header);
    if (c.header == WAV_OK) {
      EXPECT_EQ(data_offset, 44u);
      EXPECT_EQ(wav.sample_count, c.declared);
      EXPECT_EQ(wav.sample_rate, 44100);
    }
  }
}

}  // namespace
}  // namespace tarn
