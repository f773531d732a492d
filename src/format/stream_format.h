#pragma once
// The tarn stream: every byte of it, in one place. All multi-byte fields are little-endian
// (format/byte_order.h); bit fields go least significant bit first.
//
//   stream
//   +--------------------------------------------------------------------------------------+
//   | header, 12 bytes | block 0 | block 1 | ... | block B-1            (no magic, no index) |
//   +--------------------------------------------------------------------------------------+
//     off size  header field    encoder writes
//      0   4    sample_count    frames of input (0xFFFFFFFF while a stream of unknown length
//                               is being written)
//      4   4    sample_rate     44100 (Hz)
//      8   1    channel_count   2 (the decoder always reads two records per block)
//      9   1    window_type     WINDOW_KBD = 1 (transform/window.h)
//     10   2    half_frame      the hop, 256: coefficients per block and channel
//
//   block k (B = ceil(sample_count / 256) + 1 of them; the reader stops where the next left
//   length word cannot be read whole)
//   +-----------------------+------------------------+
//   | left record           | right record           |
//   +-----------------------+------------------------+
//
//   record (2 + L bytes, L <= 4 * hop)
//     off size  field
//      0   2    L               payload bytes
//      2   L    payload         the packed block's bytes 2 .. L+1, arithmetic coded
//                               (coding/arith_coder.h, an adaptive order-0 model of bytes)
//
//   packed block (ChannelFrame, 1024 bytes, format/channel_frame.h; decompressed payload)
//     off size  field
//      0   2    L               its own length word: only inside the encoder, never stored
//      2  14    band header     25 four-bit band bit counts, two per byte (band 2i low nibble,
//                               2i+1 high), band 24 alone in byte 14, byte 15 zero
//     16   ..   bit stream      from bit 128 of the packed block: a 6-bit scale factor for each
//                               band with bits (band order), then every bin's code, band by band,
//                               band_bits[b] bits each
//
//   fields: bit p of the packed block is bit p mod 8 of byte p / 8 (bit 0 least significant);
//   each value is written least significant bit first. A band's bins are the ones
//   format/band_partition.h gives for (hop, sample_rate / 2).
//
// Example: the header of 88200 frames is 88 58 01 00 44 AC 00 00 02 01 00 01. A silent block's
// record is 0B 00 00 00 00 00 00 00 00 00 00 0D 88: 11 payload bytes that decompress to a
// band header of zeros.
//
// Glossary, one word per meaning:
//   frame         one stereo sample pair (a left and a right 16-bit sample) of the input or the
//                 output; counts of audio (sample_count, pushed, decoded) are in frames.
//   hop           the 256 new frames each block brings: HOP_SIZE, the header's half_frame, the
//                 bin count of the bands and the coder, H in the decoder, m in the transforms.
//   transform span  the 512 samples of one channel a block transforms, two hops: FRAME_SIZE.
//   block         the unit of the stream: one hop of both channels, stored as two records.
//   record        one channel's part of a block: a length word and a payload.
//   payload       a record's arithmetic-coded bytes.
//   packed block  one channel's block before arithmetic coding: band header and bit stream
//                 (ChannelFrame in the code).
//   band          one of the 25 groups of consecutive bins on the Bark scale.

#include <cstdint>

#include "format/channel_frame.h"

namespace tarn {

constexpr int FRAME_SIZE = 512;  // samples per channel a block transforms: two hops
constexpr int HOP_SIZE = 256;    // the hop: new frames per block = MDCT coefficients per block
static_assert(FRAME_SIZE == 2 * HOP_SIZE);

constexpr int STREAM_HEADER_BYTES = 12;

constexpr int RECORD_LENGTH_BYTES = 2;
// The largest record encode_channel_record writes: the length word and a payload that fits the
// CHANNEL_FRAME_BYTES the compressor is given.
constexpr int MAX_RECORD_BYTES = RECORD_LENGTH_BYTES + CHANNEL_FRAME_BYTES;
// A decoder of H bins takes payloads of up to 4H bytes, and decompresses into as many.
constexpr int RECORD_PAYLOAD_BYTES_PER_BIN = 4;


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
