// Fuzz target: the channel frame reader over arbitrary band headers and bit streams, with the
// band table of the system's 256 bins at 22050 Hz. Byte 0 picks the header form: even, a 14-byte
// band header unpacked as the decoder does; odd, 25 raw counts of 0 to 255 (which only the
// reader's own count check stops). The rest is the bit stream, of exactly its size.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "coding/block_coder.h"
#include "format/channel_frame.h"

namespace {
constexpr int BINS = 256;
tarn::BandTable bands;
const int psycho = tarn::band_partition(BINS, 22050, bands);
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool raw = size > 0 && (data[0] & 1) != 0;
  const size_t header = raw ? tarn::NUM_BANDS : tarn::BAND_HEADER_BYTES;
  if (psycho != tarn::STATUS_OK) std::abort();
  if (size < 1 + header) return 0;
  uint8_t band_bits[tarn::NUM_BANDS];
  if (raw) {
    for (int b = 0; b < tarn::NUM_BANDS; ++b) band_bits[b] = data[1 + b];
  } else {
    tarn::unpack_band_bits(data + 1, band_bits);
  }
  const std::vector<uint8_t> stream(data + 1 + header, data + size);
  const int32_t bytes = static_cast<int32_t>(stream.size());
  int16_t scale_factors[tarn::NUM_BANDS];
  uint16_t codes[BINS];
  const int32_t end =
      tarn::read_channel_frame(bands, stream.data(), bytes, band_bits, scale_factors, codes);
  if (end > bytes * 8) std::abort();
  double coefficients[BINS];
  const int status =
      tarn::decode_channel_block(bands, band_bits, stream.data(), bytes, coefficients, BINS);
  if ((status == tarn::STATUS_OK) != (end >= 0)) std::abort();
  for (double c : coefficients) {
    if (!std::isfinite(c)) std::abort();
  }
  for (int b = 0; end >= 0 && b < tarn::NUM_BANDS; ++b) {
    if (scale_factors[b] < -32 || scale_factors[b] > 31) std::abort();
  }
  return 0;
}
