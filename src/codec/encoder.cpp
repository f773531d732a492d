#include "codec/encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "format/byte_order.h"
#include "programs/wav_reader.h"
#include "transform/window.h"

namespace tarn {
namespace {

constexpr uint32_t ENCODER_SAMPLE_RATE = 44100;

// The input's source: up to count queued frames, oldest first.
size_t take_queued(void* user, uint8_t* frames, size_t count) {
  EncoderState& s = *static_cast<EncoderState*>(user);
  const size_t n = std::min(count, s.queue_end - s.queue_begin);
  std::memcpy(frames, s.queue.get() + 4 * s.queue_begin, 4 * n);
  s.queue_begin += n;
  return n;
}

// One channel of one block: from the channel's next frame to its record, appended to s.records.
int encode_channel(EncoderState& s, int channel) {
  // The frame is read where it lies in the input buffer (no copy), valid until the next fetch.
  const double* samples = fetch_frame(s.input, s.in[0], s.in[1], s.first_frame.data(), channel,
                                      FRAME_SIZE, FRAME_SIZE - HOP_SIZE);
  if (mdct_windowed(s.mdct, samples, s.coding_window.data(), s.coefficients.data(), FRAME_SIZE) !=
      TRANSFORM_OK) {
    return TARN_ERR_NO_MEMORY;
  }
  if (windowed_spectrum(s.spectrum, samples, s.analysis_window.data(), s.spectrum_re.data(),
                        s.spectrum_im.data(), FRAME_SIZE) != TRANSFORM_OK) {
    return TARN_ERR_NO_MEMORY;
  }
  if (masking_threshold(s.psycho, s.masking, s.spectrum_re.data(), s.spectrum_im.data(),
                        HOP_SIZE, s.threshold.data()) != MASKING_OK) {
    return TARN_ERR_NO_MEMORY;
  }
  const int32_t bytes =
      encode_channel_record(s.psycho.band_table, s.coefficients.data(), s.threshold.data(),
                            HOP_SIZE, s.packed, s.records.data() + s.record_bytes);
  if (bytes < 0) return TARN_ERR_NO_MEMORY;
  s.record_bytes += bytes;
  s.payload_bytes[channel] += static_cast<uint64_t>(bytes - RECORD_LENGTH_BYTES);
  return TARN_OK;
}

// Codes the next block and writes its two records in one call. The first block fills the input
// buffers.
int code_block(EncoderState& s) {
  if (!s.buffers_filled) {
    if (fill_input_buffers(s.input, s.in[0], s.in[1]) != PCM_OK) {
      return s.status = TARN_ERR_NO_MEMORY;
    }
    s.buffers_filled = true;
  }
  s.record_bytes = 0;
  for (int c = 0; c < NUM_CHANNELS; ++c) {
    const int status = encode_channel(s, c);
    if (status != TARN_OK) return s.status = status;
  }
  if (s.write(s.user, s.records.data(), static_cast<size_t>(s.record_bytes)) != 0) {
    return s.status = TARN_ERR_WRITE;
  }
  ++s.blocks_done;
  return TARN_OK;
}

}  // namespace

int block_count(uint32_t sample_count) {
  // sample_count * 2^-8 is exact in a double, so the ceiling is exact too.
  return static_cast<int>(std::ceil(static_cast<double>(sample_count) * 0.00390625)) + 1;
}

int encoder_start(EncoderState& s, uint32_t sample_count, uint32_t sample_rate,
                  tarn_write_fn write, void* user) {
  if (write == nullptr) return s.status = TARN_ERR_ARGUMENT;
  if (sample_rate != ENCODER_SAMPLE_RATE) return s.status = TARN_ERR_SAMPLE_RATE;
  s.write = write;
  s.user = user;
  s.sample_count = sample_count;
  s.blocks = block_count(sample_count);
  s.queue.reset(new (std::nothrow) uint8_t[4 * static_cast<size_t>(CHANNEL_BUFFER_SAMPLES)]);
  if (!s.queue) return s.status = TARN_ERR_NO_MEMORY;
  s.input.sample_count = sample_count;
  s.input.source = take_queued;
  s.input.source_user = &s;

  StreamHeader header;
  header.sample_count = sample_count;
  header.sample_rate = sample_rate;
  header.channel_count = NUM_CHANNELS;
  header.window_type = WINDOW_KBD;
  header.half_frame = HOP_SIZE;
  if (psycho_init(s.psycho, HOP_SIZE, static_cast<int>(sample_rate / 2)) != PSYCHO_OK ||
      masking_work_init(s.masking, s.psycho) != MASKING_OK ||
      mdct_init(s.mdct, FRAME_SIZE) != TRANSFORM_OK ||
      spectrum_init(s.spectrum, FRAME_SIZE) != TRANSFORM_OK) {
    return s.status = TARN_ERR_NO_MEMORY;
  }
  hann_window(s.analysis_window.data(), FRAME_SIZE);
  // The coding window follows the header's byte, by the same rule as the decoder's.
  build_coding_window(s.coding_window.data(), FRAME_SIZE, header.window_type);
  uint8_t header_bytes[STREAM_HEADER_BYTES];
  pack_stream_header(header, header_bytes);
  if (write(user, header_bytes, STREAM_HEADER_BYTES) != 0) return s.status = TARN_ERR_WRITE;
  return TARN_OK;
}

int encoder_push(EncoderState& s, const int16_t* frames, size_t frame_count) {
  if (s.status != TARN_OK) return s.status;
  if (s.finished) return TARN_ERR_FINISHED;
  if (frames == nullptr && frame_count != 0) return TARN_ERR_ARGUMENT;
  const size_t room = s.sample_count - s.frames_taken;
  const size_t take = frame_count < room ? frame_count : room;
  const size_t capacity = CHANNEL_BUFFER_SAMPLES;
  size_t i = 0;
  while (i < take) {
    if (s.queue_begin == s.queue_end) s.queue_begin = s.queue_end = 0;
    if (s.queue_end == capacity && s.queue_begin != 0) {
      std::memmove(s.queue.get(), s.queue.get() + 4 * s.queue_begin,
                   4 * (s.queue_end - s.queue_begin));
      s.queue_end -= s.queue_begin;
      s.queue_begin = 0;
    }
    const size_t n = std::min(take - i, capacity - s.queue_end);
    uint8_t* out = s.queue.get() + 4 * s.queue_end;
    for (size_t j = 0; j < 2 * n; ++j)
      store_le16(out + 2 * j, static_cast<uint16_t>(frames[2 * i + j]));
    s.queue_end += n;
    s.frames_taken += static_cast<uint32_t>(n);
    i += n;
    // A full queue holds every frame a fill or refill of the input buffers may read.
    while (s.queue_end - s.queue_begin == capacity && s.blocks_done < s.blocks) {
      const int status = code_block(s);
      if (status != TARN_OK) return status;
    }
  }
  // Once the whole input is in, every block whose frames it holds is coded.
  while (s.frames_taken == s.sample_count && s.blocks_done < s.blocks &&
         static_cast<uint64_t>(s.blocks_done + 1) * HOP_SIZE <= s.sample_count) {
    const int status = code_block(s);
    if (status != TARN_OK) return status;
  }
  return take < frame_count ? TARN_ERR_TOO_MANY_FRAMES : TARN_OK;
}

int encoder_finish(EncoderState& s) {
  if (s.status != TARN_OK) return s.status;
  if (s.finished) return TARN_ERR_FINISHED;
  // Frames never pushed read as the end of the input: zeros.
  while (s.blocks_done < s.blocks) {
    const int status = code_block(s);
    if (status != TARN_OK) return status;
  }
  s.finished = true;
  return TARN_OK;
}

}  // namespace tarn
