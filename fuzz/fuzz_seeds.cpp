// tarn-fuzz-seeds: splits a stream file made by the encoder into seeds for two fuzz targets.
//   tarn-fuzz-seeds STREAM PREFIX ARITH_DIR FRAME_DIR [EVERY]
// Every EVERY-th record (default 8) gives ARITH_DIR/PREFIX-NNNN, its coded payload, and
// FRAME_DIR/PREFIX-NNNN, its decompressed frame in the channel frame target's form: a 0 byte
// (band header form), then the 14-byte band header and the bit stream.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "coding/arith_coder.h"
#include "format/byte_order.h"

namespace {

void write_file(const std::string& path, const uint8_t* bytes, size_t size) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes), size);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::printf("Syntax:\n %s STREAM PREFIX ARITH_DIR FRAME_DIR [EVERY]\n", argv[0]);
    return -1;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<uint8_t> s(std::istreambuf_iterator<char>(in), {});
  const size_t every = argc == 6 ? std::strtoul(argv[5], nullptr, 10) : 8;
  size_t pos = 12;
  for (size_t record = 0; pos + 2 <= s.size(); ++record) {
    const size_t length = tarn::load_le16(&s[pos]);
    pos += 2;
    if (pos + length > s.size()) break;
    if (every != 0 && record % every == 0) {
      char name[32];
      std::snprintf(name, sizeof name, "-%04zu", record);
      const std::string file = std::string(argv[2]) + name;
      write_file(std::string(argv[3]) + "/" + file, &s[pos], length);
      std::vector<uint8_t> frame(1 + 1024, 0);
      const int32_t d =
          tarn::arith_decompress(&s[pos], frame.data() + 1, static_cast<int32_t>(length), 1024);
      if (d >= 0) write_file(std::string(argv[4]) + "/" + file, frame.data(), 1 + d);
    }
    pos += length;
  }
  return 0;
}
