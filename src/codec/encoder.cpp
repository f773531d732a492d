#include "codec/encoder.h"

#include <cmath>
#include <cstring>

#include "transform/window.h"

namespace tarn {
namespace {

constexpr uint32_t ENCODER_SAMPLE_RATE = 44100;
constexpr double PCM16_SCALE = 1.0 / 32768.0;  // a power of two: v * 2^-15 is exact

// One channel of one block: from the channel's frame to its record, appended to s.records.
int encode_channel(EncoderState& s, int channel) {
  const double* samples = s.frame[channel].data();
  if (mdct_windowed(s.mdct, samples, s.coding_window.data(), s.coefficients.data(), FRAME_SIZE) !=
      STATUS_OK) {
    return STATUS_NO_MEMORY;
  }
  if (windowed_spectrum(s.spectrum, samples, s.analysis_window.data(), s.spectrum_re.data(),
                        s.spectrum_im.data(), FRAME_SIZE) != STATUS_OK) {
    return STATUS_NO_MEMORY;
  }
  if (masking_threshold(s.psycho, s.masking, s.spectrum_re.data(), s.spectrum_im.data(),
                        HOP_SIZE, s.threshold.data()) != STATUS_OK) {
    return STATUS_NO_MEMORY;
  }
  const int32_t bytes = encode_channel_record(*s.masking.kernels, s.psycho.band_table,
                                              s.coefficients.data(), s.threshold.data(), HOP_SIZE,
                                              s.packed, s.records.data() + s.record_bytes);
  if (bytes < 0) return STATUS_NO_MEMORY;
  s.record_bytes += bytes;
  s.payload_bytes[channel] += static_cast<uint64_t>(bytes - RECORD_LENGTH_BYTES);
  return STATUS_OK;
}

// Codes the block whose frames stand in s.frame (the newer halves zero-filled past hop_filled),
// writes its two records in one call, and slides each frame by a hop: the newer half becomes the
// overlap of the next block.
int code_block(EncoderState& s) {
  for (std::array<double, FRAME_SIZE>& f : s.frame) {
    for (int n = HOP_SIZE + s.hop_filled; n < FRAME_SIZE; ++n) f[n] = 0.0;
  }
  s.record_bytes = 0;
  for (int c = 0; c < NUM_CHANNELS; ++c) {
    const int status = encode_channel(s, c);
    if (status != STATUS_OK) return s.status = status;
  }
  if (s.write(s.user, s.records.data(), static_cast<size_t>(s.record_bytes)) != 0) {
    return s.status = STATUS_WRITE;
  }
  for (std::array<double, FRAME_SIZE>& f : s.frame) {
    std::memcpy(f.data(), f.data() + HOP_SIZE, sizeof(double) * HOP_SIZE);
  }
  s.hop_filled = 0;
  ++s.blocks_done;
  return STATUS_OK;
}

// The header this encoder writes for a stream of sample_count frames.
StreamHeader encoder_header(uint32_t sample_count) {
  StreamHeader header;
  header.sample_count = sample_count;
  header.sample_rate = ENCODER_SAMPLE_RATE;
  header.channel_count = NUM_CHANNELS;
  header.window_type = WINDOW_KBD;
  header.half_frame = HOP_SIZE;
  return header;
}

// The part of a start shared by both kinds: the tables, the windows, an empty first frame and
// the header, announcing header_count frames.
int start(EncoderState& s, uint32_t header_count, uint32_t sample_rate, tarn_write_fn write,
          void* user) {
  if (write == nullptr) return s.status = STATUS_ARGUMENT;
  if (sample_rate != ENCODER_SAMPLE_RATE) return s.status = STATUS_SAMPLE_RATE;
  s.write = write;
  s.user = user;
  const StreamHeader header = encoder_header(header_count);
  if (psycho_init(s.psycho, HOP_SIZE, static_cast<int>(sample_rate / 2)) != STATUS_OK ||
      masking_work_init(s.masking, s.psycho) != STATUS_OK ||
      mdct_init(s.mdct, FRAME_SIZE) != STATUS_OK ||
      spectrum_init(s.spectrum, FRAME_SIZE) != STATUS_OK) {
    return s.status = STATUS_NO_MEMORY;
  }
  hann_window(s.analysis_window.data(), FRAME_SIZE);
  // The coding window follows the header's byte, by the same rule as the decoder's.
  build_coding_window(s.coding_window.data(), FRAME_SIZE, header.window_type);
  for (std::array<double, FRAME_SIZE>& f : s.frame) f.fill(0.0);
  uint8_t header_bytes[STREAM_HEADER_BYTES];
  pack_stream_header(header, header_bytes);
  if (write(user, header_bytes, STREAM_HEADER_BYTES) != 0) return s.status = STATUS_WRITE;
  return STATUS_OK;
}

// The most frames the state takes: the announced count, or one below the unknown marker.
uint32_t frame_limit(const EncoderState& s) {
  return s.known_length ? s.sample_count : UNKNOWN_SAMPLE_COUNT - 1;
}

}  // namespace

int block_count(uint32_t sample_count) {
  // sample_count * 2^-8 is exact in a double, so the ceiling is exact too.
  return static_cast<int>(std::ceil(static_cast<double>(sample_count) * 0.00390625)) + 1;
}

int encoder_start(EncoderState& s, uint32_t sample_count, uint32_t sample_rate,
                  tarn_write_fn write, void* user) {
  s.known_length = true;
  s.sample_count = sample_count;
  return start(s, sample_count, sample_rate, write, user);
}

int encoder_start_seekable(EncoderState& s, uint32_t sample_rate, tarn_write_fn write,
                           tarn_seek_fn seek, void* user) {
  if (seek == nullptr) return s.status = STATUS_ARGUMENT;
  s.known_length = false;
  s.seek = seek;
  return start(s, UNKNOWN_SAMPLE_COUNT, sample_rate, write, user);
}

int encoder_push(EncoderState& s, const int16_t* frames, size_t frame_count) {
  if (s.status != STATUS_OK) return s.status;
  if (s.finished) return STATUS_FINISHED;
  if (frames == nullptr && frame_count != 0) return STATUS_ARGUMENT;
  const size_t room = frame_limit(s) - s.frames_taken;
  const size_t take = frame_count < room ? frame_count : room;
  double* const left = s.frame[0].data() + HOP_SIZE;
  double* const right = s.frame[1].data() + HOP_SIZE;
  for (size_t i = 0; i < take;) {
    const size_t n = std::min<size_t>(take - i, static_cast<size_t>(HOP_SIZE - s.hop_filled));
    const int16_t* in = frames + 2 * i;
    for (size_t j = 0; j < n; ++j) {
      left[s.hop_filled + j] = in[2 * j] * PCM16_SCALE;
      right[s.hop_filled + j] = in[2 * j + 1] * PCM16_SCALE;
    }
    s.hop_filled += static_cast<int>(n);
    s.frames_taken += static_cast<uint32_t>(n);
    i += n;
    if (s.hop_filled == HOP_SIZE) {
      const int status = code_block(s);
      if (status != STATUS_OK) return status;
    }
  }
  return take < frame_count ? STATUS_TOO_MANY_FRAMES : STATUS_OK;
}

int encoder_finish(EncoderState& s) {
  if (s.status != STATUS_OK) return s.status;
  if (s.finished) return STATUS_FINISHED;
  const uint32_t frames = s.known_length ? s.sample_count : s.frames_taken;
  // Frames never pushed read as the end of the input: zeros (code_block fills them in).
  const int blocks = block_count(frames);
  while (s.blocks_done < blocks) {
    const int status = code_block(s);
    if (status != STATUS_OK) return status;
  }
  if (!s.known_length) {
    uint8_t header_bytes[STREAM_HEADER_BYTES];
    pack_stream_header(encoder_header(frames), header_bytes);
    if (s.seek(s.user, 0) != 0) return s.status = STATUS_SEEK;
    if (s.write(s.user, header_bytes, STREAM_HEADER_BYTES) != 0) return s.status = STATUS_WRITE;
  }
  s.finished = true;
  return STATUS_OK;
}

}  // namespace tarn
