// Reading WAV files: header validation and frame reads.

#include "programs/wav_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Results of the chunk walk.
constexpr int WALK_FOUND = 1;
constexpr int WALK_NO_DATA = 0;
constexpr int WALK_STOPPED = -1;

// Skips up to this many bytes by reading them through the stream buffer; a longer skip seeks.
// A seek drops the buffer, so a walk over many small chunks (a file of zeros is a run of empty
// chunks) would otherwise cost one system call and one buffer refill per 8-byte chunk header.
constexpr uint32_t SKIP_BY_READING = 1 << 16;

// Moves n bytes on. False when the file ends first (a read) or the seek fails; a seek past the
// end succeeds, and the next read then reports the end.
bool skip_forward(std::FILE* file, uint32_t n) {
  if (n > SKIP_BY_READING) return std::fseek(file, static_cast<long>(n), SEEK_CUR) == 0;
  uint8_t scratch[4096];
  while (n > 0) {
    const size_t part = std::min<size_t>(n, sizeof scratch);
    if (std::fread(scratch, 1, part, file) != part) return false;
    n -= static_cast<uint32_t>(part);
  }
  return true;
}

// Walks the chunks that follow the format fields up to the first "data" chunk, starting with
// the fmt_rest bytes left of the format chunk (S - 16, unsigned: a format size below 16 wraps to
// a seek far past the end, which the next read then reports). Every later skip passes the body
// of a chunk that was not "data". With pad_bytes, a 0x00 byte after a body of odd size is the
// RIFF pad byte and is passed too; any other byte starts the next chunk header. Each round either
// reads 8 more bytes or stops, so the walk ends at the end of the file; `stop` (when given) is
// asked every round and ends the walk early. Returns WALK_FOUND with the data chunk's stored
// size and the file at its body; WALK_NO_DATA when a chunk header cannot be read whole, which
// means there is no data chunk; WALK_STOPPED. saw_odd tells whether any skip was of odd size.
// After an empty chunk whose id is four 0x00 bytes: passes every further whole 8-byte group of
// 0x00 bytes in large reads (each is another such chunk, with nothing to skip), leaving the file
// at the first group that is not all zero, or at the last partial group before the end. A file
// of zeros then costs one read per 64 KiB instead of one per chunk. Returns WALK_FOUND to go on
// with the walk, WALK_STOPPED, or WALK_NO_DATA when the file cannot be set back.
int pass_zero_chunks(std::FILE* file, bool (*stop)()) {
  uint8_t block[1 << 16];
  for (;;) {
    if (stop != nullptr && stop()) return WALK_STOPPED;
    // A hole in a sparse file reads as zeros: its whole groups are passed without reading them.
    const long at = std::ftell(file);
    struct stat info;
    if (at >= 0 && fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) {
      off_t data = lseek(fileno(file), at, SEEK_DATA);
      if (data < 0 && errno == ENXIO) data = info.st_size;  // a hole up to the end
      if (data > at && std::fseek(file, at + (data - at) / CHUNK_HEADER_BYTES * CHUNK_HEADER_BYTES,
                                  SEEK_SET) != 0) {
        return WALK_NO_DATA;
      }
    }
    const size_t got = std::fread(block, 1, sizeof block, file);
    size_t zero = 0;  // bytes in whole zero groups at the start
    while (zero + CHUNK_HEADER_BYTES <= got) {
      uint64_t group;
      std::memcpy(&group, block + zero, sizeof group);
      if (group != 0) break;
      zero += CHUNK_HEADER_BYTES;
    }
    if (zero < got) {
      // Back to the first group that is not zero (or the partial group at the end).
      return std::fseek(file, -static_cast<long>(got - zero), SEEK_CUR) == 0 ? WALK_FOUND
                                                                             : WALK_NO_DATA;
    }
    if (got < sizeof block) return WALK_FOUND;
  }
}

int find_data_chunk(std::FILE* file, uint32_t fmt_rest, bool pad_bytes, bool (*stop)(),
                    uint32_t& data_bytes, bool& saw_odd) {
  uint32_t skip = fmt_rest;
  uint8_t chunk[CHUNK_HEADER_BYTES];
  for (;;) {
    if (stop != nullptr && stop()) return WALK_STOPPED;
    if (!skip_forward(file, skip)) return WALK_NO_DATA;
    if (skip % 2 != 0) saw_odd = true;
    if (pad_bytes && skip % 2 != 0) {
      const int pad = std::fgetc(file);
      if (pad != 0 && (pad == EOF || std::ungetc(pad, file) == EOF)) return WALK_NO_DATA;
    }
    if (!read_exact(file, chunk, sizeof chunk)) return WALK_NO_DATA;
    skip = load_le32(chunk + 4);
    if (std::memcmp(chunk, "data", 4) == 0) break;
    if (skip == 0 && load_le32(chunk) == 0) {
      const int passed = pass_zero_chunks(file, stop);
      if (passed != WALK_FOUND) return passed;
    }
  }
  data_bytes = skip;
  return WALK_FOUND;
}

// The data size limited to the bytes a regular file holds after the data chunk's header, the
// file standing at that point. Streaming writers cannot go back to fill in the size and leave
// 0xFFFFFFFF or 0 there, and a cut file keeps the size of the whole; taken as stated, the first
// would be read as up to hours of silence and the second as no audio at all, so 0 means "to the
// end of the file", as on a pipe. Any other size that fits is returned unchanged, so an honest
// header reads as stated. Pipes and other streams have no size to compare with and keep theirs.
uint32_t clamp_to_file(std::FILE* file, uint32_t data_bytes) {
  struct stat info;
  const long body_offset = std::ftell(file);
  if (body_offset < 0 || fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
    return data_bytes;
  }
  const uint64_t present =
      info.st_size > body_offset ? static_cast<uint64_t>(info.st_size - body_offset) : 0;
  const uint64_t most = present < UINT32_MAX ? present : UINT32_MAX;
  if (data_bytes == 0) return static_cast<uint32_t>(most);
  return present < data_bytes ? static_cast<uint32_t>(present) : data_bytes;
}

// WAVE_FORMAT_EXTENSIBLE: the format fields are followed by cbSize (2 bytes), the valid bits per
// sample (2), a channel mask (4) and a 16-byte sub-format GUID; the body holds at least 40 bytes.
constexpr uint32_t FORMAT_TAG_EXTENSIBLE = 0xFFFE;
constexpr uint32_t EXTENSIBLE_FORMAT_BYTES = 40;
constexpr int EXTENSION_BYTES = 24;
// KSDATAFORMAT_SUBTYPE_PCM, 00000001-0000-0010-8000-00aa00389b71, as stored (first three groups
// little-endian).
constexpr uint8_t PCM_SUBFORMAT[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};

// A format chunk's values, as judged.
struct Format {
  int32_t sample_rate = 0;
  int32_t bits_per_sample = 0;
  int32_t channel_count = 0;
};

// Judges the 16 format fields of a format chunk of body size `size`, with the 24 bytes after
// them (`extension`) for an extensible one of at least 40 bytes (null otherwise). Tag 1 is integer
// PCM; so is the extensible tag whose sub-format is PCM with 16 valid bits. Returns WAV_OK,
// WAV_ERR_NOT_PCM, or WAV_ERR_UNSUPPORTED with the values in f.
int judge_format(const uint8_t* fields, uint32_t size, const uint8_t* extension, Format& f) {
  const uint32_t tag = load_le16(fields);
  if (tag == FORMAT_TAG_EXTENSIBLE) {
    if (size < EXTENSIBLE_FORMAT_BYTES || extension == nullptr ||
        load_le16(extension + 2) != REQUIRED_BITS ||
        std::memcmp(extension + 8, PCM_SUBFORMAT, sizeof PCM_SUBFORMAT) != 0) {
      return WAV_ERR_NOT_PCM;
    }
  } else if (tag != FORMAT_TAG_PCM) {
    return WAV_ERR_NOT_PCM;
  }
  f.sample_rate = static_cast<int32_t>(load_le32(fields + 4));
  f.bits_per_sample = static_cast<int16_t>(load_le16(fields + 14));
  f.channel_count = static_cast<int16_t>(load_le16(fields + 2));
  if (f.channel_count != REQUIRED_CHANNELS || f.sample_rate != REQUIRED_RATE_HZ ||
      f.bits_per_sample != REQUIRED_BITS) {
    return WAV_ERR_UNSUPPORTED;
  }
  return WAV_OK;
}

bool is_extensible(const uint8_t* fields, uint32_t size) {
  return load_le16(fields) == FORMAT_TAG_EXTENSIBLE && size >= EXTENSIBLE_FORMAT_BYTES;
}

// Reads and judges a format chunk's body of `size` bytes from the file's position, then walks to
// the data chunk: by stored sizes first and, only when that finds none after passing a body of
// odd size, again with pad bytes. The second walk reads the files a strict RIFF writer makes (a
// 0x00 after every odd body) and the first keeps every file that the plain walk reads exactly as
// it is: a pad-aware walk alone would misread an unpadded odd body followed by a chunk whose id
// starts with a 0x00 byte. Without an odd body both walks are the same, and one is enough.
int read_format_and_data(std::FILE* file, uint32_t size, bool (*stop)(), Format& f,
                         uint32_t& data_bytes) {
  uint8_t fields[FORMAT_FIELD_BYTES];
  uint8_t extension[EXTENSION_BYTES];
  if (!read_exact(file, fields, sizeof fields)) return WAV_ERR_NOT_WAVE;
  const bool extensible = is_extensible(fields, size);
  if (extensible && !read_exact(file, extension, sizeof extension)) return WAV_ERR_NOT_WAVE;
  const int judged = judge_format(fields, size, extensible ? extension : nullptr, f);
  if (judged != WAV_OK) return judged;

  const long walk_start = std::ftell(file);
  const uint32_t fmt_rest = size - (extensible ? EXTENSIBLE_FORMAT_BYTES : 16u);
  bool saw_odd = false;
  int walk = find_data_chunk(file, fmt_rest, false, stop, data_bytes, saw_odd);
  if (walk == WALK_NO_DATA && saw_odd) {
    walk = walk_start < 0 || std::fseek(file, walk_start, SEEK_SET) != 0
               ? WALK_NO_DATA
               : find_data_chunk(file, fmt_rest, true, stop, data_bytes, saw_odd);
  }
  if (walk == WALK_STOPPED) return WAV_ERR_STOPPED;
  return walk == WALK_FOUND ? WAV_OK : WAV_ERR_NOT_WAVE;
}

// For a file whose first chunk is not "fmt ": walks the chunks from the first one (passing a 0x00
// pad byte after an odd body) up to the "data" chunk, looking for the format chunk there. A
// broadcast recorder's "bext", a "JUNK" reserving room for a 64-bit header or a "LIST" of tags
// may come first. Returns read_format_and_data's result for the format chunk found, or
// WAV_ERR_NOT_WAVE when the data chunk or the end comes first.
int find_format_chunk(std::FILE* file, bool (*stop)(), Format& f, uint32_t& data_bytes) {
  if (std::fseek(file, RIFF_HEADER_BYTES + 4, SEEK_SET) != 0) return WAV_ERR_NOT_WAVE;
  uint8_t chunk[CHUNK_HEADER_BYTES];
  for (;;) {
    if (stop != nullptr && stop()) return WAV_ERR_STOPPED;
    if (!read_exact(file, chunk, sizeof chunk) || std::memcmp(chunk, "data", 4) == 0) {
      return WAV_ERR_NOT_WAVE;
    }
    const uint32_t size = load_le32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) return read_format_and_data(file, size, stop, f, data_bytes);
    if (!skip_forward(file, size)) return WAV_ERR_NOT_WAVE;
    if (size % 2 != 0) {
      const int pad = std::fgetc(file);
      if (pad != 0 && (pad == EOF || std::ungetc(pad, file) == EOF)) return WAV_ERR_NOT_WAVE;
    }
  }
}

}  // namespace

int read_wav_header(WavFile& wav, bool (*stop)()) {
  std::FILE* file = wav.file;
  uint8_t riff[RIFF_HEADER_BYTES];
  uint8_t form[FORM_BYTES];
  // A header that cannot be read whole is not judged at all: a file shorter than 36 bytes is
  // "not a WAV file" whatever its first bytes hold.
  if (std::fseek(file, 0, SEEK_SET) != 0 || !read_exact(file, riff, sizeof riff) ||
      !read_exact(file, form, sizeof form)) {
    return WAV_ERR_NOT_WAVE;
  }
  // The first chunk is taken to be the format chunk without looking at its id, as files were
  // always read; only when that reading refuses the file and the id is not "fmt " is the format
  // chunk looked for further on.
  Format f;
  uint32_t data_bytes = 0;
  int result = WAV_ERR_NOT_WAVE;
  {
    uint8_t fields[FORMAT_FIELD_BYTES];
    const long fields_at = std::ftell(file);
    if (!read_exact(file, fields, sizeof fields)) return WAV_ERR_NOT_WAVE;
    if (std::memcmp(form, "WAVE", 4) != 0) return WAV_ERR_NOT_WAVE;
    if (fields_at < 0 || std::fseek(file, fields_at, SEEK_SET) != 0) return WAV_ERR_NOT_WAVE;
    result = read_format_and_data(file, load_le32(form + 8), stop, f, data_bytes);
  }
  if (result != WAV_OK && result != WAV_ERR_STOPPED && std::memcmp(form + 4, "fmt ", 4) != 0) {
    Format found;
    uint32_t found_bytes = 0;
    const int second = find_format_chunk(file, stop, found, found_bytes);
    if (second == WAV_OK || second == WAV_ERR_NOT_PCM || second == WAV_ERR_UNSUPPORTED ||
        second == WAV_ERR_STOPPED) {
      result = second;
      f = found;
      data_bytes = found_bytes;
    }
  }
  if (result == WAV_ERR_UNSUPPORTED) {
    // The driver prints the file's values; sample_count and samples_done stay as they were.
    wav.sample_rate = f.sample_rate;
    wav.bits_per_sample = f.bits_per_sample;
    wav.channel_count = f.channel_count;
  }
  if (result != WAV_OK) return result;
  data_bytes = clamp_to_file(file, data_bytes);

  // A file without a readable data chunk leaves the WavFile untouched, as every -1 does.
  wav.sample_rate = f.sample_rate;
  wav.bits_per_sample = f.bits_per_sample;
  wav.channel_count = f.channel_count;
  wav.samples_done = 0;
  // Unsigned divisions that drop the remainder; for the accepted format: data bytes / 4.
  const uint32_t bytes_per_sample = static_cast<uint32_t>(f.bits_per_sample / 8);
  wav.sample_count = data_bytes / static_cast<uint32_t>(f.channel_count) / bytes_per_sample;
  return WAV_OK;
}

int check_wav_start(const uint8_t* bytes, size_t length, WavFile& wav) {
  // The form type is judged by as many of its bytes as have arrived ("NOT A WAV" ends at 'V').
  if (length > RIFF_HEADER_BYTES &&
      std::memcmp(bytes + RIFF_HEADER_BYTES, "WAVE", std::min<size_t>(length - RIFF_HEADER_BYTES, 4)) !=
          0) {
    return WAV_ERR_NOT_WAVE;
  }
  if (length < FORMAT_END_OFFSET || std::memcmp(bytes + 12, "fmt ", 4) != 0) return WAV_OK;
  const uint8_t* fields = bytes + RIFF_HEADER_BYTES + 12;
  const uint32_t size = load_le32(bytes + 16);
  const bool extensible = is_extensible(fields, size);
  if (extensible && length < FORMAT_END_OFFSET + EXTENSION_BYTES) return WAV_OK;
  Format f;
  const int judged = judge_format(fields, size, extensible ? fields + 16 : nullptr, f);
  if (judged == WAV_ERR_UNSUPPORTED) {
    wav.sample_rate = f.sample_rate;
    wav.bits_per_sample = f.bits_per_sample;
    wav.channel_count = f.channel_count;
  }
  return judged;
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
