#pragma once
// The two records shared by the input and output sides of PCM audio I/O.
//
// WavFile: an open 16-bit PCM WAV file and its format. The stream is opened and closed by the
// caller (the driver for the input, the decoder loop for the output), never by this subsystem.
// ChannelBuffer: one channel's sliding window of CHANNEL_BUFFER_SAMPLES doubles; the input side
// keeps one per channel (framing, wav_reader.h), the output side another pair (overlap-add,
// wav_writer.h). Samples are doubles: a 16-bit value v is held as v / 32768.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

namespace tarn {

// Capacity of one channel's sliding buffer, in samples. The encoder refuses inputs shorter than
// this, so the first fill of both input buffers always comes from the file.
constexpr int CHANNEL_BUFFER_SAMPLES = 32768;

// Result of the allocating operations of this subsystem.
constexpr int PCM_OK = 0;
constexpr int PCM_ERR_NO_MEMORY = -10;  // a samples array could not be allocated

struct WavFile {
  std::FILE* file = nullptr;   // not owned
  int32_t sample_rate = 0;     // sample frames per second (Hz)
  int32_t bits_per_sample = 0; // bits of one sample of one channel
  int32_t channel_count = 0;   // interleaved channels per frame
  uint32_t sample_count = 0;   // sample frames in the data chunk; reading and writing stop here
  uint32_t samples_done = 0;   // frames read (input) or written (output) so far
  // Input side: when set, the frame readers take their frames from source instead of file: up
  // to count 4-byte frames into frames. Returns the frames given; fewer end the input there.
  size_t (*source)(void* user, uint8_t* frames, size_t count) = nullptr;
  void* source_user = nullptr;
  // Output side: when set, the frame writers hand their frames to sink instead of file: count
  // 4-byte frames (left then right, signed 16-bit little-endian). Returns the frames it took.
  size_t (*sink)(void* user, const uint8_t* frames, size_t count) = nullptr;
  void* sink_user = nullptr;
};

struct ChannelBuffer {
  std::unique_ptr<double[]> samples;  // CHANNEL_BUFFER_SAMPLES doubles once allocated
  int32_t position = 0;  // input: one past the newest sample handed out, 0 before the first frame;
                         // output: one past the last index a frame has touched
  int32_t ready = 0;     // output only: finished samples waiting at the start of samples
};

// Allocates both samples arrays, left first. On failure both are left null: PCM_ERR_NO_MEMORY.
inline int allocate_channel_pair(ChannelBuffer& left, ChannelBuffer& right) {
  left.samples.reset(new (std::nothrow) double[CHANNEL_BUFFER_SAMPLES]);
  if (!left.samples) return PCM_ERR_NO_MEMORY;
  right.samples.reset(new (std::nothrow) double[CHANNEL_BUFFER_SAMPLES]);
  if (!right.samples) {
    left.samples.reset();
    return PCM_ERR_NO_MEMORY;
  }
  return PCM_OK;
}

}  // namespace tarn
