#pragma once
// WavFile: an open 16-bit PCM WAV file and its format, shared by the reading side
// (wav_reader.h) and the writing side (wav_writer.h). The file is opened and closed by the
// caller, never by the reader or the writer.

#include <cstdint>
#include <cstdio>

namespace tarn {

struct WavFile {
  std::FILE* file = nullptr;   // not owned
  int32_t sample_rate = 0;     // sample frames per second (Hz)
  int32_t bits_per_sample = 0; // bits of one sample of one channel
  int32_t channel_count = 0;   // interleaved channels per frame
  uint32_t sample_count = 0;   // sample frames in the data chunk; reading and writing stop here
  uint32_t samples_done = 0;   // frames read (input) or written (output) so far
};

}  // namespace tarn
