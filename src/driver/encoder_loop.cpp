#include "driver/encoder_loop.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>

#include "coding/arith_coder.h"
#include "coding/block_coder.h"
#include "coding/channel_frame.h"
#include "coding/channel_record.h"
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
// spectrum, threshold and packed-block arrays are shared by both channels; the records gather
// both channels' records because a block's records are written only after both are coded.
struct EncoderStorage {
  std::array<double, FRAME_SIZE> frame;            // a channel's first frame (leading zeros)
  std::array<double, HOP_SIZE> coefficients;       // its MDCT coefficients
  std::array<double, HOP_SIZE> spectrum_re;        // Hann-windowed FFT, bins 0 .. 255
  std::array<double, HOP_SIZE> spectrum_im;
  std::array<double, HOP_SIZE> threshold;          // masking threshold per bin, dB
  std::array<double, FRAME_SIZE> coding_window;    // MDCT window, from the header's window_type
  std::array<double, FRAME_SIZE> analysis_window;  // Hann window of the spectrum
  MdctScratch mdct;                                // the transforms' working arrays
  SpectrumScratch spectrum;
  PsychoTables psycho;                             // tables of the masking pass
  MaskingWork masking;                             // its per-call state
  ChannelFrame packed;                             // a channel's packed block
  uint16_t coded_length[NUM_CHANNELS];             // payload bytes of the block's records
  // A block's two records as they are written, and the bytes they take so far.
  std::array<uint8_t, NUM_CHANNELS * MAX_RECORD_BYTES> records;
  int32_t record_bytes = 0;
};

// One channel of one block: from the next frame of the input to its compressed payload.
int encode_channel(WavFile& input, ChannelBuffer& left, ChannelBuffer& right, int channel,
                   EncoderStorage& s) {
  // The frame is read where it lies in the input buffer (no copy), valid until the next fetch.
  const double* samples = fetch_frame_view(input, left, right, s.frame.data(), channel,
                                           FRAME_SIZE, FRAME_SIZE - HOP_SIZE);
  if (mdct_windowed(s.mdct, samples, s.coding_window.data(), s.coefficients.data(), FRAME_SIZE) !=
      TRANSFORM_OK) {
    return ENCODE_ERR_NO_MEMORY;
  }
  if (windowed_spectrum(s.spectrum, samples, s.analysis_window.data(), s.spectrum_re.data(),
                        s.spectrum_im.data(), FRAME_SIZE) != TRANSFORM_OK) {
    return ENCODE_ERR_NO_MEMORY;
  }
  if (masking_threshold(s.psycho, s.masking, s.spectrum_re.data(), s.spectrum_im.data(),
                        HOP_SIZE, s.threshold.data()) != MASKING_OK) {
    return ENCODE_ERR_NO_MEMORY;
  }
  const int32_t bytes = encode_channel_record(s.coefficients.data(), s.threshold.data(), HOP_SIZE,
                                              s.packed, s.records.data() + s.record_bytes);
  if (bytes < 0) return ENCODE_ERR_NO_MEMORY;
  s.record_bytes += bytes;
  s.coded_length[channel] = static_cast<uint16_t>(bytes - RECORD_LENGTH_BYTES);
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
  if (psycho_init(s->psycho, HOP_SIZE, nyquist_hz) != PSYCHO_OK ||
      masking_work_init(s->masking, s->psycho) != MASKING_OK) {
    return ENCODE_ERR_NO_MEMORY;
  }
  band_table = s->psycho.band_table;

  int32_t total_bytes[2] = {0, 0};
  int status = ENCODE_OK;
  for (int block = 0; block < blocks && status == ENCODE_OK; ++block) {
    s->record_bytes = 0;
    for (int c = 0; c < 2 && status == ENCODE_OK; ++c) {
      status = encode_channel(input, left, right, c, *s);
      if (status == ENCODE_OK) total_bytes[c] += s->coded_length[c];
    }
    if (status != ENCODE_OK) break;
    // Both records in one write rather than four (two length words, two payloads).
    if (write_block_records(stream, s->records.data(), static_cast<size_t>(s->record_bytes)) != 0) {
      status = ENCODE_ERR_WRITE;
    }
  }
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
