// Fuzz target: the WAV reader over arbitrary files. The input goes to a real temporary file, so
// seeks past the end and short reads behave as they do on disk. An accepted header is followed
// by the programs' reading pattern: block reads of varying sizes up to MAX_FRAMES frames.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "programs/wav_reader.h"

namespace {
constexpr int MAX_READS = 1000;
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
  uint8_t bytes[4 * 4096];
  uint32_t frames = 0;
  for (int n = 0; n < MAX_READS; ++n) {
    const int want = n % 3 == 0 ? 4096 : 1 + n % 64;
    const int got = tarn::read_stereo_frames(wav, bytes, want);
    if (got < 0 || got > want) std::abort();
    frames += static_cast<uint32_t>(got);
    if (got == 0) break;
  }
  if (frames != wav.samples_done) std::abort();
  if (wav.samples_done > wav.sample_count) std::abort();
  return 0;
}
