// Fuzz target: the whole decoder over arbitrary stream files, through tarn-decode's own entry
// point. The input is written to a per-process temporary folder; the decoder's console text goes
// to /dev/null. A run must end in 0 or -1, and an output WAV header never claims more (or other)
// data than the file holds.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "programs/cli.h"
#include "format/byte_order.h"

namespace {
std::string stream_path, wav_path;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/tarn-decoder-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr || dup2(open("/dev/null", O_WRONLY), 1) < 0) std::abort();
  stream_path = std::string(dir) + "/in.tarn";
  wav_path = std::string(dir) + "/out.wav";
  std::atexit(
      [] { std::filesystem::remove_all(std::filesystem::path(stream_path).parent_path()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* in = std::fopen(stream_path.c_str(), "wb");
  if (in == nullptr || (size != 0 && std::fwrite(data, size, 1, in) != 1)) std::abort();
  std::fclose(in);
  std::remove(wav_path.c_str());
  char* argv[] = {const_cast<char*>("tarn-decode"), stream_path.data(), wav_path.data(), nullptr};
  const int status = tarn::tarn_decode_main(3, argv);
  std::error_code error;
  const uintmax_t wav_size = std::filesystem::file_size(wav_path, error);
  if ((status != 0 && status != -1) || (status == 0 && error)) std::abort();
  if (error) return 0;  // refused before the output was created
  uint8_t header[44];
  std::FILE* out = std::fopen(wav_path.c_str(), "rb");
  if (out == nullptr || std::fread(header, sizeof header, 1, out) != 1) std::abort();
  std::fclose(out);
  if (tarn::load_le32(header + 40) != wav_size - 44 ||
      tarn::load_le32(header + 4) != wav_size - 8) {
    std::abort();
  }
  return 0;
}
