#pragma once
// Output side of PCM audio I/O: the canonical 44-byte WAV header, the 16-bit sample writer and
// the two overlap-add buffers that turn inverse-MDCT frames into finished stereo frames.
//
// Typical use (decoder loop):
//   create_output_buffers(left, right);
//   write_wav_header(wav);                         // before any sample
//   per block: overlap_add_frame(wav, left, right, time_left, 0, 2 * H, H);
//              overlap_add_frame(wav, left, right, time_right, 1, 2 * H, H);
//   flush_output(wav, left, right);
// Write failures (a full disk) surface through ferror() on wav.file and the caller's fclose();
// the frame writers themselves ignore individual results, as the overlap-add must go on. On an
// unbuffered stream samples_done counts exactly the frames the file took (fwrite counts whole
// items); rewrite_wav_sizes then makes the header say so.

#include <cstdint>

#include "programs/wav_file.h"

namespace tarn {

// One sample value to 16 bits, as every writer below converts it: limited to [-1, 1] by dividing
// by max(|x|, 1), scaled by 32767, truncated toward zero; a NaN gives 0.
int16_t to_pcm16(double x);

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

// Writes frames left[i], right[i] for i < count, each value converted by to_pcm16 and stored
// as a signed 16-bit little-endian sample (left then right), in blocks of whole frames: no more
// than the frames left before sample_count. Returns the frames written, which samples_done also
// counts. A failed write (a full disk) stops the call.
int write_stereo_frames(WavFile& wav, const double* left, const double* right, int count);

// Allocates both samples arrays (left first) and sets position and ready to 0.
// Returns PCM_OK or PCM_ERR_NO_MEMORY.
int create_output_buffers(ChannelBuffer& left, ChannelBuffer& right);

// Adds one windowed inverse-MDCT frame of frame_length = 2 * hop samples into the channel's
// buffer (0 left, 1 right), first writing out and sliding both buffers when the frame would not
// leave room for the next one. Requires create_output_buffers to have succeeded,
// 1 <= hop <= CHANNEL_BUFFER_SAMPLES / 2, the same hop on every call, and the left channel added
// before the right one in every block. The first frame of a channel writes nothing and drops its
// first half. A wrap writes min(left ready, right ready) pairs (32256 with hop 256), comes one
// block before the buffer would overflow, and slides both buffers back to position hop. A frame
// that still would not fit after the wrap (only possible when the calling order is broken) is
// dropped.
void overlap_add_frame(WavFile& wav, ChannelBuffer& left, ChannelBuffer& right, const double* frame,
                       int channel, int frame_length, int hop);

// Writes the left buffer's ready frames (never more than sample_count in all). When the two
// ready counts differ it first prints "Aguas!!! <left ready> <right ready> " on standard output.
// The partial sums of the last frame's second half are never written.
void flush_output(WavFile& wav, ChannelBuffer& left, ChannelBuffer& right);

}  // namespace tarn
