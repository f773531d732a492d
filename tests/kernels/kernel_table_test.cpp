// The kernel tables: one per level up to the widest the CPU runs, none beyond, and the host's
// table the widest. The identity tests of each subsystem hold every table's kernels to the direct
// formulas; this holds the choice among them.

#include <gtest/gtest.h>

#include <cstring>

#include "kernels/kernel_table.h"

namespace tarn {
namespace {

// The level this CPU should get, probed here independently of the library.
KernelLevel expected_host_level() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("avx2") != 0 ? KERNELS_AVX2 : KERNELS_SSE2;
#else
  return KERNELS_PORTABLE;
#endif
}

TEST(KernelTable, EveryLevelUpToTheHostsHasItsTable) {
  const KernelLevel host = host_kernel_level();
  EXPECT_EQ(host, expected_host_level());
  EXPECT_EQ(&host_kernel_table(), kernel_table(host));
  struct Case {
    int level;
    const char* name;  // null: no table
  };
  const Case cases[] = {
      {-1, nullptr},
      {KERNELS_PORTABLE, "portable"},
      {KERNELS_SSE2, host >= KERNELS_SSE2 ? "sse2" : nullptr},
      {KERNELS_AVX2, host >= KERNELS_AVX2 ? "avx2" : nullptr},
      {KERNEL_LEVEL_COUNT, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "level " << c.level);
    const KernelTable* t = kernel_table(static_cast<KernelLevel>(c.level));
    if (c.name == nullptr) {
      EXPECT_EQ(t, nullptr);
      continue;
    }
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->level, c.level);
    EXPECT_STREQ(t->name, c.name);
    EXPECT_TRUE(t->bin_levels && t->spread && t->mark_masked && t->band_tops && t->band_extremes &&
                t->quantise_bands && t->dequantise_bands && t->compress && t->decompress &&
                t->decompress_pair && t->pcm16_frames);
  }
}

}  // namespace
}  // namespace tarn
