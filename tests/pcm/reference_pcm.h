#pragma once
// The frame read in its direct form, the reference of the PCM tests: one 4-byte frame per read.
// The block read (read_stereo_frames) must give the same samples, the same counts and the same
// file positions.

#include <cstdint>
#include <cstdio>

#include "programs/wav_file.h"

namespace tarn::reference {

// Reads the next 4-byte frame (left then right sample, signed 16-bit little-endian) into bytes.
// Returns 0, or -1 when samples_done has reached sample_count (nothing is read then) or the read
// came back short (samples_done unchanged).
inline int read_stereo_frame(WavFile& wav, uint8_t bytes[4]) {
  if (wav.samples_done >= wav.sample_count) return -1;
  if (std::fread(bytes, 4, 1, wav.file) != 1) return -1;
  ++wav.samples_done;
  return 0;
}

}  // namespace tarn::reference
