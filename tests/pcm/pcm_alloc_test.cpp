// Allocation failure of the sample arrays. This file replaces the program-wide non-throwing
// array new so that a test can make the next allocations fail; everything else goes through the
// ordinary throwing form, which pairs with the ordinary delete[].

#include <gtest/gtest.h>

#include <cstddef>
#include <new>

#include "pcm/pcm_test_files.h"
#include "programs/wav_reader.h"
#include "programs/wav_writer.h"

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

namespace tarn {
namespace {

using test::FilePtr;
using test::temp_file_with;
using test::wav_bytes;
using test::WavImage;

// Fails the left array (0 allocations allowed) or the right one (1 allowed): either way the
// result is PCM_ERR_NO_MEMORY, both arrays are empty and, on the input side, nothing was read.
TEST(PcmAlloc, FailedAllocationIsReported) {
  for (int allowed : {0, 1}) {
    SCOPED_TRACE(allowed);
    WavImage image;
    image.data_size = 8;
    image.data = std::vector<uint8_t>(8, 1);
    FilePtr f = temp_file_with(wav_bytes(image));
    WavFile w;
    w.file = f.get();
    ASSERT_EQ(read_wav_header(w), 0);

    ChannelBuffer l, r;
    g_nothrow_allocations_left = allowed;
    const int input_result = fill_input_buffers(w, l, r);
    g_nothrow_allocations_left = allowed;
    ChannelBuffer out_l, out_r;
    const int output_result = create_output_buffers(out_l, out_r);
    g_nothrow_allocations_left = -1;

    EXPECT_EQ(input_result, PCM_ERR_NO_MEMORY);
    EXPECT_FALSE(l.samples);
    EXPECT_FALSE(r.samples);
    EXPECT_EQ(w.samples_done, 0u);
    EXPECT_EQ(output_result, PCM_ERR_NO_MEMORY);
    EXPECT_FALSE(out_l.samples);
    EXPECT_FALSE(out_r.samples);
  }
}

}  // namespace
}  // namespace tarn
