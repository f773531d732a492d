// Bit allocation, scale factors and quantisation: one channel's block of MDCT coefficients into
// a packed block (ChannelFrame) and back.
//
// Index legend: b band, k bin. Levels and thresholds in dB; sf a scale factor whose quantiser
// step is 2^(sf/4), always computed as pow(2.0, sf * 0.25) so encoder and decoder agree bit for
// bit. The 64 steps of the scale factors a packed block can carry come from a table (QUANT_STEPS)
// that holds the very doubles of that call: a lookup spares a pow per coefficient and per step
// of the scale-factor search.

#include "coding/block_coder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>

#include "coding/block_kernels.h"
#include "kernels/kernel_table.h"
#include "transform/power_levels.h"

namespace tarn {

namespace {

// Correctly rounded ln(10) and ln(2) (equal to std::log(10.0) and std::log(2.0) with glibc; the
// tests check it). Constants keep the allocation independent of the maths library.
constexpr double LN_10 = 2.302585092994045684;
constexpr double LN_2 = 0.6931471805599453094;

constexpr int MIN_SCALE_FACTOR = -32;
constexpr int MAX_SCALE_FACTOR = 31;
static_assert(MAX_SCALE_FACTOR - MIN_SCALE_FACTOR + 1 == 1 << SCALE_FACTOR_BITS);

// Caps a huge allocation before it is converted to int; anything above MAX_BAND_BITS clamps the
// same way.
constexpr double ALLOCATION_CAP = 1 << 20;

// How far the estimate of an approximate ratio is moved either way before its bit count is
// trusted (see band_bits_from_peak): three times the most the level's approximation can move it.
constexpr double ESTIMATE_MARGIN = 0.5 * APPROXIMATE_LEVEL_ERROR_DB;

// 2^(sf/4) for sf = MIN_SCALE_FACTOR .. MAX_SCALE_FACTOR, padded with QUANT_STEP_PADDING zeros
// below and infinities above for the scale-factor search's window, which may reach past either
// end. With sf = 4q + r (r = 0 .. 3), 2^(sf/4) = 2^q 2^(r/4): the doubles nearest 2^(1/4),
// 2^(1/2) and 2^(3/4), scaled by powers of two (exact at these magnitudes), are the doubles
// nearest every step, which is what pow(2.0, sf * 0.25) returns for them (the tests compare the
// two). Built at compile time, so it is shared read-only by every thread.
constexpr int QUANT_STEP_PADDING = 8;
constexpr int QUANT_STEP_COUNT = MAX_SCALE_FACTOR - MIN_SCALE_FACTOR + 1;
struct QuantSteps {
  double padded[QUANT_STEP_COUNT + 2 * QUANT_STEP_PADDING];
};
constexpr QuantSteps make_quant_steps() {
  constexpr double QUARTER_POWERS[4] = {1.0, 0x1.306fe0a31b715p+0, 0x1.6a09e667f3bcdp+0,
                                        0x1.ae89f995ad3adp+0};
  QuantSteps t{};
  for (int i = 0; i < QUANT_STEP_PADDING; ++i) {
    t.padded[i] = 0.0;
    t.padded[QUANT_STEP_PADDING + QUANT_STEP_COUNT + i] = std::numeric_limits<double>::infinity();
  }
  for (int sf = MIN_SCALE_FACTOR; sf <= MAX_SCALE_FACTOR; ++sf) {
    const int q = sf >= 0 ? sf / 4 : -((-sf + 3) / 4);  // floor(sf / 4)
    double step = QUARTER_POWERS[sf - 4 * q];
    for (int j = 0; j < q; ++j) step *= 2.0;
    for (int j = 0; j > q; --j) step *= 0.5;
    t.padded[QUANT_STEP_PADDING + sf - MIN_SCALE_FACTOR] = step;
  }
  return t;
}
constexpr QuantSteps QUANT_STEPS = make_quant_steps();
// step[i] = 2^((i + MIN_SCALE_FACTOR) / 4) for i in 0 .. QUANT_STEP_COUNT - 1, padded either side.
constexpr const double* QUANT_STEP = QUANT_STEPS.padded + QUANT_STEP_PADDING;

// Scale factors outside the packed block's range (only a direct caller can pass one) take the
// call.
double quant_step(int sf) {
  if (sf >= MIN_SCALE_FACTOR && sf <= MAX_SCALE_FACTOR) return QUANT_STEP[sf - MIN_SCALE_FACTOR];
  return std::pow(2.0, sf * 0.25);
}

bool quantiser_bits_valid(int bits) {
  return bits >= 0 && bits < static_cast<int>(QUANT_MAX.size());
}

// The packed block and the BandTable both take bin_count: within the packed block's worst case,
// built for this count, and every band inside 0 .. bin_count - 1.
bool bin_count_usable(const BandTable& bands, int bin_count) {
  if (bin_count <= 0 || bin_count > MAX_CODED_BINS || bands.bin_count != bin_count) {
    return false;
  }
  for (int b = 0; b < NUM_BANDS; ++b) {
    int first = 0;
    int last = -1;
    band_edges(bands, b, first, last);
    if (first < 0 || last >= bin_count || last < first - 1) return false;
  }
  return true;
}

}  // namespace

int allocation_bias(int bin_count) {
  switch (bin_count) {
    case 128:
      return 100;
    case 256:
      return 200;
    case 512:
      return 400;
    case 1024:
      return 900;
    default:
      return 150;
  }
}

double band_smr(const BandTable& bands, const double* levels, const double* thresholds, int band) {
  int first = 0;
  int last = -1;
  band_edges(bands, band, first, last);
  if (last < first) return 0.0;  // no bins: allocate_band_bits gives such a band 0 bits anyway
  double loudest = levels[first];
  double most_sensitive = thresholds[first];
  for (int k = first + 1; k <= last; ++k) {
    if (levels[k] > loudest) loudest = levels[k];
    if (thresholds[k] < most_sensitive) most_sensitive = thresholds[k];
  }
  return loudest - most_sensitive;
}

// Between 0 and the cap, floor(x) is x's conversion to an integer (which truncates), and ceil(x)
// is one more when x is not whole, which a fraction above 0.7 implies: the library's floor and
// ceil without their calls. A negative x or one that is not a number becomes 0, whose count is
// 0. Selections rather than branches: the sign of x and its fraction follow the music, so no
// predictor guesses them.
int allocation_to_bits(double x, int width) {
  // Each selection is a single maximum or minimum instruction where the target has one (x86's
  // MAXSD is exactly x > 0.0 ? x : 0.0, not-a-number included).
  const double usable = x > 0.0 ? x : 0.0;
  const double capped = usable > ALLOCATION_CAP ? ALLOCATION_CAP : usable;
  const int64_t whole = static_cast<int64_t>(capped);  // floor
  const double f = static_cast<double>(whole);
  // Strict comparison with the double 0.7: a fraction of exactly 0.7 rounds down.
  const int wider = static_cast<int>(whole) + (capped - f > 0.7 ? 1 : 0);
  const int one_bin = whole >= 1 ? 1 : 0;
  return width == 1 ? one_bin : wider;
}

double allocation_estimate(double smr, int width, int bin_count, int k) {
  // One bit per 6.02 dB of signal-to-mask ratio, weighted by (1 - w / bin_count), plus
  // K / bin_count bits. Evaluated as written, left to right:
  //   ((ln 10 * (smr - (smr * w) / bin_count)) / (20 * ln 2)) + K / bin_count
  // with every division in double precision; the folded constant 0.16609640474... would round
  // differently for about a third of all smr values.
  // A division by a power of two is a multiplication by its reciprocal, exactly (both scale the
  // same value by the same power of two, rounded once), and a multiplication is the faster.
  if ((bin_count & (bin_count - 1)) == 0 && bin_count > 0) {
    const double inverse = 1.0 / bin_count;
    return LN_10 * (smr - smr * width * inverse) / (20.0 * LN_2) + static_cast<double>(k) * inverse;
  }
  return LN_10 * (smr - smr * width / bin_count) / (20.0 * LN_2) +
         static_cast<double>(k) / bin_count;
}

int allocate_band_bits(const BandTable& bands, const double* levels, const double* thresholds,
                       int bin_count, int k, int band) {
  const int w = band_width(bands, band);
  if (w <= 0) return 0;  // a band without bins: no bits, no scale factor, on both sides
  const double smr = band_smr(bands, levels, thresholds, band);
  return allocation_to_bits(allocation_estimate(smr, w, bin_count, k), w);
}

// The search from MAX_SCALE_FACTOR down stops at the first sf with 2^(sf/4) <= ratio. The steps
// grow with sf, so that is the number of steps <= ratio, less one, on the index scale. Within
// the range, ratio lies in a binade [2^e, 2^(e+1)); every table step (the double nearest
// 2^(sf/4)) with sf <= 4e - 4 lies below it and every one with sf >= 4e + 5 above it, so
// counting the steps <= ratio among the eight in between, which the padded table always has,
// finds the same sf as the search, with independent comparisons instead of a chain of them.
int choose_scale_factor(double peak, int bits) {
  const double ratio = peak / (quantiser_bits_valid(bits) ? QUANT_MAX[bits] : 0);
  const double* step = QUANT_STEP;
  constexpr int STEPS = QUANT_STEP_COUNT;
  // Above every step, or not a number: the search stops at once.
  if (!(step[STEPS - 1] > ratio)) return MAX_SCALE_FACTOR;
  // Below every step: the search runs to its end.
  if (ratio < step[0]) return MIN_SCALE_FACTOR;
  const int e =
      static_cast<int>(std::bit_cast<uint64_t>(ratio) >> 52) - 1023;  // 2^-8 <= ratio < 2^8
  const int first = 4 * e - 4 - MIN_SCALE_FACTOR;  // index of the last step surely <= ratio
  const double* window = step + first + 1;
  int below = 0;
  for (int i = 0; i < 8; ++i) below += window[i] <= ratio ? 1 : 0;
  return first + below + MIN_SCALE_FACTOR;
}

using block::quantise_by_step;

uint32_t quantise(double value, int sf, int bits) {
  if (!quantiser_bits_valid(bits) || bits == 0) return 0;
  return quantise_by_step(value, quant_step(sf), bits);
}

double dequantise(uint32_t code, int sf, int bits) {
  if (bits < 1 || !quantiser_bits_valid(bits)) return 0.0;
  // Bit bits-1 is the sign of the two's complement code.
  const int64_t q = ((code >> (bits - 1)) & 1u) != 0
                        ? static_cast<int64_t>(code) - (int64_t{1} << bits)
                        : static_cast<int64_t>(code);
  return static_cast<double>(q) * quant_step(sf);
}

namespace {

// The largest magnitude of a band's coefficients and its smallest threshold (the kernel table's
// band_extremes).
struct BandExtremes {
  double peak;            // largest |c|
  double most_sensitive;  // smallest threshold
};

// allocate_band_bits for band b, mostly without a logarithm. The bit count needs the band's
// largest level only through the ratio smr, and then only as far as the rounding of
// x = allocation_estimate(smr) decides. The largest level is that of the largest magnitude:
// the power (G c) c of a coefficient is that of |c| (the roundings are symmetric in the sign)
// and never falls as |c| grows, so approximate_peak_coefficient_level of that one magnitude is
// the band's. The approximate largest level is within APPROXIMATE_LEVEL_ERROR_DB of the exact
// one, so smr is too; x moves by at most ln(10) / (20 ln(2)) (1 - width / bin_count) < 0.17 of
// that, plus roundings of a few units in the last place of its terms. When x moved down and up
// by ESTIMATE_MARGIN (three times that bound, and a relative allowance for the roundings) gives
// the same count, the exact x, which lies between, gives it too: allocation_to_bits only grows
// with x. Otherwise, as when the approximation is exact, the band takes the exact route: its
// levels (coefficient_levels_for_peak into the levels scratch) and allocate_band_bits.
int band_bits_from_peak(const BandTable& bands, const double* coefficients,
                        const double* thresholds, int bin_count, int k, int b,
                        const BandExtremes& extremes, double* levels) {
  int first = 0;
  int last = -1;
  band_edges(bands, b, first, last);
  const int w = last - first + 1;
  bool exact = false;
  const double loudest = approximate_peak_coefficient_level(&extremes.peak, 0, 0, bin_count, exact);
  const double x = allocation_estimate(loudest - extremes.most_sensitive, w, bin_count, k);
  if (exact) return allocation_to_bits(x, w);
  if (w < bin_count) {
    const double margin = ESTIMATE_MARGIN + std::fabs(x) * 1e-12;
    const int below = allocation_to_bits(x - margin, w);
    if (below == allocation_to_bits(x + margin, w)) return below;
  }
  coefficient_levels_for_peak(coefficients, first, last, bin_count, levels);
  return allocate_band_bits(bands, levels, thresholds, bin_count, k, b);
}

}  // namespace

int encode_channel_block(const KernelTable& kernels, const BandTable& bands,
                         const double* coefficients, const double* thresholds, int bin_count,
                         uint8_t* packed) {
  if (!bin_count_usable(bands, bin_count)) return STATUS_SIZE;
  const int k_bias = allocation_bias(bin_count);
  // Per-call scratch on the stack keeps the block coder reentrant and allocation-free (about
  // 5 KB).
  double levels[MAX_CODED_BINS];

  // Extremes, bit counts, then scale factors: each pass's bands are independent of one another,
  // so their divisions and table lookups overlap instead of waiting band by band.
  double peaks[NUM_BANDS] = {};  // stays 0.0 for a band without bins
  double least[NUM_BANDS] = {};
  kernels.band_extremes(bands, coefficients, thresholds, peaks, least);
  uint8_t band_bits[NUM_BANDS] = {};
  for (int b = 0; b < NUM_BANDS; ++b) {
    int first = 0;
    int last = -1;
    band_edges(bands, b, first, last);
    if (last < first) continue;  // a band without bins: no bits, no scale factor, on both sides
    int n = band_bits_from_peak(bands, coefficients, thresholds, bin_count, k_bias, b,
                                {peaks[b], least[b]}, levels);
    if (n > MAX_BAND_BITS) n = MAX_BAND_BITS;
    if (n == 1) n = 2;  // a one-bit code could not hold a sign and a magnitude
    band_bits[b] = static_cast<uint8_t>(n);
  }
  int16_t scale_factors[NUM_BANDS] = {};  // stays 0 for a band with 0 bits
  double steps[NUM_BANDS] = {};
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] != 0) {
      scale_factors[b] = static_cast<int16_t>(choose_scale_factor(peaks[b], band_bits[b]));
      steps[b] = quant_step(scale_factors[b]);
    }
  }

  // The packed block's fields, as write_channel_frame lays them out: the scale factors of the
  // bands with bits, then the codes straight from the quantiser. They always fit: every count
  // is at most 15 and bin_count fits the packed block's worst case. A zero-bit band has no
  // field, as the bins outside every band have none.
  uint8_t* const stream = packed + BITSTREAM_START_BIT / 8;
  WordWriter out = word_writer(stream);
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] != 0) {
      put_word_bits(out, static_cast<uint32_t>(scale_factors[b]) & 0x3Fu, SCALE_FACTOR_BITS);
    }
  }
  kernels.quantise_bands(bands, coefficients, band_bits, steps, out);
  const uint32_t pos = BITSTREAM_START_BIT + finish_words(out, stream);
  // L = ceil(pos / 8) - 2: a field that ends on a byte boundary adds no byte.
  const uint16_t length = static_cast<uint16_t>((pos + 7) / 8 - 2);
  pack_band_bits(band_bits, packed + 2);
  store_le16(packed, length);
  return length;
}

int encode_channel_block(const BandTable& bands, const double* coefficients,
                         const double* thresholds, int bin_count, uint8_t* packed) {
  return encode_channel_block(host_kernel_table(), bands, coefficients, thresholds, bin_count,
                              packed);
}

namespace {

// decode_channel_block of a stream too short for its fields: read field by field, the missing
// bits as zeros, then the coefficients of what was read.
int decode_short_block(const BandTable& bands, const uint8_t band_bits[NUM_BANDS],
                       const uint8_t* stream, int32_t stream_bytes, double* coefficients) {
  int16_t scale_factors[NUM_BANDS];
  uint16_t codes[MAX_CODED_BINS];
  const int32_t end =
      read_channel_frame(bands, stream, stream_bytes, band_bits, scale_factors, codes);
  if (end == STATUS_BAND_BITS) return STATUS_BAND_BITS;
  if (end < 0) return STATUS_FIELDS;  // a damaged block stays silent
  for (int b = 0; b < NUM_BANDS; ++b) {
    const int bits = band_bits[b];
    if (bits == 0) continue;
    int first = 0;
    int last = -1;
    band_edges(bands, b, first, last);
    const double step = quant_step(scale_factors[b]);
    const int unused = 32 - bits;
    for (int k = first; k <= last; ++k) {
      const int32_t q = static_cast<int32_t>(static_cast<uint32_t>(codes[k]) << unused) >> unused;
      coefficients[k] = static_cast<double>(q) * step;
    }
  }
  return STATUS_OK;
}

}  // namespace

// A stream that holds every field (as every intact one does) is read and dequantised in one
// pass by the kernel, without the codes in between; a shorter one field by field.
int decode_channel_block(const KernelTable& kernels, const BandTable& bands,
                         const uint8_t band_bits[NUM_BANDS], const uint8_t* stream,
                         int32_t stream_bytes, double* coefficients, int bin_count) {
  if (!bin_count_usable(bands, bin_count)) return STATUS_SIZE;
  for (int k = 0; k < bin_count; ++k) coefficients[k] = 0.0;
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] > MAX_HEADER_BAND_BITS) return STATUS_BAND_BITS;
  }
  // Up to 2^28 bytes keeps the bit count within 32 bits; no packed block comes near it.
  const int32_t bytes = std::clamp(stream_bytes, 0, 1 << 28);
  if (field_bits(bands, band_bits) > static_cast<uint32_t>(bytes) * 8) {
    return decode_short_block(bands, band_bits, stream, bytes, coefficients);
  }
  WordReader in;
  word_reader(in, stream, bytes);
  uint32_t pos = 0;
  double steps[NUM_BANDS];
  for (int b = 0; b < NUM_BANDS; ++b) {
    if (band_bits[b] == 0) continue;
    steps[b] = QUANT_STEP[scale_factor_value(static_cast<uint32_t>(bits_at(in, pos)) & 0x3Fu) -
                          MIN_SCALE_FACTOR];
    pos += SCALE_FACTOR_BITS;
  }
  kernels.dequantise_bands(bands, in, pos, band_bits, steps, coefficients);
  return STATUS_OK;
}

int decode_channel_block(const BandTable& bands, const uint8_t band_bits[NUM_BANDS],
                         const uint8_t* stream, int32_t stream_bytes, double* coefficients,
                         int bin_count) {
  return decode_channel_block(host_kernel_table(), bands, band_bits, stream, stream_bytes,
                              coefficients, bin_count);
}

}  // namespace tarn
