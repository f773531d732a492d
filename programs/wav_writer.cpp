// Writing WAV files: the 44-byte header and the rewrite of its size fields.

#include "programs/wav_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "format/byte_order.h"

namespace tarn {
namespace {

// Canonical 44-byte WAV header; every field little-endian.
//   off size  field                 value
//    0  4+4   "RIFF", riff_size     36 + data_bytes
//    8   4    "WAVE"
//   12  4+4   "fmt ", fmt_size      16
//   20   2    format_tag            1 = integer PCM
//   22   2    channels
//   24   4    sample_rate_hz
//   28   4    byte_rate             sample_rate_hz * bytes per sample * channels
//   32   2    block_align           4, fixed: the decoder only writes 16-bit stereo
//   34   2    bits_per_sample
//   36  4+4   "data", data_bytes    frames * channels * bytes per sample
constexpr long RIFF_SIZE_OFFSET = 4;
constexpr long DATA_SIZE_OFFSET = 40;
constexpr uint32_t RIFF_SIZE_OVER_DATA = WAV_HEADER_BYTES - 8;  // 36: all but "RIFF" and size
constexpr uint16_t FIXED_BLOCK_ALIGN = 4;

// Bytes of one frame, in unsigned arithmetic (the format fields are converted so that nothing
// overflows a signed type).
uint32_t frame_bytes(const WavFile& wav) {
  return static_cast<uint32_t>(wav.channel_count) * static_cast<uint32_t>(wav.bits_per_sample / 8);
}

// Bytes of sample data for `frames` frames, in the header's unsigned 32-bit arithmetic. Callers
// keep frames at or below max_wav_frames, so neither this nor the RIFF size 36 above it wraps.
uint32_t data_bytes(const WavFile& wav, uint32_t frames) { return frames * frame_bytes(wav); }

void write_u32_at(std::FILE* file, long offset, uint32_t value, bool& ok) {
  uint8_t bytes[4];
  store_le32(bytes, value);
  if (ok && std::fseek(file, offset, SEEK_SET) != 0) ok = false;
  if (ok && std::fwrite(bytes, sizeof bytes, 1, file) != 1) ok = false;
}

}  // namespace

uint32_t max_wav_frames(const WavFile& wav) {
  const uint32_t bytes = frame_bytes(wav);
  const uint32_t most_data = UINT32_MAX - RIFF_SIZE_OVER_DATA;
  return bytes == 0 ? UINT32_MAX : most_data / bytes;
}

void pack_wav_header(const WavFile& wav, uint8_t h[WAV_HEADER_BYTES]) {
  const uint32_t data = data_bytes(wav, std::min(wav.sample_count, max_wav_frames(wav)));
  const uint32_t bytes_per_sample = static_cast<uint32_t>(wav.bits_per_sample / 8);
  const uint32_t byte_rate = static_cast<uint32_t>(wav.sample_rate) * bytes_per_sample *
                             static_cast<uint32_t>(wav.channel_count);
  std::memcpy(h + 0, "RIFF", 4);
  store_le32(h + 4, data + RIFF_SIZE_OVER_DATA);
  std::memcpy(h + 8, "WAVE", 4);
  std::memcpy(h + 12, "fmt ", 4);
  store_le32(h + 16, 16);
  store_le16(h + 20, 1);
  store_le16(h + 22, static_cast<uint16_t>(wav.channel_count));
  store_le32(h + 24, static_cast<uint32_t>(wav.sample_rate));
  store_le32(h + 28, byte_rate);
  store_le16(h + 32, FIXED_BLOCK_ALIGN);
  store_le16(h + 34, static_cast<uint16_t>(wav.bits_per_sample));
  std::memcpy(h + 36, "data", 4);
  store_le32(h + 40, data);
}

int write_wav_header(WavFile& wav) {
  wav.sample_count = std::min(wav.sample_count, max_wav_frames(wav));
  uint8_t h[WAV_HEADER_BYTES];
  pack_wav_header(wav, h);
  wav.samples_done = 0;
  if (std::fseek(wav.file, 0, SEEK_SET) != 0) return -1;
  if (std::fwrite(h, sizeof h, 1, wav.file) != 1) return -1;
  return 0;
}

int rewrite_wav_sizes(WavFile& wav) {
  // Whatever the stream still holds goes out first; if that fails, the file itself tells what
  // arrived (below), and the failure stays on the stream's error flag for the caller.
  std::fflush(wav.file);
  bool ok = true;
  // In a regular file, what is on disk decides: after a failed write (a full disk) the count may
  // include frames that never got there, and a frame may have got there in part. The file is cut
  // back to its header and the whole frames it holds, which needs no new space.
  struct stat info;
  const int fd = fileno(wav.file);
  if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    if (info.st_size < WAV_HEADER_BYTES) {
      // Not even the header arrived whole: an empty file is the honest rest.
      wav.samples_done = 0;
      if (ftruncate(fd, 0) == 0) std::fseek(wav.file, 0, SEEK_SET);
      return -1;
    }
    const uint64_t stored_frames =
        static_cast<uint64_t>(info.st_size - WAV_HEADER_BYTES) / std::max(frame_bytes(wav), 1u);
    if (stored_frames < wav.samples_done) wav.samples_done = static_cast<uint32_t>(stored_frames);
    const off_t honest_size =
        WAV_HEADER_BYTES + static_cast<off_t>(data_bytes(wav, wav.samples_done));
    if (info.st_size != honest_size && ftruncate(fd, honest_size) != 0) ok = false;
  }
  const uint32_t data = data_bytes(wav, wav.samples_done);
  write_u32_at(wav.file, RIFF_SIZE_OFFSET, data + RIFF_SIZE_OVER_DATA, ok);
  write_u32_at(wav.file, DATA_SIZE_OFFSET, data, ok);
  // Back to the end even after a failure, so that a later write cannot land inside the header.
  if (std::fseek(wav.file, 0, SEEK_END) != 0) ok = false;
  return ok ? 0 : -1;
}

}  // namespace tarn
