// Fuzz target: the WAV reader over arbitrary files. The input goes to a real temporary file, so
// seeks past the end and short reads behave as they do on disk. An accepted header is followed
// by the encoder's reading pattern: the initial fill, then left and right frame fetches for up
// to MAX_BLOCKS blocks (past two buffer refills), then the frames left in the data chunk.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "programs/wav_reader.h"

namespace {
constexpr uint32_t MAX_BLOCKS = 300;
std::FILE* file = std::tmpfile();
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (file == nullptr || ftruncate(fileno(file), 0) != 0) std::abort();
  std::rewind(file);
  if (size != 0 && std::fwrite(data, size, 1, file) != 1) std::abort();
  std::fflush(file);
  tarn::WavFile wav;
  wav.file = file;
  if (tarn::read_wav_header(wav) != tarn::WAV_OK) return 0;
  tarn::ChannelBuffer left, right;
  if (tarn::fill_input_buffers(wav, left, right) != tarn::PCM_OK) std::abort();
  const uint32_t blocks = std::min(wav.sample_count / 256 + 2, MAX_BLOCKS);
  double scratch[512];
  for (uint32_t k = 0; k < blocks * 2; ++k) {
    const double* frame =
        tarn::fetch_frame(wav, left, right, scratch, static_cast<int>(k % 2), 512, 256);
    for (int j = 0; j < 512; ++j) {
      if (!(frame[j] >= -1.0 && frame[j] < 1.0)) std::abort();  // v / 32768 for a 16-bit v, or 0
    }
  }
  uint8_t bytes[4 * 64];
  for (int n = 0; n < 1000 && tarn::read_stereo_frames(wav, bytes, 1 + n % 64) > 0; ++n) {
  }
  if (wav.samples_done > wav.sample_count) std::abort();
  return 0;
}
