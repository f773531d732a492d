// tarn-encode and tarn-decode in pipes: "-" for standard input and output gives the bytes of
// the file-to-file runs, a WAV on standard input may declare any data size, standard output
// holds only audio (the messages go to standard error, unchanged), and --help and --version
// answer on standard output with status 0. A WAV on standard input into a stream file is encoded
// as it arrives, with no copy of the input.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace tarn {
namespace {

using namespace tarn_test;

constexpr uint32_t FRAMES = 50000;

StereoValue input_value(uint32_t n) {
  return StereoValue{static_cast<int16_t>((n * 37) % 20000 - 10000),
                     static_cast<int16_t>(((n / 90) % 2 ? 6000 : -6000) + (n * 11) % 997)};
}

// The WAV with a "LIST" chunk of `size` zero bytes (and the pad byte of an odd size) between
// its format chunk and its data chunk.
std::vector<uint8_t> with_chunk_before_data(std::vector<uint8_t> wav, uint32_t size) {
  std::vector<uint8_t> chunk(8 + size + size % 2, 0);
  std::copy_n("LIST", 4, chunk.begin());
  store_le32(&chunk[4], size);
  wav.insert(wav.begin() + 36, chunk.begin(), chunk.end());
  store_le32(&wav[4], load_le32(&wav[4]) + static_cast<uint32_t>(chunk.size()));
  return wav;
}

class PipeTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = make_temp_dir();
    fs::create_directory(dir_ / "spool");
    write_wav(dir_ / "in.wav", FRAMES, input_value);
    write_wav(dir_ / "short.wav", 32767, input_value);
    encode_text_ = run_program("tarn-encode", {path("in.wav"), path("files.tarn")}).output;
    decode_text_ = run_program("tarn-decode", {path("files.tarn"), path("files.wav")}).output;
    // The same audio with its size fields as a writer into a pipe leaves them.
    std::vector<uint8_t> wav = read_bytes(dir_ / "in.wav");
    for (uint32_t declared : {0xFFFFFFFFu, 0u}) {
      store_le32(&wav[4], declared);
      store_le32(&wav[40], declared);
      write_bytes(dir_ / ("declared-" + std::to_string(declared) + ".wav"), wav);
    }
    // Headers that the first bytes held in memory do not decide: a chunk of 1.5 MiB, and an odd
    // chunk whose pad byte the plain walk misreads. They are read from a copy of the input.
    const std::vector<uint8_t> plain = read_bytes(dir_ / "in.wav");
    write_bytes(dir_ / "long-header.wav", with_chunk_before_data(plain, 3 << 19));
    write_bytes(dir_ / "odd-chunk.wav", with_chunk_before_data(plain, 3));
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  static std::string path(const std::string& name) { return (dir_ / name).string(); }

  // Runs a bash command line in the test folder with ENC and DEC set to the programs and the
  // spool folder as TMPDIR; returns its exit status (that of the pipeline's last failure).
  static int shell(const std::string& line) {
    const std::string command = "cd '" + dir_.string() + "' && ENC='" TARN_BIN_DIR
                                "/tarn-encode' DEC='" TARN_BIN_DIR "/tarn-decode' TMPDIR='" +
                                path("spool") + "' bash -o pipefail -c '" + line + "'";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static fs::path dir_;
  static std::string encode_text_;
  static std::string decode_text_;
};

fs::path PipeTest::dir_;
std::string PipeTest::encode_text_;
std::string PipeTest::decode_text_;

TEST_F(PipeTest, StandardStreamsGiveTheFilesBytes) {
  struct Case {
    const char* line;      // writes out.bin (and its messages to err.txt)
    const char* expected;  // the file out.bin must equal
  };
  const Case cases[] = {
      {"cat in.wav | $ENC - - 2>/dev/null | $DEC - - > out.bin 2>/dev/null", "files.wav"},
      {"cat in.wav | $ENC - out.bin > /dev/null", "files.tarn"},
      {"$ENC in.wav - > out.bin 2>/dev/null", "files.tarn"},
      {"$ENC in.wav - 2>/dev/null | cat > out.bin", "files.tarn"},
      {"cat files.tarn | $DEC - out.bin > /dev/null", "files.wav"},
      {"$DEC files.tarn - 2>/dev/null | cat > out.bin", "files.wav"},
      {"$DEC files.tarn - > out.bin 2>/dev/null", "files.wav"},
      {"cat declared-4294967295.wav | $ENC - - > out.bin 2>/dev/null", "files.tarn"},
      {"cat declared-0.wav | $ENC - - > out.bin 2>/dev/null", "files.tarn"},
      {"cat declared-4294967295.wav | $ENC - out.bin > /dev/null", "files.tarn"},
      {"cat declared-0.wav | $ENC - out.bin > /dev/null", "files.tarn"},
      {"cat long-header.wav | $ENC - out.bin > /dev/null", "files.tarn"},
      {"cat odd-chunk.wav | $ENC - out.bin > /dev/null", "files.tarn"},
  };
  for (const Case& c : cases) {
    fs::remove(dir_ / "out.bin");
    EXPECT_EQ(shell(c.line), 0) << c.line;
    EXPECT_TRUE(read_bytes(dir_ / "out.bin") == read_bytes(dir_ / c.expected)) << c.line;
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "spool")) << "a spooled input outlived its run";
}

// Standard input into a stream file needs no temporary file (TMPDIR names no folder, so that
// any would fail), prints the file run's text, and refuses a short input before the stream file
// is made: none is left behind, and an existing one keeps its bytes.
TEST_F(PipeTest, APipeIntoAFileIsEncodedAsItArrives) {
  struct Case {
    const char* line;      // writes out.bin, its console text in out.txt
    bool existing;         // out.bin holds bytes before the run
    int status;
    const char* expected;  // the file out.bin must equal afterwards (null: no file)
    const char* text_of;   // the input whose file run prints the same text
  };
  const Case cases[] = {
      {"cat in.wav | TMPDIR=none $ENC - out.bin > out.txt", true, 0, "files.tarn", "in.wav"},
      {"cat declared-0.wav | TMPDIR=none $ENC - out.bin > out.txt", false, 0, "files.tarn",
       "in.wav"},
      {"cat declared-4294967295.wav | TMPDIR=none $ENC - out.bin > out.txt", false, 0,
       "files.tarn", "in.wav"},
      {"cat short.wav | TMPDIR=none $ENC - out.bin > out.txt", true, 255, "kept.bin",
       "short.wav"},
      {"cat short.wav | TMPDIR=none $ENC - out.bin > out.txt", false, 255, nullptr, "short.wav"},
  };
  write_bytes(dir_ / "kept.bin", {'k', 'e', 'p', 't'});
  for (const Case& c : cases) {
    fs::remove(dir_ / "out.bin");
    if (c.existing) fs::copy_file(dir_ / "kept.bin", dir_ / "out.bin");
    EXPECT_EQ(shell(c.line), c.status) << c.line;
    if (c.expected != nullptr) {
      EXPECT_TRUE(read_bytes(dir_ / "out.bin") == read_bytes(dir_ / c.expected)) << c.line;
    } else {
      EXPECT_FALSE(fs::exists(dir_ / "out.bin")) << c.line;
    }
    const std::vector<uint8_t> text = read_bytes(dir_ / "out.txt");
    const std::string file_text =
        run_program("tarn-encode", {path(c.text_of), path("text.tarn")}).output;
    EXPECT_EQ(without_processing_time(std::string(text.begin(), text.end())),
              without_processing_time(file_text))
        << c.line;
  }
  // A stream into a pipe still copies its input: there TMPDIR's lack shows.
  EXPECT_EQ(shell("cat in.wav | TMPDIR=none $ENC - - 2> out.txt | cat > out.bin"), 255);
  const std::vector<uint8_t> err = read_bytes(dir_ / "out.txt");
  EXPECT_EQ(std::string(err.begin(), err.end()), "Error, cannot open -\n");
}

TEST_F(PipeTest, FfmpegOutputEncodesLikeTheFile) {
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  ASSERT_EQ(shell("ffmpeg -nostdin -loglevel error -i in.wav -f wav - | $ENC - - > out.bin "
                  "2>/dev/null"),
            0);
  EXPECT_TRUE(read_bytes(dir_ / "out.bin") == read_bytes(dir_ / "files.tarn"));
}

TEST_F(PipeTest, MessagesMoveToStandardErrorUnchanged) {
  struct Case {
    const char* line;
    const std::string* expected;
  };
  const Case cases[] = {
      {"$ENC in.wav - 2> err.txt > /dev/null", &encode_text_},
      {"$DEC files.tarn - 2> err.txt > /dev/null", &decode_text_},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(shell(c.line), 0) << c.line;
    const std::vector<uint8_t> err = read_bytes(dir_ / "err.txt");
    EXPECT_EQ(without_processing_time(std::string(err.begin(), err.end())),
              without_processing_time(*c.expected))
        << c.line;
  }
}

// A stream cut short, decoded into a pipe: the frames the file decode keeps, under a header that
// still announces the stream's frame count; the failure shows in the exit status.
TEST_F(PipeTest, DamagedStreamIntoAPipeKeepsItsFramesAndTheStreamCount) {
  ASSERT_EQ(shell("head -c 20000 files.tarn > cut.tarn"), 0);
  run_program("tarn-decode", {path("cut.tarn"), path("cut.wav")});
  EXPECT_NE(shell("$DEC cut.tarn - 2>/dev/null | cat > out.bin"), 0);
  const std::vector<uint8_t> piped = read_bytes(dir_ / "out.bin");
  const std::vector<uint8_t> file = read_bytes(dir_ / "cut.wav");
  ASSERT_GE(piped.size(), 44u);
  EXPECT_EQ(load_le32(&piped[40]), 4 * FRAMES);
  EXPECT_LT(wav_frames(file).size(), FRAMES);
  EXPECT_TRUE(std::equal(piped.begin() + 44, piped.end(), file.begin() + 44, file.end()));
  // Standard output appending to a file is written through the same way: the bytes before the
  // WAV stay, and nothing is rewritten in place.
  const std::vector<uint8_t> before = read_bytes(dir_ / "files.tarn");
  ASSERT_EQ(shell("cp files.tarn appended.bin"), 0);
  EXPECT_NE(shell("$DEC cut.tarn - 2>/dev/null >> appended.bin"), 0);
  std::vector<uint8_t> expected = before;
  expected.insert(expected.end(), piped.begin(), piped.end());
  EXPECT_TRUE(read_bytes(dir_ / "appended.bin") == expected);
}

// "-" is the file open on standard input or output: when that is the other path's file, the
// run is refused before anything is created, and the file keeps its bytes. Pipes, as in the
// tests above, never match.
TEST_F(PipeTest, AStandardStreamOnTheOtherPathsFileIsRefused) {
  struct Case {
    const char* line;
    const char* file;     // the file named twice
    const char* message;  // on the console (standard error when the output is "-")
  };
  const Case cases[] = {
      {"$DEC - files.tarn < files.tarn > err.txt", "files.tarn",
       "Error, - and files.tarn are the same file\n"},
      {"$ENC in.wav - 1<> in.wav 2> err.txt", "in.wav", "Error, in.wav and - are the same file\n"},
      {"$ENC - - < in.wav 1<> in.wav 2> err.txt", "in.wav", "Error, - and - are the same file\n"},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> before = read_bytes(dir_ / c.file);
    EXPECT_EQ(shell(c.line), 255) << c.line;
    const std::vector<uint8_t> err = read_bytes(dir_ / "err.txt");
    EXPECT_EQ(std::string(err.begin(), err.end()), c.message) << c.line;
    EXPECT_TRUE(read_bytes(dir_ / c.file) == before) << c.line;
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "spool")) << "a refused run spooled its input";
}

TEST_F(PipeTest, HelpAndVersionAnswerOnStandardOutput) {
  const char* cases[][2] = {{"tarn-encode", "--help"},
                            {"tarn-encode", "--version"},
                            {"tarn-decode", "--help"},
                            {"tarn-decode", "--version"}};
  for (const auto& c : cases) {
    const std::string line = std::string("$") + (c[0][5] == 'e' ? "ENC " : "DEC ") + c[1] +
                             " > out.txt 2> err.txt";
    EXPECT_EQ(shell(line), 0) << line;
    EXPECT_GT(fs::file_size(dir_ / "out.txt"), 10u) << line;
    EXPECT_EQ(fs::file_size(dir_ / "err.txt"), 0u) << line;
  }
}

}  // namespace
}  // namespace tarn
