#pragma once
// The push encoder: an EncoderState takes interleaved 16-bit stereo frames in pieces of any size
// and writes the stream as it goes: the 12-byte header at create, then each block's two records
// as soon as the block's last frame has been pushed. Per block and channel: windowed MDCT,
// Hann-windowed spectrum, masking threshold, and the channel's record (code_block).
//
// Framing: block k codes the frame of input frames 256k - 256 .. 256k + 255 of each channel,
// zeros standing for the frames before the first one and after the last one. The state keeps
// one frame per channel: its older half (the previous block's new frames, the overlap) and its
// newer half, filled as frames are pushed; a full newer half is a block ready to code. After a
// push, ⌊pushed / 256⌋ blocks have been written (fewer only on an error). An input of n frames
// gives block_count(n) blocks, so the last frame reaches past the last input sample; finish
// codes the ones still to come with zeros for the frames that never came.
//
// A state of known length writes sample_count in its header and codes exactly that many frames
// (finish counts the frames never pushed as silence). A state of unknown length writes
// UNKNOWN_SAMPLE_COUNT, codes every frame pushed, and at finish moves the stream back to its
// start through the seek callback and writes the header again with the frames pushed: the same
// bytes as a state of known length given that count. Memory does not grow with the input.

#include <array>
#include <cstddef>
#include <cstdint>

#include "coding/channel_record.h"
#include "format/channel_frame.h"
#include "format/stream_format.h"
#include "psycho/masking.h"
#include "psycho/psycho_tables.h"
#include "tarn/tarn.h"
#include "transform/mdct.h"
#include "transform/power_levels.h"

namespace tarn {

constexpr int NUM_CHANNELS = 2;  // c: 0 left, 1 right

// The header's sample_count of a stream of unknown length until its writer finishes: a stream
// whose writer died then still decodes up to its last whole block. A stream of unknown length
// takes at most UNKNOWN_SAMPLE_COUNT - 1 frames, so that a finished header never reads as unknown.
constexpr uint32_t UNKNOWN_SAMPLE_COUNT = 0xFFFFFFFFu;

// Blocks for an input of sample_count frames: ceil(sample_count / 256) + 1, so that the last
// frame reaches past the last input sample.
int block_count(uint32_t sample_count);

struct EncoderState {
  tarn_write_fn write = nullptr;
  tarn_seek_fn seek = nullptr;  // set for a stream of unknown length only
  void* user = nullptr;
  bool known_length = true;
  uint32_t sample_count = 0;   // known length: frames the header announces
  int blocks_done = 0;         // blocks written
  uint32_t frames_taken = 0;   // frames pushed so far
  int status = STATUS_OK;        // the first error; the state is unusable once it is set
  bool finished = false;
  uint64_t payload_bytes[NUM_CHANNELS] = {0, 0};  // records written, without length words

  // Each channel's current frame: samples 0 .. 255 the overlap (the previous block's newer half,
  // zeros before the first block), 256 .. 511 the newer half, of which hop_filled are pushed.
  // A 16-bit value v is held as v / 32768, which is exact.
  std::array<double, FRAME_SIZE> frame[NUM_CHANNELS];
  int hop_filled = 0;                              // frames in the newer half, 0 .. HOP_SIZE

  std::array<double, HOP_SIZE> coefficients;       // a channel's MDCT coefficients
  std::array<double, HOP_SIZE> spectrum_re;        // its Hann-windowed FFT, bins 0 .. 255
  std::array<double, HOP_SIZE> spectrum_im;
  std::array<double, HOP_SIZE> threshold;          // masking threshold per bin, dB
  std::array<double, FRAME_SIZE> coding_window;    // MDCT window, from the header's window_type
  std::array<double, FRAME_SIZE> analysis_window;  // Hann window of the spectrum
  MdctScratch mdct;                                // the transforms' working arrays
  SpectrumScratch spectrum;
  PsychoTables psycho;                             // tables of the masking pass and the bands
  MaskingWork masking;                             // its per-call state
  ChannelFrame packed;                             // a channel's packed block
  // A block's two records as they are written, and the bytes they take so far.
  std::array<uint8_t, NUM_CHANNELS * MAX_RECORD_BYTES> records;
  int32_t record_bytes = 0;
};

// Sets up a fresh state of known length and writes the stream header. Returns STATUS_OK or an
// error code (STATUS_ARGUMENT, STATUS_SAMPLE_RATE, STATUS_NO_MEMORY, STATUS_WRITE).
int encoder_start(EncoderState& s, uint32_t sample_count, uint32_t sample_rate,
                  tarn_write_fn write, void* user);
// The same for a stream of unknown length; seek must not be null.
int encoder_start_seekable(EncoderState& s, uint32_t sample_rate, tarn_write_fn write,
                           tarn_seek_fn seek, void* user);
// Takes frame_count interleaved frames and writes every block they complete.
int encoder_push(EncoderState& s, const int16_t* frames, size_t frame_count);
// Codes the blocks still to come, with silence for the frames never pushed; for a stream of
// unknown length, then rewrites the header.
int encoder_finish(EncoderState& s);

}  // namespace tarn
