#include "driver/decoder_loop.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "coding/arith_coder.h"
#include "coding/block_coder.h"
#include "coding/channel_frame.h"
#include "driver/file_handle.h"
#include "driver/interruption.h"
#include "driver/stream_format.h"
#include "pcm/byte_order.h"
#include "pcm/wav_writer.h"
#include "psycho/psycho_tables.h"
#include "transform/mdct.h"
#include "transform/window.h"

namespace tarn {
namespace {

constexpr int NUM_CHANNELS = 2;  // c: 0 left, 1 right

template <typename T>
std::unique_ptr<T[]> allocate(size_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// The stream file read through a buffer of its own: a block's four small reads (two length
// words, two payloads) become copies, and the file is read in STREAM_CHUNK_BYTES pieces. A read
// that cannot be served whole fails after taking what there was, as fread of one item does.
constexpr size_t STREAM_CHUNK_BYTES = 1 << 16;

struct StreamReader {
  std::FILE* file;
  uint8_t* chunk;   // STREAM_CHUNK_BYTES (DecoderStorage::chunk)
  size_t pos = 0;   // next unread byte of chunk
  size_t size = 0;  // bytes in chunk
};

bool read_bytes(StreamReader& r, uint8_t* out, size_t n) {
  while (n > 0) {
    if (r.pos == r.size) {
      r.size = std::fread(r.chunk, 1, STREAM_CHUNK_BYTES, r.file);
      r.pos = 0;
      if (r.size == 0) return false;
    }
    const size_t take = n < r.size - r.pos ? n : r.size - r.pos;
    std::memcpy(out, r.chunk + r.pos, take);
    r.pos += take;
    out += take;
    n -= take;
  }
  return true;
}

// Work storage, sized from the header's half_frame H (frames are N = 2H long).
struct DecoderStorage {
  std::unique_ptr<double[]> time_block[NUM_CHANNELS];    // N windowed inverse-MDCT samples
  std::unique_ptr<double[]> coefficients[NUM_CHANNELS];  // H dequantised coefficients
  std::unique_ptr<double[]> window;                      // N synthesis window samples
  std::unique_ptr<uint8_t[]> payload[NUM_CHANNELS];      // 4H bytes: one record's coded bytes
  std::unique_ptr<uint8_t[]> block;  // 4H bytes: one record's decompressed bytes, both channels
  std::unique_ptr<uint8_t[]> chunk;  // STREAM_CHUNK_BYTES: the stream reader's buffer
};

bool allocate_storage(DecoderStorage& s, int half_frame) {
  const size_t n = 2 * static_cast<size_t>(half_frame);
  const size_t record_bytes = 4 * static_cast<size_t>(half_frame);
  for (int c = 0; c < NUM_CHANNELS; ++c) {
    s.time_block[c] = allocate<double>(n);
    s.coefficients[c] = allocate<double>(half_frame);
    s.payload[c] = allocate<uint8_t>(record_bytes);
    if (!s.time_block[c] || !s.coefficients[c] || !s.payload[c]) return false;
  }
  s.window = allocate<double>(n);
  s.block = allocate<uint8_t>(record_bytes);
  s.chunk = allocate<uint8_t>(STREAM_CHUNK_BYTES);
  return s.window && s.block && s.chunk;
}

// Reads one channel's record whose length has been read already, and decodes it into
// coefficients. Returns nullptr on success, else what is wrong with the record.
const char* decode_record(StreamReader& stream, uint16_t length, int half_frame, int channel,
                          DecoderStorage& s) {
  const int32_t capacity = 4 * half_frame;
  if (length > capacity) return "record length above the payload buffer";
  uint8_t* payload = s.payload[channel].get();
  if (length != 0 && !read_bytes(stream, payload, length)) return "record cut short";
  uint8_t* block = s.block.get();
  const int32_t decoded = arith_decompress(payload, block, length, capacity);
  if (decoded < 0) return "payload does not decode";
  if (decoded < BAND_HEADER_BYTES) return "payload shorter than its band header";
  uint8_t band_header[BAND_HEADER_BYTES];
  std::memcpy(band_header, block, BAND_HEADER_BYTES);
  std::memmove(block, block + BAND_HEADER_BYTES, decoded - BAND_HEADER_BYTES);
  uint8_t band_bits[NUM_BANDS];
  unpack_band_bits(band_header, band_bits);
  if (decode_channel_block(band_bits, block, decoded - BAND_HEADER_BYTES,
                           s.coefficients[channel].get(), half_frame) != CODING_OK) {
    return "bit stream shorter than its fields";
  }
  return nullptr;
}

// Decodes blocks until the stream ends, a block fails, the run is interrupted or the output
// holds stop_at frames. Returns DECODE_OK at the end of the stream; on failure the block counter
// names the block that failed.
int decode_blocks(StreamReader& stream, const char* stream_path, WavFile& wav, ChannelBuffer* out,
                  int half_frame, DecoderStorage& s, int& blocks, uint32_t stop_at) {
  const int n = 2 * half_frame;
  uint8_t length_bytes[RECORD_LENGTH_BYTES];
  // End of stream: the next left length cannot be read whole (a stray byte included).
  while (read_bytes(stream, length_bytes, RECORD_LENGTH_BYTES)) {
    for (int c = 0; c < NUM_CHANNELS; ++c) {
      if (c == 1 && !read_bytes(stream, length_bytes, RECORD_LENGTH_BYTES)) {
        std::printf("Error, %s is damaged at block %d: right record missing\n", stream_path,
                    blocks);
        return DECODE_ERR_DAMAGED;
      }
      const char* fault = decode_record(stream, load_le16(length_bytes), half_frame, c, s);
      if (fault != nullptr) {
        std::printf("Error, %s is damaged at block %d: %s\n", stream_path, blocks, fault);
        return DECODE_ERR_DAMAGED;
      }
    }
    for (int c = 0; c < NUM_CHANNELS; ++c) {
      if (imdct_windowed(s.time_block[c].get(), s.window.get(), s.coefficients[c].get(), n) !=
          TRANSFORM_OK) {
        std::printf("Error, out of memory\n");
        return DECODE_ERR_NO_MEMORY;
      }
    }
    for (int c = 0; c < NUM_CHANNELS; ++c) {
      overlap_add_frame(wav, out[0], out[1], s.time_block[c].get(), c, n, half_frame);
    }
    ++blocks;
    if (std::ferror(wav.file)) return DECODE_ERR_WRITE;
    if (interrupted()) return DECODE_ERR_INTERRUPTED;
    if (wav.samples_done == stop_at) return DECODE_ERR_WAV_LIMIT;
  }
  return DECODE_OK;
}

// Checks what the decoder needs of a header before any buffer is sized from it, and builds the
// band partition. Prints the reason and returns false for a header it cannot use.
bool accept_header(const StreamHeader& header, const char* stream_path) {
  const int h = header.half_frame;
  if (h < 2 || h % 2 != 0 || h > MAX_HALF_FRAME) {
    std::printf("Error, %s has an unusable header: half_frame %d (even, 2 to %d)\n", stream_path,
                h, MAX_HALF_FRAME);
    return false;
  }
  // The decoder unpacks band by band, so it needs the encoder's partition; parameters whose
  // bins run out before the last band describe no frame layout.
  const int psycho = psycho_init(h, static_cast<int>(header.sample_rate >> 1));
  if (psycho == PSYCHO_ERR_NO_MEMORY) {
    std::printf("Error, out of memory\n");
    return false;
  }
  if (psycho != PSYCHO_OK) {
    std::printf("Error, %s has an unusable header: %d bins at %u Hz do not fill the bands\n",
                stream_path, h, header.sample_rate);
    return false;
  }
  return true;
}

}  // namespace

int run_synthesis(const char* stream_path, const char* wav_path) {
  FilePtr stream = open_for_reading(stream_path);
  if (!stream) {
    std::printf("Error, cannot open %s\n", stream_path);
    return DECODE_ERR_OPEN;
  }
  uint8_t header_bytes[STREAM_HEADER_BYTES];
  if (std::fread(header_bytes, STREAM_HEADER_BYTES, 1, stream.get()) != 1) {
    std::printf("Error, %s is too short for a stream header\n", stream_path);
    return DECODE_ERR_HEADER;
  }
  const StreamHeader header = unpack_stream_header(header_bytes);
  if (!accept_header(header, stream_path)) {
    psycho_free();
    return DECODE_ERR_HEADER;
  }
  FilePtr output = create_for_direct_writing(wav_path);
  if (!output) {
    psycho_free();
    std::printf("Error, cannot create %s\n", wav_path);
    return DECODE_ERR_OPEN;
  }

  std::printf("File info: %d %d %d %d ", static_cast<int>(header.sample_count),
              header.half_frame, static_cast<int>(header.sample_rate), header.channel_count);
  WavFile wav;
  wav.file = output.get();
  wav.sample_rate = static_cast<int32_t>(header.sample_rate);
  wav.bits_per_sample = 16;
  // The decoder reads two records per block and writes 16-bit stereo frames whatever the
  // header's channel byte says; a WAV header with another count would describe sizes and a frame
  // layout that the data does not have (a 3 would claim half again the bytes written).
  wav.channel_count = NUM_CHANNELS;
  wav.sample_count = header.sample_count;
  wav.samples_done = 0;
  ChannelBuffer out[NUM_CHANNELS];
  DecoderStorage s;
  if (create_output_buffers(out[0], out[1]) != PCM_OK ||
      !allocate_storage(s, header.half_frame)) {
    psycho_free();
    std::printf("Error, out of memory\n");
    return DECODE_ERR_NO_MEMORY;
  }
  const int n = 2 * header.half_frame;
  build_coding_window(s.window.get(), n, header.window_type);
  std::printf("%s\n", window_label(header.window_type));

  int status = write_wav_header(wav) == 0 ? DECODE_OK : DECODE_ERR_WRITE;
  // write_wav_header lowered sample_count when the stream claims more than a WAV can describe;
  // decoding then stops once that many frames are written.
  const uint32_t stop_at = wav.sample_count < header.sample_count ? wav.sample_count : UINT32_MAX;
  int blocks = 0;
  if (status == DECODE_OK) {
    StreamReader reader{stream.get(), s.chunk.get()};
    status = decode_blocks(reader, stream_path, wav, out, header.half_frame, s, blocks, stop_at);
  }
  if (status != DECODE_ERR_WRITE && status != DECODE_ERR_NO_MEMORY) {
    flush_output(wav, out[0], out[1]);
  }
  psycho_free();
  if (std::ferror(wav.file)) status = DECODE_ERR_WRITE;
  // A damaged or cut stream, an interruption, a full disk or a failed transform leave fewer
  // frames than the header announced: it is rewritten to what the file holds.
  if (wav.samples_done < wav.sample_count || status == DECODE_ERR_WRITE) {
    if (rewrite_wav_sizes(wav) != 0) status = DECODE_ERR_WRITE;
  }
  if (status == DECODE_ERR_NO_MEMORY) return status;
  std::printf("End of Synthesis, %d samples\n\n\n", static_cast<int>(wav.samples_done));
  if (!close_output(std::move(output)) || status == DECODE_ERR_WRITE) {
    std::printf("Error, cannot write %s\n", wav_path);
    return DECODE_ERR_WRITE;
  }
  if (status == DECODE_ERR_INTERRUPTED) print_interrupted();
  if (status == DECODE_ERR_WAV_LIMIT) {
    std::printf("Error, %s stops at %u samples, the most a WAV file can describe\n", wav_path,
                wav.samples_done);
  }
  return status;
}

}  // namespace tarn
