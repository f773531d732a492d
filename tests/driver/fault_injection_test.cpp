// Fault injection into the whole decoding path. One small stream (32768 frames) is encoded once;
// then every truncation of it and seeded byte flips are decoded in-process through run_synthesis
// (console text captured) and, for a sample, through the tarn-decode program. Each must end in a
// complete decode or in one "Error, ..." message with result -1, and leave a WAV whose size fields
// match what the file holds. Also the file-system faults: unreadable, a folder, a missing
// folder, a full disk.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "codec/decoder.h"
#include "programs/cli.h"
#include "test_support.h"

namespace tarn {
namespace {

using namespace tarn_test;

constexpr uint32_t FRAMES = 32768;  // the smallest input the encoder takes: 129 blocks
constexpr int HOP = 256;

struct Decoded {
  int status;        // run_synthesis's result
  std::string text;  // everything it printed
};

// Runs run_synthesis with standard output sent to a scratch file, and returns what it printed.
Decoded decode_in_process(const std::string& stream_path, const std::string& wav_path) {
  static std::FILE* scratch = std::tmpfile();
  const int capture = scratch != nullptr ? fileno(scratch) : -1;
  std::fflush(stdout);
  const int saved = dup(1);
  if (capture < 0 || saved < 0 || ftruncate(capture, 0) != 0 || lseek(capture, 0, SEEK_SET) != 0 ||
      dup2(capture, 1) < 0) {
    ADD_FAILURE() << "cannot capture standard output";
    return {-100, ""};
  }
  const int status = run_synthesis(stream_path.c_str(), wav_path.c_str());
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string text(static_cast<size_t>(lseek(capture, 0, SEEK_CUR)), '\0');
  if (pread(capture, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    ADD_FAILURE() << "cannot read the captured output";
  }
  return {status, text};
}

class FaultInjectionTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = make_temp_dir();
    // Two plain tones: a stream that codes bits in several bands yet stays small, since every
    // truncation length is decoded.
    write_wav(dir_ / "in.wav", FRAMES, [](uint32_t n) {
      return StereoValue{static_cast<int16_t>(std::lround(3000 * std::sin(0.031 * n))),
                         static_cast<int16_t>(std::lround(1500 * std::sin(0.17 * n)))};
    });
    const RunResult run =
        run_program("tarn", {path("in.wav"), path("good.tarn"), path("good.wav")});
    ASSERT_EQ(run.exit_status, 0) << run.output;
    stream_ = read_bytes(path("good.tarn"));
    full_wav_ = read_bytes(path("good.wav"));
    // Where each block starts: its left length word.
    block_starts_.clear();
    for (size_t pos = 12; pos + 2 <= stream_.size();) {
      block_starts_.push_back(pos);
      pos += 2 + load_le16(&stream_[pos]);
      pos += 2 + load_le16(&stream_[pos]);
    }
    block_starts_.push_back(stream_.size());
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }
  static std::string path(const char* name) { return (dir_ / name).string(); }

  // Blocks that end at or before byte n of the stream.
  static int whole_blocks(size_t n) {
    return static_cast<int>(std::upper_bound(block_starts_.begin(), block_starts_.end(), n) -
                            block_starts_.begin()) -
           1;
  }

  static fs::path dir_;
  static std::vector<uint8_t> stream_;
  static std::vector<uint8_t> full_wav_;
  static std::vector<size_t> block_starts_;  // one per block, then the stream size
};

fs::path FaultInjectionTest::dir_;
std::vector<uint8_t> FaultInjectionTest::stream_;
std::vector<uint8_t> FaultInjectionTest::full_wav_;
std::vector<size_t> FaultInjectionTest::block_starts_;

// The first `frames` frames of a decode equal those of the complete decode.
void expect_prefix_of(const std::string& wav_path, const std::vector<uint8_t>& full,
                      int64_t frames) {
  const std::vector<uint8_t> wav = read_bytes(wav_path);
  ASSERT_GE(wav.size(), 44 + 4 * static_cast<size_t>(frames));
  EXPECT_TRUE(std::equal(wav.begin() + 44, wav.begin() + 44 + 4 * frames, full.begin() + 44));
}

// Every truncation length, split into TRUNCATION_SHARDS interleaved shares that CTest can run
// side by side (each decode costs up to 129 blocks).
constexpr int TRUNCATION_SHARDS = 4;
class TruncationTest : public FaultInjectionTest, public testing::WithParamInterface<int> {};

TEST_P(TruncationTest, EveryCutEndsCleanlyOrWithItsBlock) {
  ASSERT_EQ(block_starts_.size(), 130u);  // 129 blocks
  const std::string cut = path("cut.tarn");
  const std::string out = path("cut.wav");
  int samples_through_program = 0;
  for (size_t n = GetParam(); n <= stream_.size(); n += TRUNCATION_SHARDS) {
    SCOPED_TRACE("stream cut to " + std::to_string(n) + " bytes");
    write_bytes(cut, std::vector<uint8_t>(stream_.begin(), stream_.begin() + n));
    fs::remove(out);
    const Decoded d = decode_in_process(cut, out);
    if (n < 12) {
      EXPECT_EQ(d.status, DECODE_ERR_HEADER);
      EXPECT_EQ(d.text, "Error, " + cut + " is too short for a stream header\n");
      EXPECT_FALSE(fs::exists(out));
      continue;
    }
    // A cut at a block boundary, or one byte behind it, is a clean end of the stream: complete
    // when it holds the header's frames, else cut short; any other cut is caught in the block
    // it falls into.
    const int k = whole_blocks(n);
    const bool clean = n - block_starts_[k] <= 1;
    const int64_t frames = std::min<int64_t>(HOP * std::max(k - 1, 0), FRAMES);
    const bool whole = clean && frames == FRAMES;
    std::string end = "End of Synthesis, " + std::to_string(frames) + " samples\n\n\n";
    if (clean && !whole) {
      end += "Error, " + cut + " is cut short: " + std::to_string(frames) + " of 32768 samples\n";
    }
    std::string expected = "File info: 32768 256 44100 2 kbd \n";
    if (!clean) expected += "Error, " + cut + " is damaged at block " + std::to_string(k) + ": ";
    EXPECT_EQ(d.status, whole ? DECODE_OK : clean ? DECODE_ERR_CUT_SHORT : DECODE_ERR_DAMAGED);
    EXPECT_EQ(d.text.rfind(expected, 0), 0u) << d.text;
    ASSERT_TRUE(d.text.size() >= end.size() && d.text.ends_with(end)) << d.text;
    EXPECT_EQ(checked_wav_frames(out), frames);
    if (n % 16 == 0 || n == stream_.size()) expect_prefix_of(out, full_wav_, frames);
    if (n % 97 < TRUNCATION_SHARDS) {
      // The program on the same file: the same text, then its exit status.
      const RunResult run = run_program("tarn-decode", {cut, out});
      EXPECT_EQ(run.exit_status, whole ? 0 : 255);
      EXPECT_EQ(run.output.rfind(d.text, 0), 0u) << run.output;
      ++samples_through_program;
    }
  }
  EXPECT_GT(samples_through_program, 10);
}

INSTANTIATE_TEST_SUITE_P(Shards, TruncationTest, testing::Range(0, TRUNCATION_SHARDS));

TEST_F(FaultInjectionTest, SeededByteFlipsEndCleanlyOrWithAMessage) {
  constexpr uint32_t SEED = 20240611;
  constexpr int FLIPS = 3000;
  // The flips go into the stream's first PREFIX_BLOCKS blocks under a header that announces
  // their frames, itself a complete stream: each decode then costs at most that many blocks. The
  // whole stream's blocks are alike.
  constexpr int PREFIX_BLOCKS = 16;
  std::vector<uint8_t> prefix(stream_.begin(), stream_.begin() + block_starts_[PREFIX_BLOCKS]);
  const uint32_t prefix_frames = HOP * (PREFIX_BLOCKS - 1);
  for (int i = 0; i < 4; ++i) prefix[i] = static_cast<uint8_t>(prefix_frames >> (8 * i));
  std::mt19937 random(SEED);
  std::uniform_int_distribution<size_t> where(0, prefix.size() - 1);
  std::uniform_int_distribution<int> mask(1, 255);
  const std::string flipped = path("flip.tarn");
  const std::string out = path("flip.wav");
  int complete = 0;
  for (int i = 0; i < FLIPS; ++i) {
    // Every header byte with three masks first, then random bytes and masks over the prefix.
    const size_t at = i < 36 ? static_cast<size_t>(i / 3) : where(random);
    const uint8_t m = i < 36 ? static_cast<uint8_t>(0x01 << (i % 3) * 3) : mask(random);
    SCOPED_TRACE("seed " + std::to_string(SEED) + " flip " + std::to_string(i) + ": byte " +
                 std::to_string(at) + " ^ " + std::to_string(m));
    std::vector<uint8_t> s = prefix;
    s[at] ^= m;
    write_bytes(flipped, s);
    fs::remove(out);
    const Decoded d = decode_in_process(flipped, out);
    ASSERT_TRUE(d.status == DECODE_OK || d.status == DECODE_ERR_HEADER ||
                d.status == DECODE_ERR_DAMAGED || d.status == DECODE_ERR_CUT_SHORT)
        << d.status << "\n"
        << d.text;
    if (d.status != DECODE_OK) {
      EXPECT_NE(d.text.find("Error, " + flipped + " "), std::string::npos) << d.text;
    }
    complete += d.status == DECODE_OK;
    const int64_t frames = checked_wav_frames(out);
    EXPECT_TRUE(frames >= 0 || d.status == DECODE_ERR_HEADER);
    // Blocks before the damaged one decode as before; block k first changes frame 256 (k - 1).
    if (at >= 12 && frames >= 0) {
      const int64_t untouched = HOP * std::max(whole_blocks(at) - 1, 0);
      expect_prefix_of(out, full_wav_, std::min(frames, untouched));
    }
    if (i % 50 == 0) {
      const RunResult run = run_program("tarn-decode", {flipped, out});
      EXPECT_EQ(run.exit_status, d.status == DECODE_OK ? 0 : 255);
      EXPECT_EQ(run.output.rfind(d.text, 0), 0u) << run.output;
    }
  }
  // A flipped payload may still decode (the coder carries no check) or stop the decoder; both
  // outcomes must occur.
  EXPECT_GT(complete, 0);
  EXPECT_LT(complete, FLIPS);
}

// What the file system refuses: each ends in one message and -1, in-process and in the program.
TEST_F(FaultInjectionTest, FileSystemFaultsEndWithAMessage) {
  fs::create_directory(path("folder"));
  const std::string good = path("good.tarn");
  struct Case {
    const char* name;
    std::string stream;
    std::string wav;
    int status;
    std::string message;
  };
  std::vector<Case> cases = {
      {"stream is a folder", path("folder"), path("o.wav"), DECODE_ERR_OPEN,
       "Error, cannot open " + path("folder") + "\n"},
      {"stream in a missing folder", path("none/s.tarn"), path("o.wav"), DECODE_ERR_OPEN,
       "Error, cannot open " + path("none/s.tarn") + "\n"},
      {"output is a folder", good, path("folder"), DECODE_ERR_OPEN,
       "Error, cannot create " + path("folder") + "\n"},
      {"output in a missing folder", good, path("none/o.wav"), DECODE_ERR_OPEN,
       "Error, cannot create " + path("none/o.wav") + "\n"},
      {"output on a full disk", good, path("full.wav"), DECODE_ERR_WRITE,
       "Error, cannot write " + path("full.wav") + "\n"},
  };
  if (have_dev_full()) {
    cases.push_back({"output on /dev/full", good, "/dev/full", DECODE_ERR_WRITE,
                     "Error, cannot write /dev/full\n"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The full disk: room for the header and a little over 8000 frames of the 32768.
    FileSizeLimit full(c.wav == path("full.wav") ? 32770 : RLIM_INFINITY);
    ASSERT_TRUE(full.active());
    const Decoded d = decode_in_process(c.stream, c.wav);
    EXPECT_EQ(d.status, c.status);
    EXPECT_TRUE(d.text.ends_with(c.message)) << d.text;
    const RunResult run = run_program("tarn-decode", {c.stream, c.wav});
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.output, d.text);
  }
  EXPECT_FALSE(fs::exists(path("o.wav")));

  // The encoding half: its input a folder, its stream in a missing folder or on a full disk.
  const RunResult folder = run_program("tarn-encode", {path("folder"), path("s.tarn")});
  EXPECT_EQ(folder.exit_status, 255);
  EXPECT_EQ(folder.output, "Error, cannot open " + path("folder") + "\n");
  const RunResult missing = run_program("tarn-encode", {path("in.wav"), path("none/s.tarn")});
  EXPECT_EQ(missing.exit_status, 255);
  EXPECT_TRUE(missing.output.ends_with("Error, cannot create " + path("none/s.tarn") + "\n"))
      << missing.output;
  std::vector<std::string> full_streams = {path("full.tarn")};
  if (have_dev_full()) full_streams.push_back("/dev/full");
  for (const std::string& stream : full_streams) {
    FileSizeLimit full(stream == path("full.tarn") ? 2048 : RLIM_INFINITY);
    ASSERT_TRUE(full.active());
    const RunResult run = run_program("tarn-encode", {path("in.wav"), stream});
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_TRUE(run.output.ends_with("Error, cannot write " + stream + "\n")) << run.output;
  }
}

TEST_F(FaultInjectionTest, UnreadableInputsEndWithAMessage) {
  // A mode of 000 stops every user but root, whose reads the kernel allows regardless. Run as
  // root (as CI does), the checks therefore run as the unprivileged user nobody: in-process with
  // the effective user switched for the call, the programs through setpriv.
  constexpr uid_t NOBODY = 65534;
  const bool root = geteuid() == 0;
  std::string launcher;
  if (root) {
    if (std::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "root without setpriv";
    launcher = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    // nobody must reach the files: search permission on the test folder, no more.
    fs::permissions(dir_, fs::perms::others_exec, fs::perm_options::add);
  }
  fs::copy_file(path("good.tarn"), path("locked.tarn"), fs::copy_options::overwrite_existing);
  fs::copy_file(path("in.wav"), path("locked.wav"), fs::copy_options::overwrite_existing);
  ASSERT_EQ(chmod(path("locked.tarn").c_str(), 0), 0);
  ASSERT_EQ(chmod(path("locked.wav").c_str(), 0), 0);

  if (root) {
    ASSERT_EQ(seteuid(NOBODY), 0);
  }
  const Decoded d = decode_in_process(path("locked.tarn"), path("o.wav"));
  if (root) {
    ASSERT_EQ(seteuid(0), 0);
  }
  EXPECT_EQ(d.status, DECODE_ERR_OPEN);
  EXPECT_EQ(d.text, "Error, cannot open " + path("locked.tarn") + "\n");

  // A build under a folder nobody cannot enter (/root is 0700 on Debian) leaves the programs out
  // of its reach; the checks above still ran.
  const std::string reach = program_dir() + "/tarn-decode";
  const std::string can_run = launcher + "test -r '" + reach + "' -a -x '" + reach + "'";
  if (root && std::system(can_run.c_str()) != 0) {
    GTEST_SKIP() << "nobody cannot run " << reach << ": the programs' part is skipped";
  }
  const RunResult decode =
      run_program("tarn-decode", {path("locked.tarn"), path("o.wav")}, launcher);
  EXPECT_EQ(decode.exit_status, 255);
  EXPECT_EQ(decode.output, d.text);
  for (const char* program : {"tarn", "tarn-encode"}) {
    std::vector<std::string> args = {path("locked.wav"), path("s.tarn")};
    if (std::string(program) == "tarn") args.push_back(path("o.wav"));
    const RunResult run = run_program(program, args, launcher);
    EXPECT_EQ(run.exit_status, 255) << program;
    EXPECT_EQ(run.output, "Error, cannot open " + path("locked.wav") + "\n") << program;
  }
  EXPECT_FALSE(fs::exists(path("o.wav")));
  EXPECT_FALSE(fs::exists(path("s.tarn")));
}

}  // namespace
}  // namespace tarn
