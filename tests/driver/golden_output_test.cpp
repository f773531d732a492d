// The whole run's output fixed to the byte: SHA-256 digests of the stream file and the decoded
// WAV that tarn writes for a few generated inputs. The digests were recorded from the direct
// build, before any of the speed work (cached FFT plans, tables, faster I/O), so every one of
// those changes must leave them as they are. A change here is a change of the codec's output.
// They are the bytes of an x86-64 CPU with AVX; with the pinned FFTW every CPU must give them
// (scripts/test-cpus.sh and scripts/test-cross.sh run these tests as other CPUs).

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>

#include "sha256.h"
#include "test_support.h"

namespace tarn {
namespace {

using namespace tarn_test;

constexpr double PI = 3.141592653589793;

// Deterministic noise for the inputs (64-bit linear congruential generator, top bits).
struct Noise {
  uint64_t state;
};
int16_t next_sample(Noise& r) {
  r.state = r.state * 6364136223846793005ull + 1442695040888963407ull;
  return static_cast<int16_t>(r.state >> 48);
}

int16_t clip16(double v) {
  if (v > 32767.0) return 32767;
  if (v < -32768.0) return -32768;
  return static_cast<int16_t>(std::lround(v));
}

enum class Input { DEMO, TONE, SILENCE, NOISE, CLIPPED, DIFFERENT, BIN_TONE, SQUARE, DC };

struct GoldenCase {
  const char* name;
  Input input;
  uint32_t frames;          // input length; the demo piece is 3 s, 132300 frames
  const char* stream_sha;   // SHA-256 of the .tarn file
  const char* decoded_sha;  // SHA-256 of the decoded WAV
};

// Lengths are chosen off the 256-sample hop where it matters (the last block is partial) and
// long enough to pass the input buffers' refill and the output buffers' wrap several times.
const GoldenCase GOLDEN_CASES[] = {
    {"demo_piece_3s", Input::DEMO, 132300,
     "2eb59695fb852e906a30dec522c9e03ec5dbbd48d80ecbf0af33e66eb3722002",
     "e43820018caec490d3770cff65f1a0187198f381c7bb7a6464c5a5900b46d6a9"},
    {"tone_997hz", Input::TONE, 60000,
     "0e5aa6da4800044604f6755ba2971184c796e14906c75caf06815d2369a399ea",
     "4a6fd9e64e247de7a692ac4e4efe9c7564228bb07e92577bcb0d6b7e37f3c969"},
    {"silence", Input::SILENCE, 40000,
     "e0d71118f4472fd69ca078f3c466c9edad71308dd48436cc0442861f2273a5d7",
     "60e08eab3607adf778c30d637a7c64a1577d1dd9da8845aaa278a0f8cdc6cc30"},
    {"noise_shortest_input", Input::NOISE, 32768,
     "207f6063917bea5e02294097ff24eb267eec18f5d05af17f56731302628e3356",
     "f6a9bd9f9989fbdc2ffc8efa60e0b4f527a22c8e729c1022e6b98bd48e05f3ba"},
    {"loud_clipped_sine", Input::CLIPPED, 50001,
     "42eabbff31a7316bc2acdfbc167ea73bc88128f34a7430bcece1884ec66b371c",
     "0b93320899406b3616e65e04e1408edf2dc7cb4bd38f7a86bd0441b99f93d3df"},
    {"left_sweep_right_square", Input::DIFFERENT, 70000,
     "e4dc1934a78998c29a609ba4440f62fe7a0fcd34bf0fbf364723d18dc692460c",
     "37d596441f5f8d80eb9326291fa8c1c565b7daf652104adb91d69c34525587c1"},
    // Exact ties between spectral bins, where the last bit of the FFT decides which bin masks:
    // a steady tone on a bin centre of the 512-point spectrum, a square wave whose period
    // divides the block, a constant.
    {"tone_on_bin_24", Input::BIN_TONE, 50000,
     "5722d44d979fb9b1548597ec91f713356b0ee2fab63cf8f3f41d3ea9cb598584",
     "0a3a6f189e092dae4ab75c870d31a82b0d26aec0f0cd5247c78510e6b99d820c"},
    {"square_64_samples", Input::SQUARE, 50000,
     "c82874c9b05732702aa2bc4e979f5d704bf16bd9b7f57cf4447b8456f15e2561",
     "00401c6d8709b79fea85e02c6e784f32ddf31d0c4116558f09a7a30040efe290"},
    {"dc", Input::DC, 50000,
     "bc360e4fbed0956c6ee30c0e7c3a1d1ddbc37a9cad919fbc162d3fe62c0defd9",
     "ba87824747e7edb432a5a5623299edcd8654b707f5cdec80fef0c6525af09f85"},
};

// Failure messages name the case rather than dumping its bytes.
void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

// The same sine on both channels.
void write_tone(const fs::path& path, uint32_t frames, double amplitude, double hz) {
  write_wav(path, frames, [amplitude, hz](uint32_t n) {
    const int16_t v = clip16(amplitude * std::sin(2 * PI * hz * n / 44100));
    return StereoValue{v, v};
  });
}

void write_input(const fs::path& path, const GoldenCase& c) {
  switch (c.input) {
    case Input::DEMO:
      break;  // made by tarn-make-signal
    case Input::TONE:
      write_tone(path, c.frames, 16000, 997.0);
      break;
    case Input::SILENCE:
      write_wav(path, c.frames, [](uint32_t) { return StereoValue{0, 0}; });
      break;
    case Input::NOISE: {
      Noise noise{20240601};
      write_wav(path, c.frames, [&noise](uint32_t) {
        const int16_t left = next_sample(noise);
        return StereoValue{left, next_sample(noise)};
      });
      break;
    }
    case Input::CLIPPED:
      // Half again above full scale: flat tops on both channels, opposite phases.
      write_wav(path, c.frames, [](uint32_t n) {
        const double v = 50000 * std::sin(2 * PI * 220.0 * n / 44100);
        return StereoValue{clip16(v), clip16(-v)};
      });
      break;
    case Input::DIFFERENT:
      // Left: a linear sweep from 20 Hz to 20 kHz; right: a 150 Hz square wave.
      write_wav(path, c.frames, [frames = c.frames](uint32_t n) {
        const double t = static_cast<double>(n) / 44100;
        const double seconds = static_cast<double>(frames) / 44100;
        const double phase = 2 * PI * (20.0 * t + (20000.0 - 20.0) * t * t / (2 * seconds));
        const int16_t square = (n / 147) % 2 == 0 ? 9000 : -9000;
        return StereoValue{clip16(12000 * std::sin(phase)), square};
      });
      break;
    case Input::BIN_TONE:
      // Bin 24 of 512: 2067.1875 Hz, a whole number of periods in every block.
      write_tone(path, c.frames, 12000, 24 * 44100.0 / 512);
      break;
    case Input::SQUARE:
      write_wav(path, c.frames, [](uint32_t n) {
        const int16_t v = (n / 32) % 2 == 0 ? 8000 : -8000;
        return StereoValue{v, v};
      });
      break;
    case Input::DC:
      write_wav(path, c.frames, [](uint32_t) { return StereoValue{4000, -4000}; });
      break;
  }
}

class GoldenOutputTest : public testing::TestWithParam<GoldenCase> {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

TEST_P(GoldenOutputTest, StreamAndDecodedWavKeepTheirDigests) {
  const GoldenCase& c = GetParam();
  if (c.input == Input::DEMO) {
    ASSERT_EQ(run_program("tarn-make-signal", {"--seconds", "3", path("in.wav")}).exit_status, 0);
  } else {
    write_input(path("in.wav"), c);
  }
  ASSERT_EQ(read_bytes(path("in.wav")).size(), 44 + 4 * static_cast<size_t>(c.frames));
  const RunResult run = run_program("tarn", {path("in.wav"), path("out.tarn"), path("out.wav")});
  ASSERT_EQ(run.exit_status, 0) << run.output;
  EXPECT_EQ(sha256_hex(read_bytes(path("out.tarn"))), c.stream_sha);
  EXPECT_EQ(sha256_hex(read_bytes(path("out.wav"))), c.decoded_sha);
}

INSTANTIATE_TEST_SUITE_P(Inputs, GoldenOutputTest, testing::ValuesIn(GOLDEN_CASES),
                         [](const testing::TestParamInfo<GoldenCase>& info) {
                           return std::string(info.param.name);
                         });

// The digest itself against the standard's examples: empty, one block, the two-block padding
// of a 56-byte message, and many blocks.
TEST(Sha256, MatchesTheStandardExamples) {
  struct Case {
    const char* name;
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"56 bytes", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"a million a", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sha256_hex(reinterpret_cast<const uint8_t*>(c.message.data()), c.message.size()),
              c.digest);
  }
}

}  // namespace
}  // namespace tarn
