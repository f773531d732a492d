#pragma once
// The encoder loop: turns a validated input WAV into a complete stream file, block by block,
// and prints the encoding statistics. Per block and channel: frame fetch, windowed MDCT,
// Hann-windowed spectrum, masking threshold, bit allocation and packing, arithmetic coding;
// the block's left and right records are appended once both channels are coded.

#include <cstdio>

#include "pcm/wav_file.h"

namespace tarn {

constexpr int ENCODE_OK = 0;
constexpr int ENCODE_ERR_NO_MEMORY = -1;  // work storage, buffers, tables or transform scratch
constexpr int ENCODE_ERR_WRITE = -2;      // the stream file did not take every byte
constexpr int ENCODE_ERR_INTERRUPTED = -3;  // a signal stopped the run between two blocks; the
                                            // stream holds the blocks before it

// input: accepted by read_wav_header, at least CHANNEL_BUFFER_SAMPLES frames, standing at the
// first sample frame. stream: open for writing and empty; left open on return. Prints the four
// statistics lines on success and nothing on failure (the caller reports the failure).
int run_analysis(WavFile& input, std::FILE* stream);

// Blocks for an input of sample_count frames: ceil(sample_count / 256) + 1, so that the last
// frame reaches past the last input sample.
int block_count(uint32_t sample_count);

}  // namespace tarn
