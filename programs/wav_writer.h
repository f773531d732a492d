#pragma once
// Writing WAV files: the canonical 44-byte header, written before the frames, and the rewrite of
// its size fields when fewer frames than announced arrived (a damaged or cut stream, an
// interruption, a full disk). The frames themselves are the decoder's 16-bit output, written by
// the programs as they come.

#include <cstdint>

#include "programs/wav_file.h"

namespace tarn {

// The most frames a WAV of wav's format can describe: the RIFF size, 36 + frames * bytes per
// frame, must fit in 32 bits. 1073741814 for 16-bit stereo (0xFFFFFFFF - 36 = 4294967259 bytes).
uint32_t max_wav_frames(const WavFile& wav);

// The 44-byte header for wav's format and sample_count (at most max_wav_frames of them), as
// write_wav_header writes it (for an output that cannot seek, such as a pipe).
constexpr int WAV_HEADER_BYTES = 44;
void pack_wav_header(const WavFile& wav, uint8_t header[WAV_HEADER_BYTES]);

// Lowers sample_count to max_wav_frames when it is above (so that no size field wraps and no
// frame is written past what the header can state), seeks to offset 0, writes the 44-byte
// header for wav's format and sample_count, and sets samples_done to 0. Returns 0, or -1 when
// the header could not be written whole.
int write_wav_header(WavFile& wav);

// Makes the header state the frames the file holds: flushes the stream; for a regular file
// lowers samples_done to the whole frames present after the header and cuts off anything
// behind them (a frame written in part, or frames counted that never arrived after a failed
// write); then rewrites the RIFF size and data size fields for samples_done and seeks back to
// the end of the file. Used whenever fewer frames than sample_count were written (a damaged
// stream, an interruption, a full disk). Overwriting the fields and cutting the file need no
// new space. Returns 0, or -1 on a seek or write failure, and for a regular file shorter than
// the header, which is then emptied (samples_done 0).
int rewrite_wav_sizes(WavFile& wav);

}  // namespace tarn
