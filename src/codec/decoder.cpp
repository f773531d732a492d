#include "codec/decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "codec/pcm16.h"
#include "coding/channel_record.h"
#include "psycho/psycho_tables.h"
#include "transform/mdct.h"
#include "transform/window.h"

namespace tarn {
namespace {

static_assert(TARN_MAX_HALF_FRAME == MAX_HALF_FRAME);

constexpr int NUM_CHANNELS = 2;  // c: 0 left, 1 right

template <typename T>
std::unique_ptr<T[]> allocate(size_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// Step: the outcome of one read of the stream.
enum class Fetch { WHOLE, SHORT, FAILED };

// Makes sure the chunk has an unread byte, refilling it through the callback with a request for
// `want` bytes (at most the chunk). SHORT: the stream has ended; FAILED: the callback reported a
// failure.
Fetch refill(DecoderState& s, size_t want) {
  if (s.chunk_pos < s.chunk_size) return Fetch::WHOLE;
  const size_t ask = want < STREAM_CHUNK_BYTES ? want : STREAM_CHUNK_BYTES;
  const long got = s.read(s.user, s.chunk.get(), ask);
  if (got < 0) return Fetch::FAILED;
  s.chunk_base += s.chunk_size;
  s.chunk_pos = 0;
  s.chunk_size = got > static_cast<long>(ask) ? ask : static_cast<size_t>(got);
  return s.chunk_size == 0 ? Fetch::SHORT : Fetch::WHOLE;
}

// Copies n bytes of the stream to out. SHORT: the stream ended first (the bytes there were are
// taken, as fread of one item does); FAILED: the callback reported a failure. When the chunk runs
// dry the callback is asked for what is still missing plus `ahead` bytes known to come next in
// the same block, and no more: a decoder reads only the records of the blocks it decodes.
Fetch read_bytes(DecoderState& s, uint8_t* out, size_t n, size_t ahead = 0) {
  while (n > 0) {
    const Fetch more = refill(s, n + ahead);
    if (more != Fetch::WHOLE) return more;
    const size_t take = n < s.chunk_size - s.chunk_pos ? n : s.chunk_size - s.chunk_pos;
    std::memcpy(out, s.chunk.get() + s.chunk_pos, take);
    s.chunk_pos += take;
    out += take;
    n -= take;
  }
  return Fetch::WHOLE;
}

// The stream offset of the next unread byte.
uint64_t stream_offset(const DecoderState& s) { return s.chunk_base + s.chunk_pos; }

// Moves the read position to stream offset `offset`; the chunk is emptied.
int seek_to(DecoderState& s, uint64_t offset) {
  if (s.seek(s.user, offset) != 0) return STATUS_SEEK;
  s.chunk_base = offset;
  s.chunk_pos = 0;
  s.chunk_size = 0;
  return STATUS_OK;
}

// Passes n bytes of the stream: inside the chunk by moving the cursor, beyond it by a seek, so
// that a skipped payload is never read through the callback.
int skip_bytes(DecoderState& s, size_t n) {
  if (n <= s.chunk_size - s.chunk_pos) {
    s.chunk_pos += n;
    return STATUS_OK;
  }
  return seek_to(s, stream_offset(s) + n);
}

// Notes where block s.blocks_done starts, when the index keeps an entry for it.
void index_block(DecoderState& s) {
  BlockIndex* index = s.index.get();
  if (index == nullptr || s.blocks_done % index->stride != 0) return;
  const int64_t entry = s.blocks_done / index->stride;
  if (entry != index->count) return;  // known already, or beyond a gap in what was seen
  if (index->count == BLOCK_INDEX_ENTRIES) {
    for (int i = 0; i < BLOCK_INDEX_ENTRIES / 2; ++i) index->offset[i] = index->offset[2 * i];
    index->count = BLOCK_INDEX_ENTRIES / 2;
    index->stride *= 2;
    if (s.blocks_done % index->stride != 0 || s.blocks_done / index->stride != index->count) {
      return;
    }
  }
  index->offset[index->count++] = stream_offset(s);
}

// Reads a record's length word into record; the payload bytes it announces in length. Returns
// STATUS_OK, missing_code when the word cannot be read whole, STATUS_READ, or the damage code of
// a length above the payload buffer.
int read_length(DecoderState& s, uint8_t* record, int missing_code, int32_t& length) {
  // While skipping, whole chunks: the length words are all that is looked at, and a payload that
  // lies in the chunk is passed without a callback.
  if (s.skipping && refill(s, STREAM_CHUNK_BYTES) == Fetch::FAILED) return STATUS_READ;
  const Fetch length_read = read_bytes(s, record, RECORD_LENGTH_BYTES);
  if (length_read == Fetch::FAILED) return STATUS_READ;
  if (length_read == Fetch::SHORT) return missing_code;
  length = record_payload_bytes(record, s.half_frame);
  return length < 0 ? length : STATUS_OK;
}

// Reads the next record (length word, then the payload it announces) into s.record[channel];
// bytes receives its size. Returns STATUS_OK, or the record's fault: missing_code when the length
// word cannot be read whole, STATUS_READ, or the damage code of a length above the payload
// buffer or a payload cut short.
int read_record(DecoderState& s, int channel, int missing_code, int32_t& bytes) {
  uint8_t* record = s.record[channel].get();
  int32_t length = 0;
  const int status = read_length(s, record, missing_code, length);
  if (status != STATUS_OK) return status;
  if (length != 0) {
    // The left payload comes with the right record's length word.
    const size_t ahead = channel == 0 ? RECORD_LENGTH_BYTES : 0;
    const Fetch payload_read = read_bytes(s, record + RECORD_LENGTH_BYTES, length, ahead);
    if (payload_read == Fetch::FAILED) return STATUS_READ;
    if (payload_read == Fetch::SHORT) return STATUS_RECORD_CUT;
  }
  bytes = RECORD_LENGTH_BYTES + length;
  return STATUS_OK;
}

// Reads and decodes one block: STATUS_OK with both channels' windowed inverse MDCT overlapped
// into s.sum and s.tail, STREAM_END at the end of the stream (the next left length word cannot
// be read whole, a stray byte included), or the block's first fault in stream order: a fault of
// the left record comes before any of the right one, so a right record that cannot be read is
// reported only when the left one decodes.
constexpr int STREAM_END = 1;
int decode_block(DecoderState& s) {
  index_block(s);
  int32_t bytes[2] = {0, 0};
  const int left = read_record(s, 0, STREAM_END, bytes[0]);
  if (left != STATUS_OK) return left;
  const int right = read_record(s, 1, STATUS_RIGHT_MISSING, bytes[1]);
  if (right != STATUS_OK) {
    const int left_decoded = decode_channel_record(
        s.bands, s.record[0].get(), bytes[0], s.half_frame, s.coefficients[0].get());
    return left_decoded != STATUS_OK ? left_decoded : right;
  }
  const uint8_t* const records[2] = {s.record[0].get(), s.record[1].get()};
  double* const coefficients[2] = {s.coefficients[0].get(), s.coefficients[1].get()};
  int32_t statuses[2];
  decode_channel_records(*s.kernels, s.bands, records, bytes, s.half_frame, coefficients, statuses);
  for (const int32_t status : statuses) {
    if (status != STATUS_OK) return status;
  }
  // The windowed inverse MDCT and the overlap-add in one pass: once primed, the first half
  // plus the held one into sum; the second half replaces the held one.
  const int n = 2 * s.half_frame;
  for (int c = 0; c < NUM_CHANNELS; ++c) {
    double* const tail = s.tail[c].get();
    if (imdct_overlap(s.mdct, s.coefficients[c].get(), s.window.get(), s.primed ? tail : nullptr,
                      s.sum[c].get(), tail, n) != STATUS_OK) {
      return STATUS_NO_MEMORY;
    }
  }
  return STATUS_OK;
}

// Passes the block at the read position by its two length words alone: STATUS_OK, STREAM_END, or
// the fault a decode would meet first among those the length words show.
int skip_block(DecoderState& s) {
  index_block(s);
  s.skipping = true;
  int32_t length = 0;
  int status = read_length(s, s.record[0].get(), STREAM_END, length);
  if (status == STATUS_OK) status = skip_bytes(s, static_cast<size_t>(length));
  if (status == STATUS_OK) status = read_length(s, s.record[1].get(), STATUS_RIGHT_MISSING, length);
  if (status == STATUS_OK) status = skip_bytes(s, static_cast<size_t>(length));
  s.skipping = false;
  return status;
}

// The output of a decoded block, whose overlap-add decode_block has done: block k >= 1 finishes
// frames (k - 1)H .. kH - 1 (its first half plus the held second half of block k - 1, in sum)
// and converts the ones still wanted (after a seek's drop, and below sample_count) into
// pending. Every block holds its own second half for the next (in tail).
void overlap_add(DecoderState& s) {
  const int h = s.half_frame;
  if (s.primed) {
    const uint64_t first = s.next_frame + s.drop;
    const uint64_t end = s.next_frame + static_cast<uint64_t>(h);
    const uint64_t stop = end < s.header.sample_count ? end : s.header.sample_count;
    if (first < stop) {
      const int from = static_cast<int>(first - s.next_frame);
      s.kernels->pcm16_frames(s.sum[0].get() + from, s.sum[1].get() + from, s.pending.get(),
                              static_cast<int>(stop - first));
      s.pending_count = static_cast<size_t>(stop - first);
    }
    s.drop = 0;
    s.next_frame = end;
  }
  s.primed = true;
}

// Checks what the decoder needs of a header before any buffer is sized from it, and builds the
// band partition: the decoder unpacks band by band, so it needs the encoder's partition.
int accept_header(DecoderState& s) {
  const int h = s.header.half_frame;
  if (h < 2 || h % 2 != 0 || h > MAX_HALF_FRAME) return STATUS_HALF_FRAME;
  // Parameters whose bins run out before the last band describe no frame layout.
  if (band_partition(h, static_cast<int>(s.header.sample_rate >> 1), s.bands) != STATUS_OK) {
    return STATUS_BANDS;
  }
  return STATUS_OK;
}

bool allocate_storage(DecoderState& s) {
  const size_t h = static_cast<size_t>(s.half_frame);
  for (int c = 0; c < NUM_CHANNELS; ++c) {
    s.tail[c] = allocate<double>(h);
    s.sum[c] = allocate<double>(h);
    s.coefficients[c] = allocate<double>(h);
    if (!s.tail[c] || !s.sum[c] || !s.coefficients[c]) return false;
  }
  s.window = allocate<double>(2 * h);
  for (std::unique_ptr<uint8_t[]>& record : s.record) {
    record = allocate<uint8_t>(RECORD_LENGTH_BYTES + RECORD_PAYLOAD_BYTES_PER_BIN * h);
    if (!record) return false;
  }
  s.pending = allocate<int16_t>(2 * h);
  if (s.seek != nullptr) {
    s.index.reset(new (std::nothrow) BlockIndex);
    if (!s.index) return false;
  }
  return s.window && s.pending;
}

int fail(DecoderState& s, int code) {
  s.status = code;
  if (is_damage(code)) {
    std::snprintf(s.message, sizeof s.message, "damaged at block %lld: %s",
                  static_cast<long long>(s.blocks_done), status_text(code));
  } else {
    std::snprintf(s.message, sizeof s.message, "%s", status_text(code));
  }
  return code;
}

// Errors a seek may clear: what the stream held where the decoder stopped, not a fault of the
// handle itself.
bool seek_may_clear(int status) {
  return status == STATUS_OK || status == STATUS_STREAM_SHORT || is_damage(status);
}

}  // namespace

int decoder_open(DecoderState& s, tarn_read_fn read, tarn_seek_fn seek, void* user) {
  if (read == nullptr) return fail(s, STATUS_ARGUMENT);
  s.read = read;
  s.seek = seek;
  s.user = user;
  s.kernels = &host_kernel_table();
  s.chunk = allocate<uint8_t>(STREAM_CHUNK_BYTES);
  if (!s.chunk) return fail(s, STATUS_NO_MEMORY);
  uint8_t header_bytes[STREAM_HEADER_BYTES];
  const Fetch header_read = read_bytes(s, header_bytes, STREAM_HEADER_BYTES);
  if (header_read == Fetch::FAILED) return fail(s, STATUS_READ);
  if (header_read == Fetch::SHORT) return fail(s, STATUS_HEADER_SHORT);
  s.header = unpack_stream_header(header_bytes);
  const int accepted = accept_header(s);
  if (accepted != STATUS_OK) return fail(s, accepted);
  s.half_frame = s.header.half_frame;
  if (!allocate_storage(s) || mdct_init(s.mdct, 2 * s.half_frame) != STATUS_OK) {
    return fail(s, STATUS_NO_MEMORY);
  }
  build_coding_window(s.window.get(), 2 * s.half_frame, s.header.window_type);
  if (s.index) {
    // Block 0 starts right after the header.
    s.index->offset[0] = STREAM_HEADER_BYTES;
    s.index->count = 1;
  }
  return STATUS_OK;
}

long decoder_read(DecoderState& s, int16_t* frames, size_t max_frames) {
  if (s.status != STATUS_OK) return s.status;
  if (frames == nullptr || max_frames == 0) return STATUS_ARGUMENT;
  size_t done = 0;
  while (done < max_frames) {
    if (s.pending_pos < s.pending_count) {
      const size_t left = s.pending_count - s.pending_pos;
      const size_t n = left < max_frames - done ? left : max_frames - done;
      std::memcpy(frames + 2 * done, s.pending.get() + 2 * s.pending_pos,
                  sizeof(int16_t) * 2 * n);
      s.pending_pos += n;
      done += n;
      continue;
    }
    // Frames decoded before an end or a fault go out first; the fault comes with the next call.
    if (done > 0 && (s.fault != STATUS_OK || s.ended)) break;
    if (s.fault != STATUS_OK) return fail(s, s.fault);
    if (s.ended) {
      if (s.next_frame < s.header.sample_count) return fail(s, STATUS_STREAM_SHORT);
      return 0;
    }
    s.pending_pos = 0;
    s.pending_count = 0;
    const int block = decode_block(s);
    if (block == STREAM_END) {
      s.ended = true;
    } else if (block != STATUS_OK) {
      s.fault = block;
    } else {
      overlap_add(s);
      ++s.blocks_done;
    }
  }
  return static_cast<long>(done);
}

int decoder_seek(DecoderState& s, uint64_t frame) {
  if (!seek_may_clear(s.status)) return s.status;
  if (s.seek == nullptr) return STATUS_SEEK;
  if (frame > s.header.sample_count) return STATUS_ARGUMENT;
  const int64_t h = s.half_frame;
  // Block t = frame / H + 1 gives the frame; block t - 1 primes its overlap.
  const int64_t prime = static_cast<int64_t>(frame / static_cast<uint64_t>(h));
  // After an end or a fault the read position may lie inside a block: start again from the index.
  const bool at_block = s.status == STATUS_OK && s.fault == STATUS_OK && !s.ended;
  s.status = STATUS_OK;
  s.fault = STATUS_OK;
  s.message[0] = '\0';
  s.pending_pos = s.pending_count = 0;
  s.primed = false;
  // Start from the read position when it lies between the nearest indexed block and the target,
  // else from that block.
  const BlockIndex& index = *s.index;
  const int64_t known = std::min<int64_t>(prime / index.stride, index.count - 1);  // count >= 1
  const int64_t from = known * index.stride;
  if (!at_block || s.blocks_done > prime || s.blocks_done < from) {
    const int moved = seek_to(s, index.offset[known]);
    if (moved != STATUS_OK) return fail(s, moved);
    s.blocks_done = from;
  }
  s.ended = false;
  while (s.blocks_done < prime) {
    const int skipped = skip_block(s);
    if (skipped == STREAM_END) {
      // The stream holds fewer blocks than the header's frames need.
      s.ended = true;
      s.next_frame = static_cast<uint64_t>(s.blocks_done) * static_cast<uint64_t>(h);
      return fail(s, STATUS_STREAM_SHORT);
    }
    if (skipped != STATUS_OK) return fail(s, skipped);
    ++s.blocks_done;
  }
  // Block `prime` comes first (only its second half is kept), then block prime + 1 gives frames
  // from prime * H on, of which the ones before `frame` are dropped.
  s.next_frame = static_cast<uint64_t>(prime) * static_cast<uint64_t>(h);
  s.drop = static_cast<uint32_t>(frame - s.next_frame);
  return STATUS_OK;
}

}  // namespace tarn
