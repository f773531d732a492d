// The decoder against streams it did not write: other header values, truncation, damage.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "test_support.h"

namespace tarn {
namespace {

using namespace tarn_test;

class DecoderTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    write_wav(path("in.wav"), 40000, [](uint32_t n) {
      return StereoValue{static_cast<int16_t>(std::lround(12000 * std::sin(0.05 * n))),
                         static_cast<int16_t>(static_cast<int>((n * 7919u) % 20000u) - 10000)};
    });
    ASSERT_EQ(run_program("tarn", {path("in.wav"), path("good.tarn"), path("good.wav")}).exit_status,
              0);
    stream_ = read_bytes(path("good.tarn"));
    wav_ = read_bytes(path("good.wav"));
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }

  RunResult decode(const std::vector<uint8_t>& stream) {
    write_bytes(path("t.tarn"), stream);
    fs::remove(path("t.wav"));
    return run_program("tarn-decode", {path("t.tarn"), path("t.wav")});
  }

  // Offsets of each block's left length word in the good stream.
  std::vector<size_t> block_offsets() const {
    std::vector<size_t> offsets;
    size_t pos = 12;
    while (pos + 2 <= stream_.size()) {
      offsets.push_back(pos);
      pos += 2 + load_le16(&stream_[pos]);
      pos += 2 + load_le16(&stream_[pos]);
    }
    return offsets;
  }

  fs::path dir_;
  std::vector<uint8_t> stream_;
  std::vector<uint8_t> wav_;
};

// A decoded WAV that stopped early is a valid file: its size fields match what it holds, and
// what it holds is the start of the complete decode.
void expect_valid_prefix(const std::vector<uint8_t>& wav, const std::vector<uint8_t>& full) {
  ASSERT_GE(wav.size(), 44u);
  EXPECT_EQ(load_le32(&wav[40]), wav.size() - 44);
  EXPECT_EQ(load_le32(&wav[4]), wav.size() - 8);
  ASSERT_LE(wav.size(), full.size());
  EXPECT_TRUE(std::equal(wav.begin() + 44, wav.end(), full.begin() + 44));
}

TEST_F(DecoderTest, WindowTypeSelectsTheSynthesisWindow) {
  struct Case {
    uint8_t window_type;
    const char* label;
  };
  constexpr Case CASES[] = {{0, "sine "}, {1, "kbd "}, {2, "vorbis "}, {3, "rectangular "},
                            {255, "rectangular "}};
  for (const Case& c : CASES) {
    std::vector<uint8_t> s = stream_;
    s[9] = c.window_type;
    const RunResult run = decode(s);
    EXPECT_EQ(run.exit_status, 0);
    const std::string first_line = std::string("File info: 40000 256 44100 2 ") + c.label + "\n";
    EXPECT_EQ(run.output.substr(0, first_line.size()), first_line) << run.output;
    if (c.window_type == 1) {
      EXPECT_EQ(read_bytes(path("t.wav")), wav_);
    }
  }
}

// A stream that ends cleanly before its header's frame count keeps what it has in an honest WAV
// and says it was cut short, with exit status 255.
TEST_F(DecoderTest, HeaderOnlyStreamIsCutShort) {
  const RunResult run = decode(std::vector<uint8_t>(stream_.begin(), stream_.begin() + 12));
  EXPECT_EQ(run.exit_status, 255);
  EXPECT_EQ(run.output, "File info: 40000 256 44100 2 kbd \nEnd of Synthesis, 0 samples\n\n\nError, " +
                            path("t.tarn") + " is cut short: 0 of 40000 samples\n");
  const std::vector<uint8_t> wav = read_bytes(path("t.wav"));
  ASSERT_EQ(wav.size(), 44u);
  EXPECT_EQ(load_le32(&wav[40]), 0u);  // the header claims no frame it does not hold
  EXPECT_TRUE(std::equal(wav.begin() + 8, wav.begin() + 40, wav_.begin() + 8));
}

TEST_F(DecoderTest, AStrayByteAfterTheLastBlockEndsNormally) {
  std::vector<uint8_t> s = stream_;
  s.push_back(0x5A);
  EXPECT_EQ(decode(s).exit_status, 0);
  EXPECT_EQ(read_bytes(path("t.wav")), wav_);
}

TEST_F(DecoderTest, TruncationAtABlockBoundaryKeepsTheDecodedBlocks) {
  const std::vector<size_t> offsets = block_offsets();
  ASSERT_GT(offsets.size(), 10u);
  const RunResult run = decode(std::vector<uint8_t>(stream_.begin(), stream_.begin() + offsets[10]));
  EXPECT_EQ(run.exit_status, 255);
  EXPECT_TRUE(run.output.ends_with("End of Synthesis, 2304 samples\n\n\nError, " + path("t.tarn") +
                                   " is cut short: 2304 of 40000 samples\n"))
      << run.output;
  const std::vector<uint8_t> wav = read_bytes(path("t.wav"));
  EXPECT_EQ(wav.size(), 44u + 4u * 256 * 9);  // ten blocks finish nine hops
  expect_valid_prefix(wav, wav_);
}

TEST_F(DecoderTest, DamageInsideABlockStopsThereWithAMessage) {
  const std::vector<size_t> offsets = block_offsets();
  const size_t b = 20;
  const size_t left_length = load_le16(&stream_[offsets[b]]);
  const size_t right_at = offsets[b] + 2 + left_length;
  struct Case {
    const char* name;
    size_t cut;          // bytes kept, or 0 to keep all
    size_t patch_at;     // length word to overwrite, or 0
    uint16_t patch_value;
    const char* fault;
  };
  const Case CASES[] = {
      {"left payload cut short", offsets[b] + 5, 0, 0, "record cut short"},
      {"right length missing", right_at + 1, 0, 0, "right record missing"},
      {"right payload cut short", right_at + 3, 0, 0, "record cut short"},
      {"length above the buffer", 0, offsets[b], 1025, "record length above the payload buffer"},
      {"empty payload", 0, offsets[b], 0, ""},
      // Zero bits decode to byte 0 for ever: the left fault comes before the right one.
      {"left payload undecodable, right missing", offsets[b] + 3, offsets[b], 0,
       "payload does not decode"},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> s = stream_;
    if (c.cut != 0) s.resize(c.cut);
    if (c.patch_at != 0) store_le16(&s[c.patch_at], c.patch_value);
    const RunResult run = decode(s);
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_NE(run.output.find("Error, " + path("t.tarn") + " is damaged at block 20: " + c.fault),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("Processing time"), std::string::npos);
    const std::vector<uint8_t> wav = read_bytes(path("t.wav"));
    EXPECT_EQ(wav.size(), 44u + 4u * 256 * 19);
    expect_valid_prefix(wav, wav_);
  }
}

TEST_F(DecoderTest, UnusableHeadersDecodeNothing) {
  struct Case {
    const char* name;
    uint16_t half_frame;
    uint32_t sample_rate;
    const char* message;
  };
  const Case CASES[] = {
      {"half frame 0", 0, 44100, "has an unusable header: half_frame 0"},
      {"odd half frame", 255, 44100, "has an unusable header: half_frame 255"},
      {"half frame past the frame layout", 528, 44100, "has an unusable header: half_frame 528"},
      {"huge half frame", 65534, 44100, "has an unusable header: half_frame 65534"},
      {"bands not filled", 256, 16000, "has an unusable header: 256 bins at 16000 Hz"},
      {"rate 0", 256, 0, "has an unusable header: 256 bins at 0 Hz"},
  };
  for (const Case& c : CASES) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> s = stream_;
    store_le16(&s[10], c.half_frame);
    store_le32(&s[4], c.sample_rate);
    const RunResult run = decode(s);
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.output.rfind("Error, " + path("t.tarn") + " " + c.message, 0), 0u) << run.output;
    EXPECT_FALSE(fs::exists(path("t.wav")));
  }
}

TEST_F(DecoderTest, MissingOrShortStreamsFailWithAMessage) {
  const RunResult missing = run_program("tarn-decode", {path("absent.tarn"), path("t.wav")});
  EXPECT_EQ(missing.exit_status, 255);
  EXPECT_EQ(missing.output, "Error, cannot open " + path("absent.tarn") + "\n");
  for (size_t size : {0, 1, 11}) {
    const RunResult run = decode(std::vector<uint8_t>(stream_.begin(), stream_.begin() + size));
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.output, "Error, " + path("t.tarn") + " is too short for a stream header\n");
  }
}

TEST_F(DecoderTest, OtherHalfFramesDecodeWithoutFault) {
  // A header with another transform size still decodes: every buffer follows half_frame.
  for (uint16_t half_frame : {128, 512, 526}) {
    SCOPED_TRACE(half_frame);
    std::vector<uint8_t> s = stream_;
    store_le16(&s[10], half_frame);
    const RunResult run = decode(s);
    EXPECT_TRUE(run.exit_status == 0 || run.exit_status == 255) << run.output;
    const std::vector<uint8_t> wav = read_bytes(path("t.wav"));
    ASSERT_GE(wav.size(), 44u);
    EXPECT_EQ(load_le32(&wav[40]), wav.size() - 44);
  }
}

}  // namespace
}  // namespace tarn
