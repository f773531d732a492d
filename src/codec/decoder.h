#pragma once
// The pull decoder: a DecoderState reads a stream through a read callback and hands out 16-bit
// stereo frames. decoder_open reads and checks the header and sizes the work storage from it;
// each decoder_read then decodes block after block as frames are asked for, and returns frames as
// soon as the block that finishes them is decoded: per block, both records are read, then both
// decompressed together, and per channel unpack, dequantise, windowed inverse MDCT; the frame's
// first half added to the previous block's second half gives the block's H output frames.
// Before its first frames a decoder has read the header and the records of blocks 0 and 1.
//
// Frames: block 0 only primes the overlap (its first half covers the zeros the encoder put before
// the input); block k >= 1 gives output frames (k - 1)H .. kH - 1. At most the header's
// sample_count frames are handed out; the blocks after them are still read and checked, so that
// damage there is reported too. A stream that ends cleanly (no left length word can be read)
// before sample_count frames gives STATUS_STREAM_SHORT after the last frame.
//
// Seeking (a decoder given a seek callback): the target frame f lies in the output of block
// t = f / H + 1, which needs the overlap of block t - 1. The records before block t - 1 are
// skipped by their length words alone (their payloads are neither read through the callback
// when the stream can seek past them, nor decompressed); block t - 1 is decoded to prime the
// overlap, and the first f - (t - 1)H frames of block t are dropped. An index of block offsets,
// filled as blocks go by, lets a later seek start from the nearest known block before its
// target.
//
// The decoder meets damaged and hostile streams. It never reads or writes out of bounds and
// never reports success for a failure: an unusable header decodes nothing; a block that is cut
// short or does not decode ends decoding there, after every frame decoded before it has been
// handed out. The output is always 16-bit stereo: the header's channel byte changes neither the
// number of records read per block nor the frame layout.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "coding/channel_record.h"
#include "kernels/kernel_table.h"
#include "format/stream_format.h"
#include "psycho/psycho_tables.h"
#include "codec/status.h"
#include "tarn/tarn.h"
#include "transform/mdct.h"

namespace tarn {

// The stream read through a buffer of its own. Decoding asks the callback for the bytes of the
// block it decodes and no more (the left length word, then the left payload with the right
// length word, then the right payload); a seek passing blocks asks for STREAM_CHUNK_BYTES at a
// time and looks only at their length words.
constexpr size_t STREAM_CHUNK_BYTES = 1 << 16;

// Byte offsets of blocks seen so far: entry i is the offset of block i * stride's left length
// word. When the entries run out, every other one is dropped and the stride doubles, so the index
// stays this size for a stream of any length (4096 entries: a 27-hour stream of 256-frame blocks
// keeps one entry per 4096 blocks, 24 s).
constexpr int BLOCK_INDEX_ENTRIES = 4096;
struct BlockIndex {
  uint64_t offset[BLOCK_INDEX_ENTRIES];
  int count = 0;         // entries filled: blocks 0, stride, 2 stride, ...
  int64_t stride = 1;    // blocks between two entries, a power of two
};

struct DecoderState {
  tarn_read_fn read = nullptr;
  tarn_seek_fn seek = nullptr;   // null: the decoder cannot seek
  void* user = nullptr;
  StreamHeader header;
  int half_frame = 0;            // H: frames per block; decoded frames are N = 2H samples
  int status = STATUS_OK;          // the first error; sticky
  bool ended = false;            // the stream ended cleanly after a whole block
  int64_t blocks_done = 0;       // blocks decoded or skipped; on damage, the block that failed
  int fault = STATUS_OK;           // a block's fault, reported once the frames before it are out
  bool primed = false;           // tail holds the second half of block blocks_done - 1
  uint64_t next_frame = 0;       // index of the next frame the overlap-add gives
  uint32_t drop = 0;             // frames of the next output still to drop (after a seek)
  size_t pending_pos = 0;        // next frame of pending to hand out
  size_t pending_count = 0;      // frames in pending

  // Stream buffer: chunk holds the bytes from stream offset chunk_base on.
  std::unique_ptr<uint8_t[]> chunk;  // STREAM_CHUNK_BYTES
  size_t chunk_pos = 0;              // next unread byte
  size_t chunk_size = 0;             // bytes in chunk
  uint64_t chunk_base = 0;           // stream offset of chunk[0]
  bool skipping = false;             // a seek passing blocks: the chunk is filled whole

  // Work storage, sized from H.
  std::unique_ptr<double[]> tail[2];          // H samples: the previous block's second half
  std::unique_ptr<double[]> sum[2];           // H samples: a block's finished output
  std::unique_ptr<double[]> coefficients[2];  // H dequantised coefficients per channel
  std::unique_ptr<double[]> window;           // N synthesis window samples
  std::unique_ptr<uint8_t[]> record[2];       // 2 + 4H bytes per channel: a record, length word
                                              // and payload
  std::unique_ptr<int16_t[]> pending;         // H frames, interleaved: a block's output
  std::unique_ptr<BlockIndex> index;          // seekable decoders only
  char message[96] = "";                      // tarn_decoder_message
  MdctScratch mdct;                           // the inverse MDCT's working arrays
  const KernelTable* kernels = nullptr;       // the CPU's kernels, chosen at open
  BandTable bands;                            // the header's band partition
};

// Reads and checks the header and allocates the work storage; seek may be null. Returns STATUS_OK
// or an error (STATUS_ARGUMENT, STATUS_READ, STATUS_HEADER_SHORT, STATUS_HALF_FRAME,
// STATUS_BANDS, STATUS_NO_MEMORY); s.header holds the header once it was read whole.
int decoder_open(DecoderState& s, tarn_read_fn read, tarn_seek_fn seek, void* user);
// Up to max_frames interleaved frames, 0 at the end, or the error (sticky).
long decoder_read(DecoderState& s, int16_t* frames, size_t max_frames);
// Positions s so that the next read returns frame `frame` on (see above). STATUS_OK, or
// STATUS_SEEK (no callback, or it failed), STATUS_ARGUMENT (beyond sample_count), or what
// reaching the target block met: STATUS_READ, STATUS_STREAM_SHORT, a damage code.
int decoder_seek(DecoderState& s, uint64_t frame);

}  // namespace tarn
