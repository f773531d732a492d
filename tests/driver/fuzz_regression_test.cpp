// Inputs with which the fuzz targets (fuzz/) found faults, kept as regression tests: each says
// which target found it, what went wrong and what the decoder must do instead.

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace tarn {
namespace {

using namespace tarn_test;

class FuzzRegressionTest : public testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

// A header for 512 frames at 44100 Hz (channel byte 2, kbd, half_frame 256) and two blocks whose
// four records are the coded form of a silent frame: the 14 zero bytes of its band header.
// clang-format off
constexpr uint8_t TWO_SILENT_BLOCKS[] = {
    0x00, 0x01, 0x00, 0x00,  0x44, 0xAC, 0x00, 0x00,  0x02, 0x01, 0x00, 0x01,
    /* block 0 left */  0x0B, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0D, 0x88,
    /* block 0 right */ 0x0B, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0D, 0x88,
    /* block 1 left */  0x0B, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0D, 0x88,
    /* block 1 right */ 0x0B, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0D, 0x88,
};
// clang-format on
constexpr size_t CHANNEL_BYTE = 8;

// decoder_fuzzer, a stream whose header's channel byte was 1: the output WAV header took that
// byte as its channel count, so its size fields counted 2 bytes a frame (6 for a 3, up to 510)
// while the decoder writes 4, and claimed data the file does not hold, or hid data it does.
// The output is 16-bit stereo whatever the byte says; "File info" still prints the byte.
TEST_F(FuzzRegressionTest, ChannelByteLeavesTheOutputStereo) {
  for (const uint8_t channels : {0, 1, 2, 3, 255}) {
    SCOPED_TRACE(static_cast<int>(channels));
    std::vector<uint8_t> stream(std::begin(TWO_SILENT_BLOCKS), std::end(TWO_SILENT_BLOCKS));
    stream[CHANNEL_BYTE] = channels;
    write_bytes(path("s.tarn"), stream);
    const RunResult run = run_program("tarn-decode", {path("s.tarn"), path("o.wav")});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output.rfind("File info: 256 256 44100 " + std::to_string(channels) +
                                   " kbd \nEnd of Synthesis, 256 samples\n",
                               0),
              0u)
        << run.output;
    const std::vector<uint8_t> wav = read_bytes(path("o.wav"));
    ASSERT_EQ(wav.size(), 44u + 256 * 4);  // two blocks finish one hop of frames
    EXPECT_EQ(load_le32(&wav[4]), wav.size() - 8);
    EXPECT_EQ(load_le32(&wav[40]), wav.size() - 44);
    EXPECT_EQ(load_le16(&wav[22]), 2);        // channels
    EXPECT_EQ(load_le32(&wav[28]), 176400u);  // byte rate
    EXPECT_EQ(load_le16(&wav[32]), 4);        // block align
  }
}

}  // namespace
}  // namespace tarn
