// Output side of PCM audio I/O: the 44-byte header, the 16-bit sample writer and the overlap-add
// output buffers.

#include "programs/wav_writer.h"

#include <sys/stat.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Frames per write: 16 KiB at a time instead of one 4-byte write per frame.
constexpr int WRITE_BLOCK_FRAMES = 4096;

// Largest magnitude of a written sample. -32768 is never produced: the limiter maps [-1, 1]
// symmetrically onto [-32767, 32767].
constexpr double PCM16_PEAK = 32767.0;

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

// One double to a 16-bit sample: divide by max(|x|, 1) so that anything beyond full scale is
// limited to it, scale by 32767, truncate toward zero. The product comes before the quotient;
// that order fixes the rounding of every finite value (beyond full scale about one value in six
// comes out as 32766, the product having been rounded down; the other order differs there).
//   x = NaN, or x = +-infinity (q = inf / inf): q is NaN, whose conversion to an integer is
//     undefined; it writes 0.
//   |x| > DBL_MAX / 32767: x * 32767 overflows and q is +-infinity, also undefined to convert;
//     it writes +-32767, the limit every other value beyond full scale reaches.
// Every other finite x gives |q| <= 32767 plus at most one rounding step, which truncates to a
// value in [-32767, 32767], so the clamp below never changes it.
// Within full scale d is 1.0, and dividing by 1.0 is exact: the product itself is the quotient,
// without the division.
// The limits are taken with min and max (a not-a-number q is set to 0 first), which gives the
// same value as the branches on q >= 32767 and q <= -32767 without them.
int16_t to_pcm16(double x) {
  const double magnitude = std::fabs(x);
  const double d = magnitude >= 1.0 ? magnitude : 1.0;
  double q = d == 1.0 ? x * PCM16_PEAK : (x * PCM16_PEAK) / d;
  q = std::isnan(q) ? 0.0 : q;
  q = std::min(q, PCM16_PEAK);
  q = std::max(q, -PCM16_PEAK);
  return static_cast<int16_t>(q);  // conversion truncates toward zero
}

uint32_t max_wav_frames(const WavFile& wav) {
  const uint32_t bytes = frame_bytes(wav);
  const uint32_t most_data = UINT32_MAX - RIFF_SIZE_OVER_DATA;
  return bytes == 0 ? UINT32_MAX : most_data / bytes;
}

namespace {

// to_pcm16 of four frames, stored as four little-endian stereo frames: two lanes at a time with
// SSE2, frame by frame elsewhere. Lane by lane the same IEEE operations as to_pcm16: the quotient by d = 1 is the
// product itself, so dividing every lane gives the product where to_pcm16 skips the division;
// minpd and maxpd equal std::min and std::max once no lane is not-a-number; cvttpd2dq truncates.
void to_pcm16_frames4(const double* left, const double* right, uint8_t* out) {
#if defined(__SSE2__)
  const __m128d sign = _mm_set1_pd(-0.0);
  const __m128d one = _mm_set1_pd(1.0);
  const __m128d peak = _mm_set1_pd(PCM16_PEAK);
  const __m128d floor = _mm_set1_pd(-PCM16_PEAK);
  __m128i lanes[4];
  const double* from[4] = {left, left + 2, right, right + 2};
  for (int i = 0; i < 4; ++i) {
    const __m128d x = _mm_loadu_pd(from[i]);
    const __m128d magnitude = _mm_andnot_pd(sign, x);
    const __m128d at_least_one = _mm_cmpge_pd(magnitude, one);
    const __m128d d =
        _mm_or_pd(_mm_and_pd(at_least_one, magnitude), _mm_andnot_pd(at_least_one, one));
    __m128d q = _mm_div_pd(_mm_mul_pd(x, peak), d);
    q = _mm_and_pd(_mm_cmpord_pd(q, q), q);  // not-a-number becomes +0
    q = _mm_max_pd(_mm_min_pd(q, peak), floor);
    lanes[i] = _mm_cvttpd_epi32(q);  // two int32 in the low half
  }
  const __m128i l = _mm_unpacklo_epi64(lanes[0], lanes[1]);  // left 0 .. 3
  const __m128i r = _mm_unpacklo_epi64(lanes[2], lanes[3]);  // right 0 .. 3
  // Within +-32767: the saturating pack keeps every value.
  const __m128i frames = _mm_packs_epi32(_mm_unpacklo_epi32(l, r), _mm_unpackhi_epi32(l, r));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), frames);
#else
  for (int i = 0; i < 4; ++i) {
    store_le16(out + 4 * i, static_cast<uint16_t>(to_pcm16(left[i])));
    store_le16(out + 4 * i + 2, static_cast<uint16_t>(to_pcm16(right[i])));
  }
#endif
}

}  // namespace

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

namespace {

// count 4-byte frames to the sink or the file; the frames taken.
size_t put_frames(WavFile& wav, const uint8_t* bytes, size_t count) {
  if (wav.sink != nullptr) return wav.sink(wav.sink_user, bytes, count);
  return std::fwrite(bytes, 4, count, wav.file);
}

}  // namespace

int write_stereo_frames(WavFile& wav, const double* left, const double* right, int count) {
  if (count <= 0 || wav.samples_done >= wav.sample_count) return 0;
  const uint32_t room = wav.sample_count - wav.samples_done;
  const int frames = static_cast<uint32_t>(count) < room ? count : static_cast<int>(room);
  uint8_t bytes[4 * WRITE_BLOCK_FRAMES];
  int written = 0;
  while (written < frames) {
    const int n = std::min(WRITE_BLOCK_FRAMES, frames - written);
    int j = 0;
    for (; j + 4 <= n; j += 4)
      to_pcm16_frames4(left + written + j, right + written + j, bytes + 4 * j);
    for (; j < n; ++j) {
      store_le16(bytes + 4 * j, static_cast<uint16_t>(to_pcm16(left[written + j])));
      store_le16(bytes + 4 * j + 2, static_cast<uint16_t>(to_pcm16(right[written + j])));
    }
    const size_t put = put_frames(wav, bytes, static_cast<size_t>(n));
    wav.samples_done += static_cast<uint32_t>(put);
    written += static_cast<int>(put);
    if (put != static_cast<size_t>(n)) break;  // a failed write (a full disk): stop here
  }
  return written;
}

int create_output_buffers(ChannelBuffer& left, ChannelBuffer& right) {
  left.position = 0;
  left.ready = 0;
  right.position = 0;
  right.ready = 0;
  return allocate_channel_pair(left, right);
}

void overlap_add_frame(WavFile& wav, ChannelBuffer& left, ChannelBuffer& right, const double* frame,
                       int channel, [[maybe_unused]] int frame_length, int hop) {
  ChannelBuffer& b = channel == 0 ? left : right;
  double* s = b.samples.get();

  // First frame of the channel: its first half covers the hop of zeros that the encoder's first
  // frame holds ahead of the signal, so it is dropped and output frame 0 is input frame 0. This
  // also clears whatever the freshly allocated array held.
  if (b.position == 0) {
    std::memcpy(s, frame + hop, sizeof(double) * hop);
    for (int n = hop; n < CHANNEL_BUFFER_SAMPLES; ++n) s[n] = 0.0;
    b.ready = 0;
    b.position = hop;
    return;
  }

  // Wrap when the frame after this one could no longer fit: write the finished samples that
  // both channels have (32256 pairs with hop 256), slide both buffers down by that count and
  // clear their tails. This comes one block before the buffer would really overflow.
  if (b.position + hop >= CHANNEL_BUFFER_SAMPLES) {
    const int c = std::min(left.ready, right.ready);
    write_stereo_frames(wav, left.samples.get(), right.samples.get(), c);
    for (ChannelBuffer* cb : {&left, &right}) {
      cb->ready -= c;
      std::memmove(cb->samples.get(), cb->samples.get() + c, sizeof(double) * (cb->position - c));
      cb->position -= c;
    }
    for (ChannelBuffer* cb : {&left, &right}) {
      for (int n = cb->position; n < CHANNEL_BUFFER_SAMPLES; ++n) cb->samples[n] = 0.0;
    }
  }

  const int p = b.position;
  // Only a caller that breaks the left-then-right order can leave the buffers so unequal that
  // the wrap frees too little room; such a frame is dropped rather than written out of bounds.
  if (p + hop > CHANNEL_BUFFER_SAMPLES) return;
  // The frame's first half completes the previous frame's second half; its second half starts
  // the next partial sum. Sum order: new value plus the held one. frame_length is 2 * hop.
  for (int k = 0; k < 2 * hop; ++k) s[p - hop + k] = frame[k] + s[p - hop + k];
  b.ready += hop;
  b.position += hop;
}

void flush_output(WavFile& wav, ChannelBuffer& left, ChannelBuffer& right) {
  if (left.ready != right.ready) std::printf("Aguas!!! %d %d \n", left.ready, right.ready);
  write_stereo_frames(wav, left.samples.get(), right.samples.get(), left.ready);
}

}  // namespace tarn
