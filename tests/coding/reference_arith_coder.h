#pragma once
// The arithmetic coder's operations in their direct form, the reference of the identity tests:
// one bit per put_bit and get_bit, the renormalisation rule applied one bit at a time, and
// cumulative counts and the symbol search as linear scans over the counts. They work on the
// coder's own states and models, so that the tests can compare state for state.

#include <cstdint>
#include <vector>

#include "coding/arith_coder.h"
#include "coding/arith_decoder.h"
#include "coding/arith_encoder.h"

namespace tarn::reference {

inline void put_one_bit(ArithEncoder& e, uint32_t bit) {
  e.bit_buffer = ((e.bit_buffer << 1) | (bit & 1u)) & 0xFFu;
  e.bit_count += 1;
  if (e.bit_count == 8) {
    if (e.stream_pos < e.stream_capacity) {
      e.stream[e.stream_pos++] = static_cast<uint8_t>(e.bit_buffer);
    } else {
      e.stream_full = true;
    }
    e.bit_count = 0;
  }
}

inline void put_bit_plus_pending(ArithEncoder& e, uint32_t bit) {
  put_one_bit(e, bit);
  for (; e.pending_bits > 0; --e.pending_bits) put_one_bit(e, bit ^ 1u);
}

inline void encode_symbol(ArithEncoder& e, uint32_t cum_low, uint32_t cum_high, uint32_t total) {
  e.range_step = (e.range_high - e.range_low + 1) / total;
  e.range_high = e.range_low + e.range_step * cum_high - 1;
  e.range_low = e.range_low + e.range_step * cum_low;
  for (;;) {
    if (e.range_high < CODE_HALF) {
      put_bit_plus_pending(e, 0);
      e.range_low = 2 * e.range_low;
      e.range_high = 2 * e.range_high + 1;
    } else if (e.range_low >= CODE_HALF) {
      put_bit_plus_pending(e, 1);
      e.range_low = 2 * (e.range_low - CODE_HALF);
      e.range_high = 2 * (e.range_high - CODE_HALF) + 1;
    } else if (e.range_low >= CODE_FIRST_QUARTER && e.range_high < CODE_THIRD_QUARTER) {
      e.pending_bits += 1;
      e.range_low = 2 * (e.range_low - CODE_FIRST_QUARTER);
      e.range_high = 2 * (e.range_high - CODE_FIRST_QUARTER) + 1;
    } else {
      return;
    }
  }
}

inline void encode_finish(ArithEncoder& e) {
  if (e.range_low < CODE_FIRST_QUARTER) {
    put_one_bit(e, 0);
    for (uint32_t i = 0; i < e.pending_bits + 1; ++i) put_one_bit(e, 1);
  } else {
    put_one_bit(e, 1);
  }
  while (e.bit_count != 0) put_one_bit(e, 0);
}

// One byte at a time into the decoder's window.
inline uint32_t get_one_bit(ArithDecoder& d) {
  if (d.window_bits == 0) {
    const uint64_t byte = d.stream_pos < d.stream_length ? d.stream[d.stream_pos++] : 0u;
    d.bit_window = byte << 56;
    d.window_bits = 8;
  }
  const uint32_t bit = static_cast<uint32_t>(d.bit_window >> 63);
  d.bit_window <<= 1;
  d.window_bits -= 1;
  return bit;
}

inline void decode_update(ArithDecoder& d, uint32_t cum_low, uint32_t cum_high) {
  d.range_high = d.range_low + d.range_step * cum_high - 1;
  d.range_low = d.range_low + d.range_step * cum_low;
  for (;;) {
    uint32_t offset;
    if (d.range_high < CODE_HALF) {
      offset = 0;
    } else if (d.range_low >= CODE_HALF) {
      offset = CODE_HALF;
    } else if (d.range_low >= CODE_FIRST_QUARTER && d.range_high < CODE_THIRD_QUARTER) {
      offset = CODE_FIRST_QUARTER;
    } else {
      return;
    }
    d.range_low = 2 * (d.range_low - offset);
    d.range_high = 2 * (d.range_high - offset) + 1;
    d.code_value = 2 * (d.code_value - offset) + get_one_bit(d);
  }
}

// cum(symbol) by a scan, over either side's model.
template <typename Model>
uint32_t cumulative_count(const Model& coder, int symbol) {
  uint32_t cum = 0;
  for (int s = 0; s < symbol; ++s) cum += coder.symbol_counts[s];
  return cum;
}

// The first symbol s with cum(s) + symbol_counts[s] > target, by a scan.
template <typename Model>
int find_symbol(const Model& coder, uint32_t target, uint32_t& cum) {
  int s = 0;
  cum = 0;
  while (cum + coder.symbol_counts[s] <= target) cum += coder.symbol_counts[s++];
  return s;
}

inline std::vector<uint8_t> compress(const std::vector<uint8_t>& input) {
  std::vector<uint8_t> out(4 * input.size() + 16);
  ArithEncoder e;
  GroupModel m;
  coder_reset(e, out.data(), static_cast<int32_t>(out.size()));
  model_reset(m);
  for (uint8_t c : input) {
    const uint32_t cum = reference::cumulative_count(m, c);
    reference::encode_symbol(e, cum, cum + m.symbol_counts[c], m.total_count);
    m.symbol_counts[c] += 1;
    m.total_count += 1;
  }
  reference::encode_symbol(e, m.total_count - 1, m.total_count, m.total_count);
  reference::encode_finish(e);
  out.resize(static_cast<size_t>(e.stream_pos));
  return out;
}

// Decoded bytes, or the negative result of a damaged stream.
inline int32_t decompress(const std::vector<uint8_t>& input, std::vector<uint8_t>& out,
                          int32_t capacity) {
  out.assign(static_cast<size_t>(capacity), 0);
  ArithDecoder d;
  GroupModel m;
  coder_reset(d, input.data(), static_cast<int32_t>(input.size()));
  model_reset(m);
  int32_t decoded = 0;
  for (int i = 0; i < 31; ++i) d.code_value = 2 * d.code_value + get_one_bit(d);
  for (;;) {
    d.range_step = (d.range_high - d.range_low + 1) / m.total_count;
    const uint32_t t = (d.code_value - d.range_low) / d.range_step;
    if (t >= m.total_count) return STATUS_UNDECODABLE;
    uint32_t cum = 0;
    const int s = reference::find_symbol(m, t, cum);
    if (s < EOB_SYMBOL) {
      if (decoded >= capacity) return STATUS_OUTPUT_FULL;
      out[static_cast<size_t>(decoded++)] = static_cast<uint8_t>(s);
    }
    reference::decode_update(d, cum, cum + m.symbol_counts[s]);
    m.symbol_counts[s] += 1;
    m.total_count += 1;
    if (s == EOB_SYMBOL) {
      out.resize(static_cast<size_t>(decoded));
      return decoded;
    }
  }
}

}  // namespace tarn::reference
