#include "format/stream_format.h"

#include "format/byte_order.h"

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

}  // namespace tarn
