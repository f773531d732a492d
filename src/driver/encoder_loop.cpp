#include "driver/encoder_loop.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>

#include "coding/arith_coder.h"
#include "coding/block_coder.h"
#include "coding/channel_frame.h"
#include "driver/interruption.h"
#include "driver/stream_format.h"
#include "pcm/wav_reader.h"
#include "psycho/masking.h"
#include "psycho/psycho_tables.h"
#include "transform/mdct.h"
#include "transform/power_levels.h"
#include "transform/window.h"

namespace tarn {
namespace {

constexpr int NUM_CHANNELS = 2;  // c: 0 left, 1 right

// All per-run work storage, allocated once and reused for every block; the frame, coefficient,
// spectrum and threshold arrays are shared by both channels, the packed and coded frames are per
// channel because a block's records are written only after both channels are coded.
struct EncoderStorage {
  std::array<double, FRAME_SIZE> frame;            // a channel's first frame (leading zeros)
  std::array<double, HOP_SIZE> coefficients;       // its MDCT coefficients
  std::array<double, HOP_SIZE> spectrum_re;        // Hann-windowed FFT, bins 0 .. 255
  std::array<double, HOP_SIZE> spectrum_im;
  std::array<double, HOP_SIZE> threshold;          // masking threshold per bin, dB
  std::array<double, FRAME_SIZE> coding_window;    // MDCT window, from the header's window_type
  std::array<double, FRAME_SIZE> analysis_window;  // Hann window of the spectrum
  ChannelFrame channel_frames[NUM_CHANNELS];       // packed bit frames of the block
  std::array<uint8_t, CHANNEL_FRAME_BYTES> coded[NUM_CHANNELS];  // compressed payloads
  uint16_t coded_length[NUM_CHANNELS];                            // payload bytes
  // A block's two records as they are written.
  std::array<uint8_t, NUM_CHANNELS * (RECORD_LENGTH_BYTES + CHANNEL_FRAME_BYTES)> records;
};

// One channel of one block: from the next frame of the input to its compressed payload.
int encode_channel(WavFile& input, ChannelBuffer& left, ChannelBuffer& right, int channel,
                   EncoderStorage& s) {
  // The frame is read where it lies in the input buffer (no copy), valid until the next fetch.
  const double* samples = fetch_frame_view(input, left, right, s.frame.data(), channel,
                                           FRAME_SIZE, FRAME_SIZE - HOP_SIZE);
  if (mdct_windowed(samples, s.coding_window.data(), s.coefficients.data(), FRAME_SIZE) !=
      TRANSFORM_OK) {
    return ENCODE_ERR_NO_MEMORY;
  }
  if (windowed_spectrum(samples, s.analysis_window.data(), s.spectrum_re.data(),
                        s.spectrum_im.data(), FRAME_SIZE) != TRANSFORM_OK) {
    return ENCODE_ERR_NO_MEMORY;
  }
  if (masking_threshold(s.spectrum_re.data(), s.spectrum_im.data(), HOP_SIZE,
                        s.threshold.data()) != MASKING_OK) {
    return ENCODE_ERR_NO_MEMORY;
  }
  ChannelFrame& frame = s.channel_frames[channel];
  frame.bytes.fill(0);  // the frame writer only ORs bits in
  const int packed = encode_channel_block(s.coefficients.data(), s.threshold.data(), HOP_SIZE,
                                          frame.bytes.data());
  if (packed < 0) return ENCODE_ERR_NO_MEMORY;
  const int32_t payload_length = static_cast<uint16_t>(packed);  // low 16 bits: L
  // The length word (frame bytes 0-1) is not transmitted: the payload starts at byte 2.
  const int32_t coded = arith_compress(frame.bytes.data() + 2, s.coded[channel].data(),
                                       payload_length, CHANNEL_FRAME_BYTES);
  if (coded < 0) return ENCODE_ERR_NO_MEMORY;
  s.coded_length[channel] = static_cast<uint16_t>(coded);
  return ENCODE_OK;
}

}  // namespace

int block_count(uint32_t sample_count) {
  // sample_count * 2^-8 is exact in a double, so the ceiling is exact too.
  return static_cast<int>(std::ceil(static_cast<double>(sample_count) * 0.00390625)) + 1;
}

int run_analysis(WavFile& input, std::FILE* stream) {
  const int nyquist_hz = input.sample_rate / 2;
  std::unique_ptr<EncoderStorage> s(new (std::nothrow) EncoderStorage);
  if (!s) return ENCODE_ERR_NO_MEMORY;

  ChannelBuffer left;
  ChannelBuffer right;
  if (fill_input_buffers(input, left, right) != PCM_OK) return ENCODE_ERR_NO_MEMORY;

  StreamHeader header;
  header.sample_count = input.sample_count;
  header.sample_rate = static_cast<uint32_t>(input.sample_rate);
  header.channel_count = 2;
  header.window_type = WINDOW_KBD;
  header.half_frame = HOP_SIZE;
  uint8_t header_bytes[STREAM_HEADER_BYTES];
  pack_stream_header(header, header_bytes);
  if (std::fwrite(header_bytes, STREAM_HEADER_BYTES, 1, stream) != 1) return ENCODE_ERR_WRITE;

  hann_window(s->analysis_window.data(), FRAME_SIZE);
  // The coding window follows the byte just written, by the same rule as the decoder's.
  build_coding_window(s->coding_window.data(), FRAME_SIZE, header.window_type);

  const int blocks = block_count(input.sample_count);
  if (psycho_init(HOP_SIZE, nyquist_hz) != PSYCHO_OK) {
    psycho_free();
    return ENCODE_ERR_NO_MEMORY;
  }

  int32_t total_bytes[2] = {0, 0};
  int status = ENCODE_OK;
  for (int block = 0; block < blocks && status == ENCODE_OK; ++block) {
    if (interrupted()) {
      status = ENCODE_ERR_INTERRUPTED;
      break;
    }
    for (int c = 0; c < 2 && status == ENCODE_OK; ++c) {
      status = encode_channel(input, left, right, c, *s);
      if (status == ENCODE_OK) total_bytes[c] += s->coded_length[c];
    }
    if (status != ENCODE_OK) break;
    // Both records in one write rather than four (two length words, two payloads).
    int bytes = 0;
    for (int c = 0; c < 2; ++c) {
      bytes += pack_block_record(s->records.data() + bytes, s->coded[c].data(), s->coded_length[c]);
    }
    if (std::fwrite(s->records.data(), static_cast<size_t>(bytes), 1, stream) != 1) {
      status = ENCODE_ERR_WRITE;
    }
  }
  psycho_free();
  if (status != ENCODE_OK) return status;

  // S counts the header and every payload byte, not the two length words of each block.
  const uint32_t stream_bytes = static_cast<uint32_t>(total_bytes[0] + total_bytes[1] + 12);
  const int coefficients = blocks * FRAME_SIZE / 2;
  const double kbps = (static_cast<double>(stream_bytes) * 8) /
                      (static_cast<double>(input.sample_count) * 1000 / input.sample_rate);
  std::printf("Left channel, %d coefficients, %d bytes used\n", coefficients, total_bytes[0]);
  std::printf("Right channel, %d coefficients, %d bytes used\n", coefficients, total_bytes[1]);
  std::printf("File size: %d bytes %.4fkbps\n", static_cast<int>(stream_bytes), kbps);
  std::printf("End of Analysis, %d blocks\n\n", blocks);
  return ENCODE_OK;
}

}  // namespace tarn
