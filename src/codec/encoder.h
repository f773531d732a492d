#pragma once
// The push encoder: an EncoderState takes interleaved 16-bit stereo frames in pieces of any size
// and writes the stream as it goes: the 12-byte header at the start, then the blocks' records.
// Pushed frames wait in a queue of CHANNEL_BUFFER_SAMPLES frames that the input ChannelBuffers
// read from (fill_input_buffers, fetch_frame) as a file; a block is coded when the queue
// is full, so that any refill of the buffers finds all the frames it may read; once the whole
// input is in, every block it completes; at encoder_finish, every block still to come. Per block and channel: windowed MDCT, Hann-windowed spectrum,
// masking threshold, and the channel's record (code_block).
//
// Block k codes the frame of input frames 256k - 256 .. 256k + 255 of each channel: zeros
// before the first frame, and zeros for every frame after the last one pushed. An input of n
// frames gives block_count(n) blocks, so the last frame reaches past the last input sample.
// Memory does not grow with the input.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "format/channel_frame.h"
#include "coding/channel_record.h"
#include "format/stream_format.h"
#include "programs/wav_file.h"
#include "psycho/masking.h"
#include "psycho/psycho_tables.h"
#include "tarn/tarn.h"
#include "transform/mdct.h"
#include "transform/power_levels.h"

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
  int status = TARN_OK;        // the first error; the state is unusable once it is set
  bool finished = false;
  uint64_t payload_bytes[NUM_CHANNELS] = {0, 0};  // records written, without length words

  // The input: pushed frames queued as 4-byte frames (left, right, 16-bit little-endian) from
  // queue_begin to queue_end, read by the input buffers through input's source.
  WavFile input;
  ChannelBuffer in[NUM_CHANNELS];
  bool buffers_filled = false;
  std::unique_ptr<uint8_t[]> queue;  // 4 CHANNEL_BUFFER_SAMPLES bytes
  size_t queue_begin = 0;            // frames
  size_t queue_end = 0;
  std::array<double, FRAME_SIZE> first_frame;      // a channel's first frame (leading zeros)
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
// Takes frame_count interleaved frames and writes the blocks they let it code (see above).
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
