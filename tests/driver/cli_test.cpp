// End-to-end tests of the three programs: console text, exit statuses, the stream file and the
// decoded WAV, on inputs generated here.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "coding/arith_coder.h"
#include "codec/encoder.h"
#include "test_support.h"

namespace tarn {
namespace {

using namespace tarn_test;

constexpr double PI = 3.141592653589793;

class CliTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

StereoValue tone_frame(uint32_t n) {
  return {static_cast<int16_t>(std::lround(16000 * std::sin(2 * PI * 1000.0 * n / 44100))),
          static_cast<int16_t>(std::lround(8000 * std::sin(2 * PI * 3000.0 * n / 44100)))};
}

StereoValue silent_frame(uint32_t) { return {0, 0}; }

// The expected console text of a complete tarn run, with the processing time left as a pattern.
std::string expected_run_text(uint32_t frames, int left_bytes, int right_bytes) {
  const int blocks = block_count(frames);
  const uint32_t s = static_cast<uint32_t>(left_bytes + right_bytes + 12);
  char text[1024];
  std::snprintf(text, sizeof text,
                "Sampling rate: 44100\nChannels: 2\nBits per sample: 16\nSamples: %u, Length %fs\n\n"
                "Left channel, %d coefficients, %d bytes used\n"
                "Right channel, %d coefficients, %d bytes used\n"
                "File size: %u bytes %.4fkbps\nEnd of Analysis, %d blocks\n\n"
                "File info: %u 256 44100 2 kbd \nEnd of Synthesis, %u samples\n\n\n",
                frames, frames / 44100.0, blocks * 256, left_bytes, blocks * 256, right_bytes, s,
                s * 8.0 / (frames * 1000.0 / 44100), blocks, frames, frames);
  return text;
}

// Sums of the payload lengths per channel, and the number of blocks, read from a stream file.
struct StreamWalk {
  int blocks = 0;
  int bytes[2] = {0, 0};
  int smallest_decoded = 1 << 30;  // fewest bytes any payload decompressed to
  bool well_formed = true;
};

StreamWalk walk_stream(const std::vector<uint8_t>& stream) {
  StreamWalk walk;
  size_t pos = 12;
  while (pos + 2 <= stream.size()) {
    for (int c = 0; c < 2; ++c) {
      if (pos + 2 > stream.size()) {
        walk.well_formed = false;
        return walk;
      }
      const uint16_t length = load_le16(&stream[pos]);
      pos += 2;
      if (pos + length > stream.size()) {
        walk.well_formed = false;
        return walk;
      }
      uint8_t decoded[1024];
      const int32_t d = arith_decompress(&stream[pos], decoded, length, sizeof decoded);
      if (d < walk.smallest_decoded) walk.smallest_decoded = d;
      walk.bytes[c] += length;
      pos += length;
    }
    ++walk.blocks;
  }
  walk.well_formed = walk.well_formed && pos == stream.size();
  return walk;
}

TEST_F(CliTest, FullRunPrintsTheReportAndWritesBothFiles) {
  struct Case {
    const char* name;
    uint32_t frames;
  };
  constexpr Case CASES[] = {{"smallest input", 32768}, {"one frame more", 32769},
                            {"one second", 44100},     {"exact multiple of 256", 65536},
                            {"two seconds", 88200}};
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    write_wav(path("in.wav"), c.frames, tone_frame);
    const RunResult run = run_program("tarn", {path("in.wav"), path("s.tarn"), path("out.wav")});
    EXPECT_EQ(run.exit_status, 0) << run.output;

    const std::vector<uint8_t> stream = read_bytes(path("s.tarn"));
    const StreamWalk walk = walk_stream(stream);
    EXPECT_TRUE(walk.well_formed);
    EXPECT_EQ(walk.blocks, block_count(c.frames));
    // The reported size S leaves out the two length words of each block.
    EXPECT_EQ(stream.size(), 12u + walk.bytes[0] + walk.bytes[1] + 4u * walk.blocks);

    const std::string expected = expected_run_text(c.frames, walk.bytes[0], walk.bytes[1]);
    EXPECT_EQ(without_processing_time(run.output), expected);

    const std::vector<uint8_t> wav = read_bytes(path("out.wav"));
    ASSERT_EQ(wav.size(), 44u + 4u * c.frames);
    EXPECT_EQ(load_le32(&wav[4]), 36u + 4u * c.frames);
    EXPECT_EQ(load_le32(&wav[40]), 4u * c.frames);
  }
}

TEST_F(CliTest, OneSecondReportsItsRateAsBytesPerMillisecond) {
  write_wav(path("in.wav"), 44100, tone_frame);
  const RunResult run = run_program("tarn", {path("in.wav"), path("s.tarn"), path("out.wav")});
  ASSERT_EQ(run.exit_status, 0);
  const size_t at = run.output.find("File size: ");
  ASSERT_NE(at, std::string::npos);
  unsigned bytes = 0;
  char printed_rate[32] = {};
  ASSERT_EQ(std::sscanf(run.output.c_str() + at, "File size: %u bytes %31[0-9.]kbps", &bytes,
                        printed_rate),
            2);
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.4f", bytes * 8 / 1000.0);
  EXPECT_STREQ(printed_rate, rate);
}

// Goertzel power of one frequency over a span of samples.
double tone_power(const std::vector<double>& x, double hz) {
  const double w = 2 * PI * hz / 44100;
  double s1 = 0, s2 = 0;
  for (double v : x) {
    const double s0 = v + 2 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
}

TEST_F(CliTest, ATonePassesThroughAtItsFrequencyAndLevel) {
  write_wav(path("in.wav"), 44100, tone_frame);
  ASSERT_EQ(run_program("tarn", {path("in.wav"), path("s.tarn"), path("out.wav")}).exit_status, 0);
  const std::vector<StereoValue> frames = wav_frames(read_bytes(path("out.wav")));
  ASSERT_EQ(frames.size(), 44100u);
  struct Channel {
    const char* name;
    double hz;
    double amplitude;
  };
  const Channel channels[2] = {{"left", 1000, 16000}, {"right", 3000, 8000}};
  for (int c = 0; c < 2; ++c) {
    SCOPED_TRACE(channels[c].name);
    std::vector<double> x;
    double sum_squares = 0;
    for (size_t n = 4410; n < 39690; ++n) {  // away from the ramps at both ends
      const double v = c == 0 ? frames[n].left : frames[n].right;
      x.push_back(v);
      sum_squares += v * v;
    }
    double best_hz = 0, best_power = -1;
    for (double hz = 100; hz <= 10000; hz += 50) {
      const double p = tone_power(x, hz);
      if (p > best_power) best_power = p, best_hz = hz;
    }
    EXPECT_EQ(best_hz, channels[c].hz);
    // A decode whose scale factors saturate each band's peak keeps the level within a few dB.
    const double rms_db = 10 * std::log10(sum_squares / x.size());
    const double expected_db = 20 * std::log10(channels[c].amplitude / std::sqrt(2.0));
    EXPECT_NEAR(rms_db, expected_db, 3.0);
  }
}

TEST_F(CliTest, SilenceStillCarriesABandHeaderPerRecord) {
  write_wav(path("in.wav"), 32768, silent_frame);
  ASSERT_EQ(run_program("tarn", {path("in.wav"), path("s.tarn"), path("out.wav")}).exit_status, 0);
  const StreamWalk walk = walk_stream(read_bytes(path("s.tarn")));
  EXPECT_EQ(walk.blocks, 129);
  EXPECT_GE(walk.smallest_decoded, 14);
  for (const StereoValue& v : wav_frames(read_bytes(path("out.wav")))) {
    ASSERT_EQ(v.left, 0);
    ASSERT_EQ(v.right, 0);
  }
}

TEST_F(CliTest, RejectedInputsPrintTheirMessageAndCreateNothing) {
  struct Case {
    const char* name;
    uint32_t frames;
    uint16_t channels;
    uint32_t rate;
    uint16_t bits;
    const char* expected;  // %s stands for the input path
  };
  const Case CASES[] = {
      {"too small", 32767, 2, 44100, 16,
       "Sampling rate: 44100\nChannels: 2\nBits per sample: 16\nSamples: 32767, Length 0.743016s\n\n"
       "File is too small, at least 32768 samples are required\n"},
      {"mono", 40000, 1, 44100, 16,
       "Sampling rate: 44100\nChannels: 1\nBits per sample: 16\nSamples: 0\n"
       "Support limited to 44100Hz, 16 bits, Stereo\n"},
      {"48 kHz", 40000, 2, 48000, 16,
       "Sampling rate: 48000\nChannels: 2\nBits per sample: 16\nSamples: 0\n"
       "Support limited to 44100Hz, 16 bits, Stereo\n"},
      {"8 bits", 40000, 2, 44100, 8,
       "Sampling rate: 44100\nChannels: 2\nBits per sample: 8\nSamples: 0\n"
       "Support limited to 44100Hz, 16 bits, Stereo\n"},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    write_wav(path("in.wav"), c.frames, tone_frame, c.channels, c.rate, c.bits);
    for (const char* program : {"tarn", "tarn-encode"}) {
      std::vector<std::string> args = {path("in.wav"), path("s.tarn")};
      if (std::string(program) == "tarn") args.push_back(path("out.wav"));
      const RunResult run = run_program(program, args);
      EXPECT_EQ(run.exit_status, 255) << program;
      EXPECT_EQ(run.output, c.expected) << program;
      EXPECT_FALSE(fs::exists(path("s.tarn")));
      EXPECT_FALSE(fs::exists(path("out.wav")));
    }
  }
}

TEST_F(CliTest, HeaderFaultsNameTheInput) {
  write_wav(path("in.wav"), 40000, tone_frame);
  std::vector<uint8_t> wav = read_bytes(path("in.wav"));
  std::vector<uint8_t> not_wave = wav;
  not_wave[8] = 'X';
  write_bytes(path("notwave.wav"), not_wave);
  std::vector<uint8_t> not_pcm = wav;
  not_pcm[20] = 3;
  write_bytes(path("float.wav"), not_pcm);
  write_bytes(path("short.wav"), std::vector<uint8_t>(wav.begin(), wav.begin() + 30));
  fs::create_directory(path("dir.wav"));
  struct Case {
    const char* file;
    const char* message;
  };
  const Case CASES[] = {{"notwave.wav", " is not a WAV file\n"},
                        {"float.wav", " is not a PCM file\n"},
                        {"short.wav", " is not a WAV file\n"}};
  for (const Case& c : CASES) {
    const RunResult run = run_program("tarn", {path(c.file), path("s.tarn"), path("out.wav")});
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.output, path(c.file) + c.message);
    EXPECT_FALSE(fs::exists(path("s.tarn")));
  }
  for (const char* missing : {"absent.wav", "dir.wav"}) {
    const RunResult run = run_program("tarn", {path(missing), path("s.tarn"), path("out.wav")});
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.output, "Error, cannot open " + path(missing) + "\n");
  }
}

TEST_F(CliTest, WrongArgumentCountsPrintTheSyntax) {
  const std::string bin = program_dir();
  struct Case {
    const char* program;
    std::vector<std::string> args;
    const char* usage;
  };
  const Case CASES[] = {
      {"tarn", {"a", "b"}, " input.wav output.tarn output.wav\n"},
      {"tarn", {"a", "b", "c", "d"}, " input.wav output.tarn output.wav\n"},
      {"tarn-encode", {"a"}, " [-q] input.wav output.tarn\n"},
      {"tarn-encode", {"a", "b", "c"}, " [-q] input.wav output.tarn\n"},
      {"tarn-decode", {}, " [-q] input.tarn output.wav\n"},
      {"tarn-decode", {"a", "b", "c"}, " [-q] input.tarn output.wav\n"},
  };
  for (const Case& c : CASES) {
    const RunResult run = run_program(c.program, c.args);
    EXPECT_EQ(run.exit_status, 255) << c.program;
    EXPECT_EQ(run.output, "Syntax:\n " + bin + "/" + c.program + c.usage);
  }
}

TEST_F(CliTest, UnwritableOutputsFailWithAMessage) {
  write_wav(path("in.wav"), 32768, tone_frame);
  struct Case {
    const char* name;
    std::string stream;
    std::string wav;
    rlim_t file_size_limit;  // 0: none
    std::string message;
  };
  // The stream of this input takes about 12 KB, its WAV 131 KB.
  std::vector<Case> cases = {
      {"stream in a missing folder", path("none/s.tarn"), path("out.wav"), 0,
       "Error, cannot create " + path("none/s.tarn") + "\n"},
      {"stream on a full disk", path("s.tarn"), path("out.wav"), 2048,
       "Error, cannot write " + path("s.tarn") + "\n"},
      {"WAV on a full disk", path("s.tarn"), path("out.wav"), 65536,
       "Error, cannot write " + path("out.wav") + "\n"},
  };
  if (have_dev_full()) {
    cases.push_back({"stream on /dev/full", "/dev/full", path("out.wav"), 0,
                     "Error, cannot write /dev/full\n"});
    cases.push_back({"WAV on /dev/full", path("s.tarn"), "/dev/full", 0,
                     "Error, cannot write /dev/full\n"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult run;
    if (c.file_size_limit != 0) {
      FileSizeLimit full(c.file_size_limit);
      ASSERT_TRUE(full.active());
      run = run_program("tarn", {path("in.wav"), c.stream, c.wav});
    } else {
      run = run_program("tarn", {path("in.wav"), c.stream, c.wav});
    }
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_TRUE(run.output.ends_with(c.message)) << run.output;
    EXPECT_EQ(run.output.find("Processing time"), std::string::npos);
  }
}

TEST_F(CliTest, CompanionCommandsGiveTheSameBytesAsTarn) {
  write_wav(path("in.wav"), 50000, tone_frame);
  ASSERT_EQ(run_program("tarn", {path("in.wav"), path("a.tarn"), path("a.wav")}).exit_status, 0);
  const RunResult enc = run_program("tarn-encode", {path("in.wav"), path("b.tarn")});
  ASSERT_EQ(enc.exit_status, 0) << enc.output;
  const RunResult dec = run_program("tarn-decode", {path("b.tarn"), path("b.wav")});
  ASSERT_EQ(dec.exit_status, 0) << dec.output;
  EXPECT_EQ(read_bytes(path("a.tarn")), read_bytes(path("b.tarn")));
  EXPECT_EQ(read_bytes(path("a.wav")), read_bytes(path("b.wav")));
  const std::string encoded = without_processing_time(enc.output);
  EXPECT_EQ(encoded.rfind("Sampling rate: 44100\n", 0), 0u) << enc.output;
  const std::string last_line = "End of Analysis, 197 blocks\n\n";
  ASSERT_GE(encoded.size(), last_line.size()) << enc.output;
  EXPECT_EQ(encoded.substr(encoded.size() - last_line.size()), last_line);
  EXPECT_EQ(without_processing_time(dec.output),
            "File info: 50000 256 44100 2 kbd \nEnd of Synthesis, 50000 samples\n\n\n");
}

}  // namespace
}  // namespace tarn
