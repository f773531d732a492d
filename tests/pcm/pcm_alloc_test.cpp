// Allocation failure of the codec's work arrays. This file replaces the program-wide non-throwing
// array new so that a test can make the next allocations fail; everything else goes through the
// ordinary throwing form, which pairs with the ordinary delete[].

#include <gtest/gtest.h>

#include <cstddef>
#include <new>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tarn/tarn.h"

namespace {
// Allocations still to succeed before every later one fails; negative: never fail.
int g_nothrow_allocations_left = -1;
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (g_nothrow_allocations_left == 0) return nullptr;
  if (g_nothrow_allocations_left > 0) --g_nothrow_allocations_left;
  try {
    return ::operator new[](size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace {

// A stream held in memory, read through the library's callback.
struct MemoryStream {
  std::vector<unsigned char> bytes;
  size_t pos = 0;
};

int append(void* user, const unsigned char* b, size_t n) {
  auto* m = static_cast<MemoryStream*>(user);
  m->bytes.insert(m->bytes.end(), b, b + n);
  return 0;
}

long take(void* user, unsigned char* b, size_t n) {
  auto* m = static_cast<MemoryStream*>(user);
  const size_t k = std::min(n, m->bytes.size() - m->pos);
  std::memcpy(b, m->bytes.data() + m->pos, k);
  m->pos += k;
  return static_cast<long>(k);
}

// Every array the encoder and the decoder allocate at create fails in turn (the first, the
// second, ... until create succeeds): each failure gives TARN_ERR_NO_MEMORY and no handle, and
// the handle made once every allocation succeeds still works.
TEST(CodecAlloc, EachFailedArrayAllocationIsReported) {
  MemoryStream stream;
  int error = 0;
  tarn_encoder* enc = nullptr;
  int failures = 0;
  for (int allowed = 0; enc == nullptr; ++allowed) {
    ASSERT_LT(allowed, 1000);
    g_nothrow_allocations_left = allowed;
    stream.bytes.clear();
    enc = tarn_encoder_create(1000, 44100, append, &stream, &error);
    g_nothrow_allocations_left = -1;
    if (enc == nullptr) {
      EXPECT_EQ(error, TARN_ERR_NO_MEMORY) << allowed;
      ++failures;
    }
  }
  EXPECT_GT(failures, 0);
  const std::vector<int16_t> silence(2000, 0);
  EXPECT_EQ(tarn_encoder_push(enc, silence.data(), 1000), TARN_OK);
  EXPECT_EQ(tarn_encoder_finish(enc), TARN_OK);
  tarn_encoder_destroy(enc);

  tarn_decoder* dec = nullptr;
  failures = 0;
  for (int allowed = 0; dec == nullptr; ++allowed) {
    ASSERT_LT(allowed, 1000);
    stream.pos = 0;
    g_nothrow_allocations_left = allowed;
    dec = tarn_decoder_create_seekable(take, [](void*, uint64_t) { return 0; }, &stream, nullptr,
                                       &error);
    g_nothrow_allocations_left = -1;
    if (dec == nullptr) {
      EXPECT_EQ(error, TARN_ERR_NO_MEMORY) << allowed;
      ++failures;
    }
  }
  EXPECT_GT(failures, 0);
  int16_t frames[2 * 1000];
  long total = 0;
  long got;
  while ((got = tarn_decoder_read(dec, frames, 1000)) > 0) total += got;
  EXPECT_EQ(got, 0);
  EXPECT_EQ(total, 1000);
  tarn_decoder_destroy(dec);
}

}  // namespace
