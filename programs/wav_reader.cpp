// Reading WAV files: header validation and frame reads.

#include "programs/wav_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "format/byte_order.h"

namespace tarn {
namespace {

// Input WAV layout as read; every multi-byte field little-endian. The header is taken in three
// reads of 8, 12 and 16 bytes; the first chunk is taken to be the format chunk without looking
// at its id.
//   off size  field                 use
//    0  4+4   RIFF id, RIFF size    read, not tested
//    8   4    form type             must be "WAVE"
//   12  4+4   first id, size S      S: unsigned, the format chunk's body size
//   20   2    format_tag            must be 1 = integer PCM
//   22   2    channels              signed, must be 2
//   24   4    sample_rate_hz        must be 44100
//   28   4    byte_rate             not used
//   32   2    block_align           not used
//   34   2    bits_per_sample       signed, must be 16
//   36  S-16  rest of the format chunk, skipped
//  20+S       chunks of (4-byte id, unsigned 32-bit body size, body) walked up to "data"; after
//             a body of odd size (the format chunk's included) a strict writer adds a 0x00 pad
constexpr int RIFF_HEADER_BYTES = 8;
constexpr int FORM_BYTES = 12;  // form type, first chunk id, format chunk size
constexpr int FORMAT_FIELD_BYTES = 16;
constexpr int CHUNK_HEADER_BYTES = 8;
// The first byte after the format fields: 36.
constexpr long FORMAT_END_OFFSET = RIFF_HEADER_BYTES + FORM_BYTES + FORMAT_FIELD_BYTES;
constexpr uint32_t FORMAT_TAG_PCM = 1;
constexpr int32_t REQUIRED_CHANNELS = 2;
constexpr int32_t REQUIRED_RATE_HZ = 44100;
constexpr int32_t REQUIRED_BITS = 16;

// Reads one item of n bytes; true only when it arrived whole.
bool read_exact(std::FILE* file, uint8_t* bytes, size_t n) {
  return std::fread(bytes, n, 1, file) == 1;
}

// Walks the chunks that follow the format fields up to the first "data" chunk, starting with
// the fmt_rest bytes left of the format chunk (S - 16, unsigned: a format size below 16 wraps to
// a seek far past the end, which the next read then reports). Every later skip passes the body
// of a chunk that was not "data". With pad_bytes, a 0x00 byte after a body of odd size is the
// RIFF pad byte and is passed too; any other byte starts the next chunk header. Each round either
// reads 8 more bytes or stops, so the walk ends at the end of the file. Returns true with the
// data chunk's stored size and the file at its body; false when a chunk header cannot be read
// whole, which means there is no data chunk.
bool find_data_chunk(std::FILE* file, uint32_t fmt_rest, bool pad_bytes, uint32_t& data_bytes) {
  uint32_t skip = fmt_rest;
  uint8_t chunk[CHUNK_HEADER_BYTES];
  for (;;) {
    if (std::fseek(file, static_cast<long>(skip), SEEK_CUR) != 0) return false;
    if (pad_bytes && skip % 2 != 0) {
      const int pad = std::fgetc(file);
      if (pad != 0 && (pad == EOF || std::ungetc(pad, file) == EOF)) return false;
    }
    if (!read_exact(file, chunk, sizeof chunk)) return false;
    skip = load_le32(chunk + 4);
    if (std::memcmp(chunk, "data", 4) == 0) break;
  }
  data_bytes = skip;
  return true;
}

// The data size limited to the bytes a regular file holds after the data chunk's header, the
// file standing at that point. Streaming writers cannot go back to fill in the size and leave
// 0xFFFFFFFF there, and a cut file keeps the size of the whole; taken as stated, either would be
// read as up to hours of silence. A size that fits is returned unchanged, so an honest header
// reads as stated. Pipes and other streams have no size to compare with and keep theirs.
uint32_t clamp_to_file(std::FILE* file, uint32_t data_bytes) {
  struct stat info;
  const long body_offset = std::ftell(file);
  if (body_offset < 0 || fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
    return data_bytes;
  }
  const uint64_t present =
      info.st_size > body_offset ? static_cast<uint64_t>(info.st_size - body_offset) : 0;
  return present < data_bytes ? static_cast<uint32_t>(present) : data_bytes;
}

}  // namespace

int read_wav_header(WavFile& wav) {
  std::FILE* file = wav.file;
  uint8_t riff[RIFF_HEADER_BYTES];
  uint8_t form[FORM_BYTES];
  uint8_t fmt[FORMAT_FIELD_BYTES];
  // A header that cannot be read whole is not judged at all: a file shorter than 36 bytes is
  // "not a WAV file" whatever its first bytes hold.
  if (std::fseek(file, 0, SEEK_SET) != 0 || !read_exact(file, riff, sizeof riff) ||
      !read_exact(file, form, sizeof form) || !read_exact(file, fmt, sizeof fmt)) {
    return WAV_ERR_NOT_WAVE;
  }
  if (std::memcmp(form, "WAVE", 4) != 0) return WAV_ERR_NOT_WAVE;
  if (load_le16(fmt) != FORMAT_TAG_PCM) return WAV_ERR_NOT_PCM;

  const int32_t sample_rate = static_cast<int32_t>(load_le32(fmt + 4));
  const int32_t bits_per_sample = static_cast<int16_t>(load_le16(fmt + 14));
  const int32_t channel_count = static_cast<int16_t>(load_le16(fmt + 2));
  if (channel_count != REQUIRED_CHANNELS || sample_rate != REQUIRED_RATE_HZ ||
      bits_per_sample != REQUIRED_BITS) {
    // The driver prints the file's values; sample_count and samples_done stay as they were.
    wav.sample_rate = sample_rate;
    wav.bits_per_sample = bits_per_sample;
    wav.channel_count = channel_count;
    return WAV_ERR_UNSUPPORTED;
  }

  // Chunk walk, by stored sizes first; only when that finds no data chunk, again with pad bytes.
  // The second walk reads the files a strict RIFF writer makes (a 0x00 after every odd body) and
  // the first keeps every file that the plain walk reads exactly as it is: a pad-aware walk alone
  // would misread an unpadded odd body followed by a chunk whose id starts with a 0x00 byte.
  const uint32_t fmt_rest = load_le32(form + 8) - 16u;
  uint32_t data_bytes = 0;
  if (!find_data_chunk(file, fmt_rest, false, data_bytes) &&
      (std::fseek(file, FORMAT_END_OFFSET, SEEK_SET) != 0 ||
       !find_data_chunk(file, fmt_rest, true, data_bytes))) {
    return WAV_ERR_NOT_WAVE;
  }
  data_bytes = clamp_to_file(file, data_bytes);

  // A file without a readable data chunk leaves the WavFile untouched, as every -1 does.
  wav.sample_rate = sample_rate;
  wav.bits_per_sample = bits_per_sample;
  wav.channel_count = channel_count;
  wav.samples_done = 0;
  // Unsigned divisions that drop the remainder; for the accepted format: data bytes / 4.
  const uint32_t bytes_per_sample = static_cast<uint32_t>(bits_per_sample / 8);
  wav.sample_count = data_bytes / static_cast<uint32_t>(channel_count) / bytes_per_sample;
  return WAV_OK;
}

int read_stereo_frames(WavFile& wav, uint8_t* bytes, int count) {
  if (count <= 0 || wav.samples_done >= wav.sample_count) return 0;
  const uint32_t left_in_data = wav.sample_count - wav.samples_done;
  const size_t want = std::min(static_cast<uint32_t>(count), left_in_data);
  // fread counts whole items: a trailing partial frame is consumed but not counted.
  const size_t got = std::fread(bytes, 4, want, wav.file);
  wav.samples_done += static_cast<uint32_t>(got);
  return static_cast<int>(got);
}

}  // namespace tarn
