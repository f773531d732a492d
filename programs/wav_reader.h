#pragma once
// Reading WAV files: header validation and 16-bit stereo frame reads, which the programs push
// into the encoder.
//
// Typical use:
//   read_wav_header(wav) == WAV_OK;                     // once
//   while ((n = read_stereo_frames(wav, bytes, 4096)) > 0) push n frames;

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

}  // namespace tarn
