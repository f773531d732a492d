#pragma once
// The PCM frame operations in their direct form, the reference of the PCM tests: one 4-byte
// frame per read or write, and a frame fetch that copies the frame out. The block reads and
// writes (read_stereo_frames, write_stereo_frames) and the in-place fetch (fetch_frame) must
// give the same samples, the same counts and the same bytes.

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "format/byte_order.h"
#include "programs/wav_file.h"
#include "programs/wav_reader.h"
#include "programs/wav_writer.h"

namespace tarn::reference {

// Reads the next 4-byte frame (left then right sample, signed 16-bit little-endian) into bytes,
// from wav.source when set, else from wav.file. Returns 0, or -1 when samples_done has reached
// sample_count (nothing is read then) or the read came back short (samples_done unchanged).
inline int read_stereo_frame(WavFile& wav, uint8_t bytes[4]) {
  if (wav.samples_done >= wav.sample_count) return -1;
  const size_t got = wav.source != nullptr ? wav.source(wav.source_user, bytes, 1)
                                           : std::fread(bytes, 4, 1, wav.file);
  if (got != 1) return -1;
  ++wav.samples_done;
  return 0;
}

// Converts both values by to_pcm16 and writes them as one frame, to wav.sink when set, else to
// wav.file. Returns 0 when the frame was written, -1 when samples_done has reached sample_count
// or the write came back short.
inline int write_stereo_frame(WavFile& wav, double left, double right) {
  if (wav.samples_done >= wav.sample_count) return -1;
  uint8_t bytes[4];
  store_le16(bytes, static_cast<uint16_t>(to_pcm16(left)));
  store_le16(bytes + 2, static_cast<uint16_t>(to_pcm16(right)));
  const size_t put =
      wav.sink != nullptr ? wav.sink(wav.sink_user, bytes, 1) : std::fwrite(bytes, 4, 1, wav.file);
  if (put != 1) return -1;
  ++wav.samples_done;
  return 0;
}

// fetch_frame with the frame copied into frame (frame_length doubles), whichever place it lies.
inline void fetch_frame_copy(WavFile& wav, ChannelBuffer& left, ChannelBuffer& right, double* frame,
                             int channel, int frame_length, int overlap) {
  const double* view = fetch_frame(wav, left, right, frame, channel, frame_length, overlap);
  if (view != frame) std::memcpy(frame, view, sizeof(double) * frame_length);
}

}  // namespace tarn::reference
