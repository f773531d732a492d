#pragma once
// Helpers for the end-to-end tests: WAV inputs written from a formula, running the built
// programs and capturing what they print, and reading files back.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "format/byte_order.h"

namespace tarn_test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed by the caller's fixture.
inline fs::path make_temp_dir() {
  std::string pattern = (fs::temp_directory_path() / "tarn-test-XXXXXX").string();
  const char* made = mkdtemp(pattern.data());
  return made ? fs::path(made) : fs::path();
}

struct StereoValue {
  int16_t left;
  int16_t right;
};

// Writes a canonical 16-bit PCM WAV of `frames` frames whose frame n is value(n).
inline void write_wav(const fs::path& path, uint32_t frames,
                      const std::function<StereoValue(uint32_t)>& value, uint16_t channels = 2,
                      uint32_t rate = 44100, uint16_t bits = 16) {
  std::vector<uint8_t> bytes(44);
  const uint32_t block_align = channels * (bits / 8);
  const uint32_t data_bytes = frames * block_align;
  std::copy_n("RIFF", 4, bytes.begin());
  tarn::store_le32(&bytes[4], data_bytes + 36);
  std::copy_n("WAVEfmt ", 8, bytes.begin() + 8);
  tarn::store_le32(&bytes[16], 16);
  tarn::store_le16(&bytes[20], 1);
  tarn::store_le16(&bytes[22], channels);
  tarn::store_le32(&bytes[24], rate);
  tarn::store_le32(&bytes[28], rate * block_align);
  tarn::store_le16(&bytes[32], static_cast<uint16_t>(block_align));
  tarn::store_le16(&bytes[34], bits);
  std::copy_n("data", 4, bytes.begin() + 36);
  tarn::store_le32(&bytes[40], data_bytes);
  bytes.reserve(44 + data_bytes);
  for (uint32_t n = 0; n < frames; ++n) {
    const StereoValue v = value(n);
    const int16_t samples[2] = {v.left, v.right};
    for (int c = 0; c < channels; ++c) {
      if (bits == 16) {
        bytes.push_back(static_cast<uint8_t>(samples[c % 2]));
        bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(samples[c % 2]) >> 8));
      } else {
        bytes.push_back(static_cast<uint8_t>((samples[c % 2] >> 8) + 128));
      }
    }
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void write_bytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

struct RunResult {
  std::string output;  // everything the program printed on standard output
  int exit_status;     // 0 .. 255, or -1 when it did not exit normally
};

// Two environment variables let the same tests check other builds and CPUs: TARN_TEST_BIN_DIR
// names another folder of programs (a cross build), TARN_TEST_RUNNER a command that runs each
// program (an emulator such as "qemu-x86_64 -cpu Nehalem").
inline std::string program_dir() {
  const char* dir = std::getenv("TARN_TEST_BIN_DIR");
  return dir && *dir ? dir : TARN_BIN_DIR;
}

// Runs one of the programs (program_dir()/name) with the given arguments, after `launcher` (a
// command such as setpriv with its options) when one is given, and TARN_TEST_RUNNER when set.
inline RunResult run_program(const std::string& name, const std::vector<std::string>& args,
                             const std::string& launcher = "") {
  const char* runner = std::getenv("TARN_TEST_RUNNER");
  std::string command = launcher;
  if (runner && *runner) command += std::string(runner) + " ";
  command += program_dir() + "/" + name;
  for (const std::string& a : args) command += " '" + a + "'";
  command += " 2>&1";
  RunResult result{"", -1};
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
  const int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  return result;
}

// A run's output without its closing "\n\nProcessing time: N seconds\n" line, whose value
// depends on the clock; "<no processing time line>" when the output does not end that way.
inline std::string without_processing_time(const std::string& output) {
  const std::string marker = "\n\nProcessing time: ";
  const size_t at = output.rfind(marker);
  if (at == std::string::npos) return "<no processing time line>";
  size_t end = at + marker.size();
  const size_t digits_start = end;
  while (end < output.size() && output[end] >= '0' && output[end] <= '9') ++end;
  if (end == digits_start || output.substr(end) != " seconds\n") {
    return "<no processing time line>";
  }
  return output.substr(0, at);
}

// A decoded WAV's size fields against the file: never a byte claimed that is not there, and
// whole frames only. Returns the frames it holds, or -1 when the file is missing or has no
// whole header.
inline int64_t checked_wav_frames(const std::string& wav_path) {
  const std::vector<uint8_t> wav = read_bytes(wav_path);
  if (wav.size() < 44) return -1;
  EXPECT_EQ(tarn::load_le32(&wav[40]), wav.size() - 44);
  EXPECT_EQ(tarn::load_le32(&wav[4]), wav.size() - 8);
  EXPECT_EQ((wav.size() - 44) % 4, 0u);
  return static_cast<int64_t>(wav.size() - 44) / 4;
}

// Frames of 16-bit stereo samples after a canonical 44-byte header.
inline std::vector<StereoValue> wav_frames(const std::vector<uint8_t>& wav) {
  std::vector<StereoValue> frames;
  for (size_t i = 44; i + 4 <= wav.size(); i += 4) {
    frames.push_back({static_cast<int16_t>(tarn::load_le16(&wav[i])),
                      static_cast<int16_t>(tarn::load_le16(&wav[i + 2]))});
  }
  return frames;
}

// A full disk for this process and the programs it starts, on any Linux machine and for any
// user (root included), touching no file: lowers the file size limit (RLIMIT_FSIZE) to `bytes`
// with SIGXFSZ ignored, so that a write past the limit fails with EFBIG as one on a full disk
// fails with ENOSPC. Both are inherited through fork and exec. Restores both when it goes.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    active_ = getrlimit(RLIMIT_FSIZE, &saved_) == 0;
    rlimit lowered = saved_;
    lowered.rlim_cur = saved_.rlim_max == RLIM_INFINITY || bytes < saved_.rlim_max
                           ? bytes : saved_.rlim_max;
    active_ = active_ && setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() {
    if (active_) setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool active() const { return active_; }

 private:
  rlimit saved_{};
  void (*previous_handler_)(int) = SIG_DFL;
  bool active_ = false;
};

// /dev/full stands for a full disk only where it is the character device; some machines lack
// it, and opening the name for writing there (as root) would create a plain file.
inline bool have_dev_full() {
  struct stat info;
  return stat("/dev/full", &info) == 0 && S_ISCHR(info.st_mode);
}

}  // namespace tarn_test
