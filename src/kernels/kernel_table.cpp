// The kernel tables and the CPU probe that picks one.

#include "kernels/kernel_table.h"

#include "codec/pcm16.h"
#include "coding/arith_decode_loop.h"
#include "coding/block_kernels.h"
#include "psycho/masking_kernels.h"
#include "transform/level_kernels.h"

namespace tarn {

namespace {

constexpr KernelTable PORTABLE = {
    KERNELS_PORTABLE,
    "portable",
    levels::bin_levels_portable,
    masking::spread_portable,
    masking::mark_masked_portable,
    block::band_extremes_portable,
    block::quantise_bands_portable,
    block::dequantise_bands_portable,
    arith::decompress_portable,
    arith::decompress_pair_portable,
    pcm16::frames_portable,
};

#if defined(__x86_64__)
constexpr KernelTable SSE2 = {
    KERNELS_SSE2,
    "sse2",
    levels::bin_levels_sse2,
    masking::spread_sse2,
    masking::mark_masked_sse2,
    block::band_extremes_sse2,
    block::quantise_bands_sse2,
    block::dequantise_bands_sse2,
    arith::decompress_sse2,
    arith::decompress_pair_sse2,
    pcm16::frames_sse2,
};

// The four-lane levels, spread, band extremes, quantiser, dequantiser and 16-bit conversion;
// everything else gains nothing from wider vectors.
constexpr KernelTable AVX2 = {
    KERNELS_AVX2,
    "avx2",
    levels::bin_levels_avx2,
    masking::spread_avx2,
    masking::mark_masked_sse2,
    block::band_extremes_avx2,
    block::quantise_bands_avx2,
    block::dequantise_bands_avx2,
    arith::decompress_sse2,
    arith::decompress_pair_sse2,
    pcm16::frames_avx2,
};
#endif

KernelLevel probe_level() {
#if defined(__x86_64__)
  return __builtin_cpu_supports("avx2") != 0 ? KERNELS_AVX2 : KERNELS_SSE2;
#else
  return KERNELS_PORTABLE;
#endif
}

}  // namespace

const KernelTable* kernel_table(KernelLevel level) {
  if (level < KERNELS_PORTABLE || level > host_kernel_level()) return nullptr;
  switch (level) {
    case KERNELS_PORTABLE:
      return &PORTABLE;
#if defined(__x86_64__)
    case KERNELS_SSE2:
      return &SSE2;
    case KERNELS_AVX2:
      return &AVX2;
#endif
    default:
      return nullptr;
  }
}

KernelLevel host_kernel_level() {
  static const KernelLevel level = probe_level();
  return level;
}

const KernelTable& host_kernel_table() {
  static const KernelTable* const table = kernel_table(host_kernel_level());
  return *table;
}

}  // namespace tarn
