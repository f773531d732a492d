// Fuzz target: arith_decompress over arbitrary bytes, into exact-size destinations of a few
// capacities (so AddressSanitizer sees a write one byte past any of them). A decode that fits
// one capacity must give the same bytes in every larger one. The input, taken as plain data,
// must also survive a compress-decompress round trip.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "coding/arith_coder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int32_t length = static_cast<int32_t>(size);
  constexpr int32_t CAPACITIES[] = {0, 14, 515, 1024, 2104};  // ascending; 2104 = 4 x 526
  bool fits = false;  // a smaller capacity already held a complete decode, `fitted`
  std::vector<uint8_t> fitted;
  for (const int32_t capacity : CAPACITIES) {
    std::vector<uint8_t> out(capacity);
    const int32_t got = tarn::arith_decompress(data, out.data(), length, capacity);
    if (got > capacity ||
        (got < 0 && got != tarn::STATUS_OUTPUT_FULL && got != tarn::STATUS_UNDECODABLE)) {
      std::abort();
    }
    if (got >= 0 && !fits) fitted.assign(out.begin(), out.begin() + got);
    fits = fits || got >= 0;
    if (fits && (got != static_cast<int32_t>(fitted.size()) ||
                 !std::equal(fitted.begin(), fitted.end(), out.begin()))) {
      std::abort();
    }
  }
  std::vector<uint8_t> packed(2 * size + 64), unpacked(size + 1);
  const int32_t n =
      tarn::arith_compress(data, packed.data(), length, static_cast<int32_t>(packed.size()));
  if (n < 0 || tarn::arith_decompress(packed.data(), unpacked.data(), n, length + 1) != length ||
      !std::equal(unpacked.begin(), unpacked.begin() + length, data)) {
    std::abort();
  }
  return 0;
}
