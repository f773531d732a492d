#pragma once
// Reading WAV files: header validation and 16-bit stereo frame reads, which the programs push
// into the encoder.
//
// Typical use:
//   read_wav_header(wav) == WAV_OK;                     // once
//   while ((n = read_stereo_frames(wav, bytes, 4096)) > 0) push n frames;

#include <cstddef>
#include <cstdint>

#include "programs/wav_file.h"

namespace tarn {

// Results of read_wav_header. The values are printed by the driver's message table.
constexpr int WAV_OK = 0;
constexpr int WAV_ERR_NOT_WAVE = -1;     // form type is not "WAVE", or the header/chunk walk
                                         // cannot be read whole (file too short, no data chunk)
constexpr int WAV_ERR_NOT_PCM = -2;      // not integer PCM: a format tag other than 1, or an
                                         // extensible format not PCM with 16 valid bits
constexpr int WAV_ERR_UNSUPPORTED = -3;  // PCM but not 2 channels, 44100 Hz, 16 bits;
                                         // sample_rate, bits_per_sample, channel_count are set
constexpr int WAV_ERR_STOPPED = -4;      // the chunk walk was stopped by its caller

// Validates the header of wav.file and leaves the file at the first byte of the data chunk's
// body. On WAV_OK sets sample_rate, bits_per_sample, channel_count, sample_count and
// samples_done = 0. Only bytes 8..11 ("WAVE"), the format fields at 20..35 and the chunk ids are
// judged: the RIFF id and the first chunk's id are not looked at. Format tag 1 is PCM, and so is
// the extensible tag 0xFFFE (a body of at least 40 bytes) whose sub-format is PCM with 16 valid
// bits. The chunks after the format chunk are walked by their stored sizes up to the first
// "data" chunk; when that walk finds none after passing a body of odd size, a second one passes
// a 0x00 byte after every body of odd size (the RIFF pad byte; the format chunk's included), so
// files read today without pad bytes read the same. When the first chunk is not "fmt " and this
// reading refuses the file, the format chunk is looked for among the chunks before "data" (a
// "JUNK", "bext" or "LIST" chunk first) and the file is judged by it.
// The data chunk's size gives sample_count = size / channels / (bits / 8), remainder dropped; in
// a regular file the size counts no more than the bytes after the data chunk's header (a
// streaming writer's 0xFFFFFFFF, a cut file), and a size of 0 counts all of them (a writer that
// never came back to fill it in); in a pipe or other stream it is taken as stored.
// WAV_ERR_NOT_WAVE also covers a file shorter than 36 bytes and one that ends before a whole
// "data" chunk header; then, as on WAV_ERR_NOT_PCM, the WavFile is left untouched. On
// WAV_ERR_UNSUPPORTED, sample_count and samples_done are left as they were. The walks read
// through the stream buffer and end at the end of the file; `stop`, when given, is asked before
// every chunk and a true answer ends the reading with WAV_ERR_STOPPED (an interruption).
int read_wav_header(WavFile& wav, bool (*stop)() = nullptr);

// Judges the first `length` bytes of a WAV as they arrive (standard input being copied): returns
// WAV_ERR_NOT_WAVE as soon as those of bytes 8..11 that are there differ from "WAVE" (a file that
// ends before byte 36 is "not a WAV file" whatever it holds), and, when the first chunk is
// "fmt ", the judgement of its format fields once they are there (WAV_ERR_NOT_PCM, or
// WAV_ERR_UNSUPPORTED with sample_rate, bits_per_sample and channel_count set), exactly as
// read_wav_header would judge the whole file. WAV_OK when nothing is refused yet.
int check_wav_start(const uint8_t* bytes, size_t length, WavFile& wav);

// Reads up to count 4-byte frames (left then right sample, signed 16-bit little-endian) into
// bytes (4 * count bytes) with one read: as many whole frames as count, the frames left before
// sample_count and the file allow. Returns the frames read, which samples_done also counts;
// fewer than asked means a short read or sample_count reached (0 then, and nothing is read).
// A trailing part of a frame is consumed but not counted.
int read_stereo_frames(WavFile& wav, uint8_t* bytes, int count);

}  // namespace tarn
