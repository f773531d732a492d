#pragma once
// The "tarn" stream file: a 12-byte header, then for every block one length-prefixed record per
// channel (left, then right). No magic, no block count, no index: the reader stops when the next
// left record's 2-byte length cannot be read whole. All fields little-endian.
//
//   StreamHeader (12 bytes)
//   off size  field           encoder writes
//    0   4    sample_count    input frames per channel
//    4   4    sample_rate     input rate, Hz (44100)
//    8   1    channel_count   2 (the decoder always reads two records per block)
//    9   1    window_type     WINDOW_KBD (see transform/window.h)
//   10   2    half_frame      HOP_SIZE: MDCT coefficients per block and channel
//
//   BlockRecord (2 + length bytes; written and read by coding/channel_record.h)
//    0   2    length          bytes of payload
//    2   len  payload         arithmetic-coded packed block without its length word
//
// Example: 88200 frames give 88 58 01 00 44 AC 00 00 02 01 00 01.

#include <cstdint>

#include "coding/block_coder.h"
#include "coding/channel_record.h"

namespace tarn {

constexpr int FRAME_SIZE = 512;  // samples per analysis frame (two hops)
constexpr int HOP_SIZE = 256;    // new samples per block = MDCT coefficients per block
static_assert(FRAME_SIZE == 2 * HOP_SIZE);

constexpr int STREAM_HEADER_BYTES = 12;

// Largest half_frame the decoder accepts: a 1024-byte channel frame holds at most MAX_CODED_BINS
// bins at 15 bits, and half_frame must be even (the transform length 2H is a multiple of 4).
// That also keeps a whole frame of 2H samples well inside the 32768-sample output buffers.
constexpr int MAX_HALF_FRAME = MAX_CODED_BINS - MAX_CODED_BINS % 2;

struct StreamHeader {
  uint32_t sample_count = 0;  // frames per channel
  uint32_t sample_rate = 0;   // Hz
  uint8_t channel_count = 0;
  uint8_t window_type = 0;    // WindowType
  uint16_t half_frame = 0;    // H: coefficients per block and channel; frames are 2H long
};

void pack_stream_header(const StreamHeader& header, uint8_t bytes[STREAM_HEADER_BYTES]);
StreamHeader unpack_stream_header(const uint8_t bytes[STREAM_HEADER_BYTES]);

}  // namespace tarn
