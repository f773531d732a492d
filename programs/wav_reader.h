#pragma once
// Input side of PCM audio I/O: WAV header validation, 16-bit stereo frame reads, and the two
// sliding input buffers that cut overlapping frames for the encoder.
//
// Typical use (encoder loop):
//   read_wav_header(wav) == WAV_OK;               // driver, once
//   fill_input_buffers(wav, left, right);         // first CHANNEL_BUFFER_SAMPLES frames
//   per block: l = fetch_frame(wav, left, right, scratch, 0, 512, 256);   // left first
//              r = fetch_frame(wav, left, right, scratch, 1, 512, 256);   // then right
// The frame of block k holds the channel's input frames 256k - 256 .. 256k + 255, zeros before
// the start and after the end of the data.

#include <cstdint>

#include "programs/wav_file.h"

namespace tarn {

// Results of read_wav_header. The values are printed by the driver's message table.
constexpr int WAV_OK = 0;
constexpr int WAV_ERR_NOT_WAVE = -1;     // form type is not "WAVE", or the header/chunk walk
                                         // cannot be read whole (file too short, no data chunk)
constexpr int WAV_ERR_NOT_PCM = -2;      // format tag is not 1
constexpr int WAV_ERR_UNSUPPORTED = -3;  // PCM but not 2 channels, 44100 Hz, 16 bits;
                                         // sample_rate, bits_per_sample, channel_count are set

// Validates the header of wav.file and leaves the file at the first byte of the data chunk's
// body. On WAV_OK sets sample_rate, bits_per_sample, channel_count, sample_count and
// samples_done = 0. Only bytes 8..11 ("WAVE"), the format fields at 20..35 and the chunk ids are
// judged: the RIFF id and the first chunk's id are not looked at. The chunks after the format
// chunk are walked by their stored sizes up to the first "data" chunk; when that walk finds none,
// a second one passes a 0x00 byte after every body of odd size (the RIFF pad byte; the format
// chunk's included), so files read today without pad bytes read the same. The data chunk's size
// gives sample_count = size / channels / (bits / 8), remainder dropped; in a regular file the
// size counts no more than the bytes after the data chunk's header (a streaming writer's
// 0xFFFFFFFF, a cut file), in a pipe or other stream it is taken as stored.
// WAV_ERR_NOT_WAVE also covers a file shorter than 36 bytes and one that ends before a whole
// "data" chunk header; then, as on WAV_ERR_NOT_PCM, the WavFile is left untouched. On
// WAV_ERR_UNSUPPORTED, sample_count and samples_done are left as they were.
int read_wav_header(WavFile& wav);

// Reads up to count 4-byte frames (left then right sample, signed 16-bit little-endian) into
// bytes (4 * count bytes) with one read: as many whole frames as count, the frames left before
// sample_count and the file allow. Returns the frames read, which samples_done also counts;
// fewer than asked means a short read or sample_count reached (0 then, and nothing is read).
// A trailing part of a frame is consumed but not counted.
int read_stereo_frames(WavFile& wav, uint8_t* bytes, int count);

// Allocates both samples arrays (left first), sets both positions to 0 and fills them with the
// first CHANNEL_BUFFER_SAMPLES frames (zeros past the end of the data).
// Returns PCM_OK or PCM_ERR_NO_MEMORY; on failure both samples arrays are empty (null) and
// nothing has been read.
int fill_input_buffers(WavFile& wav, ChannelBuffer& left, ChannelBuffer& right);

// Returns where the next frame_length samples of one channel (0 left, 1 right) lie: in the
// channel's buffer (valid until the next fetch of either channel), or in scratch (frame_length
// doubles) for the first frame of the channel, which starts with overlap zeros. The channel
// advances by frame_length - overlap. Requires fill_input_buffers to have succeeded,
// 0 <= overlap <= 1024, 2 * overlap <= frame_length (a frame reaches back no further than the
// previous one began), 0 < frame_length - overlap < CHANNEL_BUFFER_SAMPLES - 1024 (after a
// refill the right channel's frame must fit without a second refill), the same lengths on every
// call, and the left channel fetched before the right one in every block.
// When the channel's frame would reach the end of its buffer, both buffers slide at once: the
// left buffer's position d is kept at index 1024 with the 1024 samples before it, and new frames
// are read behind (with 512/256: 1280 samples kept, up to 31488 frames read, triggered by the
// left fetch at position 32512).
const double* fetch_frame(WavFile& wav, ChannelBuffer& left, ChannelBuffer& right, double* scratch,
                          int channel, int frame_length, int overlap);

}  // namespace tarn
