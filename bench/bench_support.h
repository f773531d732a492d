#pragma once
// Inputs for the benchmarks: the demo piece from tarn-make-signal (a reproducible music-like
// stereo signal of any length), written once per process into the temporary folder, and the
// encoder's own intermediate results for a spread of its blocks, so that every stage is timed on
// what it really receives.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "format/byte_order.h"
#include "format/stream_format.h"
#include "programs/wav_file.h"
#include "programs/wav_reader.h"

namespace tarn_bench {

namespace fs = std::filesystem;

// tarn-make-signal --seconds <seconds> into the temporary folder; the path, or "" on failure.
inline std::string demo_wav(int seconds) {
  const fs::path path =
      fs::temp_directory_path() / ("tarn-bench-" + std::to_string(getpid()) + "-" +
                                   std::to_string(seconds) + "s.wav");
  if (!fs::exists(path)) {
    const std::string command = std::string(TARN_BIN_DIR) + "/tarn-make-signal --seconds " +
                                std::to_string(seconds) + " '" + path.string() + "' >/dev/null";
    if (std::system(command.c_str()) != 0) return "";
  }
  return path.string();
}

// Removes the demo files of this process at exit.
struct DemoCleanup {
  ~DemoCleanup() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), error)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("tarn-bench-" + std::to_string(getpid()) + "-", 0) == 0) {
        fs::remove(entry.path(), error);
      }
    }
  }
};
inline DemoCleanup demo_cleanup;

// Every frame of both channels of a WAV, in the encoder's order (left, right per block): block
// k holds input frames 256k - 256 .. 256k + 255, zeros outside the data.
inline std::vector<std::vector<double>> all_frames(const std::string& path) {
  std::vector<std::vector<double>> frames;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return frames;
  tarn::WavFile wav;
  wav.file = f;
  std::vector<double> samples[2];
  if (tarn::read_wav_header(wav) == tarn::WAV_OK) {
    uint8_t bytes[4 * 4096];
    int got;
    while ((got = tarn::read_stereo_frames(wav, bytes, 4096)) > 0) {
      for (int i = 0; i < 2 * got; ++i) {
        samples[i % 2].push_back(static_cast<int16_t>(tarn::load_le16(bytes + 2 * i)) / 32768.0);
      }
    }
    const long n = static_cast<long>(samples[0].size());
    const long blocks = n / tarn::HOP_SIZE + 2;
    for (long b = 0; b < blocks; ++b) {
      for (int c = 0; c < 2; ++c) {
        std::vector<double> frame(tarn::FRAME_SIZE, 0.0);
        for (int j = 0; j < tarn::FRAME_SIZE; ++j) {
          const long at = b * tarn::HOP_SIZE - tarn::HOP_SIZE + j;
          if (at >= 0 && at < n) frame[j] = samples[c][at];
        }
        frames.push_back(std::move(frame));
      }
    }
  }
  std::fclose(f);
  return frames;
}

// Standard output goes to /dev/null while one of these lives (the loops print their reports).
struct QuietStdout {
  QuietStdout() {
    std::fflush(stdout);
    saved = dup(1);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
  }
  int saved;
};

}  // namespace tarn_bench
