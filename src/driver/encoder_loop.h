#pragma once
// The push encoder: an EncoderState takes interleaved 16-bit stereo frames in pieces of any size
// and writes the stream as it goes: the 12-byte header at the start, then each block's two
// records as soon as the block's last input frame has arrived. Per block and channel:
// windowed MDCT, Hann-windowed spectrum, masking threshold, bit allocation and packing,
// arithmetic coding (code_block, the one place that calls into the codec core).
//
// Block k codes the frame of input frames 256k - 256 .. 256k + 255 of each channel: zeros
// before the first frame, and zeros for every frame after the last one pushed. An input of n
// frames gives block_count(n) blocks, so the last frame reaches past the last input sample.
// The state holds one frame per channel: memory does not grow with the input.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "coding/channel_frame.h"
#include "coding/channel_record.h"
#include "driver/stream_format.h"
#include "pcm/wav_file.h"
#include "psycho/masking.h"
#include "psycho/psycho_tables.h"
#include "transform/mdct.h"
#include "transform/power_levels.h"
#include "tarn/tarn.h"

namespace tarn {

constexpr int NUM_CHANNELS = 2;  // c: 0 left, 1 right

// Blocks for an input of sample_count frames: ceil(sample_count / 256) + 1, so that the last
// frame reaches past the last input sample.
int block_count(uint32_t sample_count);

struct EncoderState {
  tarn_write_fn write = nullptr;
  void* user = nullptr;
  uint32_t sample_count = 0;   // frames per channel the stream header announces
  int blocks = 0;              // block_count(sample_count)
  int blocks_done = 0;         // blocks written
  uint32_t frames_taken = 0;   // frames pushed so far
  int hop_filled = 0;          // new frames in the second half of frame[], 0 .. HOP_SIZE
  int status = TARN_OK;        // the first error; the state is unusable once it is set
  bool finished = false;
  uint64_t payload_bytes[NUM_CHANNELS] = {0, 0};  // records written, without length words

  // Per channel: the previous hop's samples, then the hop being filled (v / 32768).
  std::array<double, FRAME_SIZE> frame[NUM_CHANNELS];
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

// Sets up a fresh state and writes the stream header. Returns TARN_OK or an error code
// (TARN_ERR_ARGUMENT, TARN_ERR_SAMPLE_RATE, TARN_ERR_NO_MEMORY, TARN_ERR_WRITE).
int encoder_start(EncoderState& s, uint32_t sample_count, uint32_t sample_rate,
                  tarn_write_fn write, void* user);
// Takes frame_count interleaved frames and writes every block they complete.
int encoder_push(EncoderState& s, const int16_t* frames, size_t frame_count);
// Codes the blocks still to come, with silence for the frames never pushed.
int encoder_finish(EncoderState& s);

// File-level encoding for the programs (cli.cpp), a client of the library interface: pushes the
// frames of input (accepted by read_wav_header, standing at the first sample frame) into an
// encoder writing to stream (open for writing, empty, left open), and prints the four
// statistics lines on success and nothing on failure. Returns ENCODE_OK or one of:
constexpr int ENCODE_OK = 0;
constexpr int ENCODE_ERR_NO_MEMORY = -1;  // work storage, tables or transform scratch
constexpr int ENCODE_ERR_WRITE = -2;      // the stream file did not take every byte
int run_analysis(WavFile& input, std::FILE* stream);

}  // namespace tarn
