#include "driver/stream_format.h"

#include <cstring>

#include "pcm/byte_order.h"

namespace tarn {

void pack_stream_header(const StreamHeader& header, uint8_t bytes[STREAM_HEADER_BYTES]) {
  store_le32(bytes + 0, header.sample_count);
  store_le32(bytes + 4, header.sample_rate);
  bytes[8] = header.channel_count;
  bytes[9] = header.window_type;
  store_le16(bytes + 10, header.half_frame);
}

StreamHeader unpack_stream_header(const uint8_t bytes[STREAM_HEADER_BYTES]) {
  StreamHeader header;
  header.sample_count = load_le32(bytes + 0);
  header.sample_rate = load_le32(bytes + 4);
  header.channel_count = bytes[8];
  header.window_type = bytes[9];
  header.half_frame = load_le16(bytes + 10);
  return header;
}

int pack_block_record(uint8_t* out, const uint8_t* payload, uint16_t length) {
  store_le16(out, length);
  if (length != 0) std::memcpy(out + RECORD_LENGTH_BYTES, payload, length);
  return RECORD_LENGTH_BYTES + length;
}

int write_block_record(std::FILE* stream, const uint8_t* payload, uint16_t length) {
  uint8_t length_bytes[RECORD_LENGTH_BYTES];
  store_le16(length_bytes, length);
  if (std::fwrite(length_bytes, RECORD_LENGTH_BYTES, 1, stream) != 1) return -1;
  if (length != 0 && std::fwrite(payload, length, 1, stream) != 1) return -1;
  return 0;
}

}  // namespace tarn
