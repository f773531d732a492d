#include "codec/decoder.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "coding/channel_record.h"
#include "format/byte_order.h"
#include "programs/wav_writer.h"
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

// Copies n bytes of the stream to out, refilling the chunk through the callback. SHORT: the
// stream ended first (the bytes there were are taken, as fread of one item does); FAILED: the
// callback reported a failure.
Fetch read_bytes(DecoderState& s, uint8_t* out, size_t n) {
  while (n > 0) {
    if (s.chunk_pos == s.chunk_size) {
      const long got = s.read(s.user, s.chunk.get(), STREAM_CHUNK_BYTES);
      if (got < 0) return Fetch::FAILED;
      s.chunk_pos = 0;
      s.chunk_size = got > static_cast<long>(STREAM_CHUNK_BYTES) ? STREAM_CHUNK_BYTES
                                                                  : static_cast<size_t>(got);
      if (s.chunk_size == 0) return Fetch::SHORT;
    }
    const size_t take = n < s.chunk_size - s.chunk_pos ? n : s.chunk_size - s.chunk_pos;
    std::memcpy(out, s.chunk.get() + s.chunk_pos, take);
    s.chunk_pos += take;
    out += take;
    n -= take;
  }
  return Fetch::WHOLE;
}

// Reads the next record (length word, then the payload it announces) into s.record[channel];
// bytes receives its size. Returns TARN_OK, or the record's fault: missing_code when the length
// word cannot be read whole, TARN_ERR_READ, or the damage code of a length above the payload
// buffer or a payload cut short.
int read_record(DecoderState& s, int channel, int missing_code, int32_t& bytes) {
  uint8_t* record = s.record[channel].get();
  const Fetch length_read = read_bytes(s, record, RECORD_LENGTH_BYTES);
  if (length_read == Fetch::FAILED) return TARN_ERR_READ;
  if (length_read == Fetch::SHORT) return missing_code;
  const int32_t length = record_payload_bytes(record, s.half_frame);
  if (length < 0) return damage_code(length);
  if (length != 0) {
    const Fetch payload_read = read_bytes(s, record + RECORD_LENGTH_BYTES, length);
    if (payload_read == Fetch::FAILED) return TARN_ERR_READ;
    if (payload_read == Fetch::SHORT) return TARN_ERR_RECORD_CUT;
  }
  bytes = RECORD_LENGTH_BYTES + length;
  return TARN_OK;
}

// Reads and decodes one block: TARN_OK with both channels' windowed inverse MDCT in
// s.time_block, 1 at the end of the stream (the next left length word cannot be read whole, a
// stray byte included), or the block's first fault in stream order: a fault of the left record
// comes before any of the right one, so a right record that cannot be read is reported only
// when the left one decodes.
constexpr int STREAM_END = 1;
int decode_block(DecoderState& s) {
  int32_t bytes[2] = {0, 0};
  const int left = read_record(s, 0, STREAM_END, bytes[0]);
  if (left != TARN_OK) return left;
  const int right = read_record(s, 1, TARN_ERR_RIGHT_MISSING, bytes[1]);
  if (right != TARN_OK) {
    const int left_decoded = damage_code(decode_channel_record(
        s.bands, s.record[0].get(), bytes[0], s.half_frame, s.coefficients[0].get()));
    return left_decoded != TARN_OK ? left_decoded : right;
  }
  const uint8_t* const records[2] = {s.record[0].get(), s.record[1].get()};
  double* const coefficients[2] = {s.coefficients[0].get(), s.coefficients[1].get()};
  int32_t statuses[2];
  decode_channel_records(s.bands, records, bytes, s.half_frame, coefficients, statuses);
  for (const int32_t status : statuses) {
    if (status != RECORD_OK) return damage_code(status);
  }
  const int n = 2 * s.half_frame;
  for (int c = 0; c < NUM_CHANNELS; ++c) {
    if (imdct_windowed(s.mdct, s.coefficients[c].get(), s.window.get(), s.time_block[c].get(), n) !=
        TRANSFORM_OK) {
      return TARN_ERR_NO_MEMORY;
    }
  }
  return TARN_OK;
}

// The output's sink: the frames a wrap or the final flush of the overlap-add finishes, into
// pending (empty whenever a block is decoded, and large enough for a whole buffer).
size_t take_frames(void* user, const uint8_t* frames, size_t count) {
  DecoderState& s = *static_cast<DecoderState*>(user);
  int16_t* out = s.pending.get() + 2 * s.pending_count;
  for (size_t i = 0; i < 2 * count; ++i) out[i] = static_cast<int16_t>(load_le16(frames + 2 * i));
  s.pending_count += count;
  return count;
}

// Checks what the decoder needs of a header before any buffer is sized from it, and builds the
// band partition: the decoder unpacks band by band, so it needs the encoder's partition.
int accept_header(DecoderState& s) {
  const int h = s.header.half_frame;
  if (h < 2 || h % 2 != 0 || h > MAX_HALF_FRAME) return TARN_ERR_HALF_FRAME;
  // Parameters whose bins run out before the last band describe no frame layout.
  if (band_partition(h, static_cast<int>(s.header.sample_rate >> 1), s.bands) != PSYCHO_OK) {
    return TARN_ERR_BANDS;
  }
  return TARN_OK;
}

bool allocate_storage(DecoderState& s) {
  const size_t h = static_cast<size_t>(s.half_frame);
  for (int c = 0; c < NUM_CHANNELS; ++c) {
    s.time_block[c] = allocate<double>(2 * h);
    s.coefficients[c] = allocate<double>(h);
    if (!s.time_block[c] || !s.coefficients[c]) return false;
  }
  s.window = allocate<double>(2 * h);
  for (std::unique_ptr<uint8_t[]>& record : s.record) {
    record = allocate<uint8_t>(RECORD_LENGTH_BYTES + RECORD_PAYLOAD_BYTES_PER_BIN * h);
    if (!record) return false;
  }
  s.pending = allocate<int16_t>(2 * static_cast<size_t>(CHANNEL_BUFFER_SAMPLES));
  if (!s.window || !s.pending) return false;
  return create_output_buffers(s.out[0], s.out[1]) == PCM_OK;
}

int fail(DecoderState& s, int code) {
  s.status = code;
  if (TARN_IS_DAMAGED(code)) {
    std::snprintf(s.message, sizeof s.message, "damaged at block %ld: %s", s.blocks_done,
                  tarn_strerror(code));
  } else {
    std::snprintf(s.message, sizeof s.message, "%s", tarn_strerror(code));
  }
  return code;
}

}  // namespace

int damage_code(int32_t record_status) {
  if (record_status == RECORD_OK) return TARN_OK;
  for (const DamageCode& d : DAMAGE_CODES) {
    if (d.record_status == record_status) return d.code;
  }
  return TARN_ERR_BIT_STREAM;
}

int32_t record_status_of(int damage_code) {
  for (const DamageCode& d : DAMAGE_CODES) {
    if (d.code == damage_code) return d.record_status;
  }
  return RECORD_ERR_FIELDS;
}

int decoder_open(DecoderState& s, tarn_read_fn read, void* user) {
  if (read == nullptr) return fail(s, TARN_ERR_ARGUMENT);
  s.read = read;
  s.user = user;
  s.chunk = allocate<uint8_t>(STREAM_CHUNK_BYTES);
  if (!s.chunk) return fail(s, TARN_ERR_NO_MEMORY);
  uint8_t header_bytes[STREAM_HEADER_BYTES];
  const Fetch header_read = read_bytes(s, header_bytes, STREAM_HEADER_BYTES);
  if (header_read == Fetch::FAILED) return fail(s, TARN_ERR_READ);
  if (header_read == Fetch::SHORT) return fail(s, TARN_ERR_HEADER_SHORT);
  s.header = unpack_stream_header(header_bytes);
  const int accepted = accept_header(s);
  if (accepted != TARN_OK) return fail(s, accepted);
  s.half_frame = s.header.half_frame;
  if (!allocate_storage(s) || mdct_init(s.mdct, 2 * s.half_frame) != TRANSFORM_OK) {
    return fail(s, TARN_ERR_NO_MEMORY);
  }
  build_coding_window(s.window.get(), 2 * s.half_frame, s.header.window_type);
  s.output.sample_count = s.header.sample_count;
  s.output.sink = take_frames;
  s.output.sink_user = &s;
  return TARN_OK;
}

long decoder_read(DecoderState& s, int16_t* frames, size_t max_frames) {
  if (s.status != TARN_OK) return s.status;
  if (frames == nullptr || max_frames == 0) return TARN_ERR_ARGUMENT;
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
    if (s.fault != TARN_OK) {
      fail(s, s.fault);
      break;
    }
    if (s.ended) break;
    s.pending_pos = 0;
    s.pending_count = 0;
    const int block = decode_block(s);
    if (block != TARN_OK) {
      // The end, or a fault: the frames finished before it go out first.
      flush_output(s.output, s.out[0], s.out[1]);
      if (block == STREAM_END) {
        s.ended = true;
      } else {
        s.fault = block;
      }
      continue;
    }
    const int n = 2 * s.half_frame;
    overlap_add_frame(s.output, s.out[0], s.out[1], s.time_block[0].get(), 0, n, s.half_frame);
    overlap_add_frame(s.output, s.out[0], s.out[1], s.time_block[1].get(), 1, n, s.half_frame);
    ++s.blocks_done;
  }
  // Frames taken before a failure go out first; the failure comes with the next call.
  if (done > 0) return static_cast<long>(done);
  return s.status;
}

}  // namespace tarn
