// Input side of PCM audio I/O: header validation, frame reads and the two sliding input buffers.

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

// The history a refill keeps ahead of the left buffer's position, in samples: it is the most a
// frame can reach back (the overlap).
constexpr int REFILL_HISTORY = 1024;

constexpr double PCM16_SCALE = 1.0 / 32768.0;  // a power of two: v * 2^-15 is exact

// Reads one item of n bytes; true only when it arrived whole.
bool read_exact(std::FILE* file, uint8_t* bytes, size_t n) {
  return std::fread(bytes, n, 1, file) == 1;
}

// Up to count 4-byte frames from the source or the file; the whole frames given.
size_t get_frames(WavFile& wav, uint8_t* bytes, size_t count) {
  if (wav.source != nullptr) return wav.source(wav.source_user, bytes, count);
  return std::fread(bytes, 4, count, wav.file);
}

// Frames per read while filling the buffers: 16 KiB of file at a time instead of one 4-byte
// read per frame, which cost more than the conversion itself.
constexpr int READ_BLOCK_FRAMES = 4096;

// Reads frames into both buffers from index `from` on, stopping at the first failed read, and
// zeroes both arrays from the first unfilled index through the end. The reads stop at
// sample_count or at the first frame the file cannot give whole.
void read_frames_into(WavFile& wav, double* left, double* right, int from) {
  int i = from;
  uint8_t bytes[4 * READ_BLOCK_FRAMES];
  while (i < CHANNEL_BUFFER_SAMPLES) {
    const int want = std::min(READ_BLOCK_FRAMES, CHANNEL_BUFFER_SAMPLES - i);
    const int got = read_stereo_frames(wav, bytes, want);
    for (int j = 0; j < got; ++j) {
      left[i + j] = static_cast<int16_t>(load_le16(bytes + 4 * j)) * PCM16_SCALE;
      right[i + j] = static_cast<int16_t>(load_le16(bytes + 4 * j + 2)) * PCM16_SCALE;
    }
    i += got;
    if (got < want) break;
  }
  for (; i < CHANNEL_BUFFER_SAMPLES; ++i) {
    left[i] = 0.0;
    right[i] = 0.0;
  }
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
  const size_t got = get_frames(wav, bytes, want);
  wav.samples_done += static_cast<uint32_t>(got);
  return static_cast<int>(got);
}

int fill_input_buffers(WavFile& wav, ChannelBuffer& left, ChannelBuffer& right) {
  left.position = 0;
  right.position = 0;
  if (allocate_channel_pair(left, right) != PCM_OK) return PCM_ERR_NO_MEMORY;
  read_frames_into(wav, left.samples.get(), right.samples.get(), 0);
  return PCM_OK;
}

const double* fetch_frame(WavFile& wav, ChannelBuffer& left, ChannelBuffer& right, double* scratch,
                          int channel, int frame_length, int overlap) {
  ChannelBuffer& b = channel == 0 ? left : right;
  const int advance = frame_length - overlap;

  // First frame of the channel: `overlap` zeros stand for the signal before the file's start.
  if (b.position == 0) {
    for (int n = 0; n < overlap; ++n) scratch[n] = 0.0;
    std::memcpy(scratch + overlap, b.samples.get(), sizeof(double) * advance);
    b.position = advance;
    return scratch;
  }

  // Refill when this frame's newest samples would reach the end of the buffer. The left
  // buffer's position d is the reference for both channels, so both slide alike: the 1024
  // samples before d and everything from d on move to the start (d lands at index 1024), and
  // new frames are read behind them. The left fetch of a block triggers it, one block before the
  // buffer would actually overflow; the right fetch then finds its position already at 1024.
  if (b.position + advance >= CHANNEL_BUFFER_SAMPLES) {
    const int d = left.position;
    const int kept = CHANNEL_BUFFER_SAMPLES + REFILL_HISTORY - d;
    std::memmove(left.samples.get(), left.samples.get() + (d - REFILL_HISTORY),
                 sizeof(double) * kept);
    std::memmove(right.samples.get(), right.samples.get() + (d - REFILL_HISTORY),
                 sizeof(double) * kept);
    left.position = REFILL_HISTORY;
    right.position = REFILL_HISTORY;
    read_frames_into(wav, left.samples.get(), right.samples.get(), kept);
  }

  const double* frame = b.samples.get() + (b.position - overlap);
  b.position += advance;
  return frame;
}

}  // namespace tarn
