// The kernel tables and the CPU probe that picks one.

#include "kernels/kernel_table.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "codec/pcm16.h"
#include "coding/arith_decode_loop.h"
#include "coding/arith_encode_loop.h"
#include "coding/block_kernels.h"
#include "psycho/masking_kernels.h"
#include "transform/level_kernels.h"
#include "transform/transform_kernels.h"

namespace tarn {

namespace {

constexpr KernelTable PORTABLE = {
    KERNELS_PORTABLE,
    "portable",
    levels::bin_levels_portable,
    masking::spread_portable,
    masking::mark_masked_portable,
    masking::band_tops_portable,
    block::band_extremes_portable,
    block::quantise_bands_portable,
    block::dequantise_bands_portable,
    arith::compress_portable,
    arith::decompress_portable,
    arith::decompress_pair_portable,
    pcm16::frames_portable,
    transform::mdct_fold_portable,
    transform::mdct_post_portable,
    transform::window_product_portable,
    transform::split_bins_portable,
};

#if defined(__x86_64__)
constexpr KernelTable SSE2 = {
    KERNELS_SSE2,
    "sse2",
    levels::bin_levels_sse2,
    masking::spread_sse2,
    masking::mark_masked_sse2,
    masking::band_tops_portable,
    block::band_extremes_sse2,
    block::quantise_bands_sse2,
    block::dequantise_bands_sse2,
    arith::compress_sse2,
    arith::decompress_sse2,
    arith::decompress_pair_sse2,
    pcm16::frames_sse2,
    transform::mdct_fold_portable,
    transform::mdct_post_portable,
    transform::window_product_portable,
    transform::split_bins_portable,
};

// The four-lane levels, spread, band tops, band extremes, quantiser, dequantiser, 16-bit
// conversion and forward transform passes, and the coder's 16-lane model steps; everything else
// gains nothing from wider vectors.
constexpr KernelTable AVX2 = {
    KERNELS_AVX2,
    "avx2",
    levels::bin_levels_avx2,
    masking::spread_avx2,
    masking::mark_masked_sse2,
    masking::band_tops_avx2,
    block::band_extremes_avx2,
    block::quantise_bands_avx2,
    block::dequantise_bands_avx2,
    arith::compress_avx2,
    arith::decompress_avx2,
    arith::decompress_pair_avx2,
    pcm16::frames_avx2,
    transform::mdct_fold_avx2,
    transform::mdct_post_avx2,
    transform::window_product_avx2,
    transform::split_bins_avx2,
};
#endif

KernelLevel probe_level() {
#if defined(__x86_64__)
  // The AVX2 kernels may also use BMI, BMI2 and LZCNT, which every AVX2 CPU made has; a
  // virtual machine that hides them gets the SSE2 table. LZCNT is bit 5 of ECX of CPUID leaf
  // 0x80000001 (not every compiler's __builtin_cpu_supports knows it).
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  const bool lzcnt =
      __get_cpuid(0x80000001u, &eax, &ebx, &ecx, &edx) != 0 && (ecx & (1u << 5)) != 0;
  const bool avx2 = __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi") != 0 &&
                    __builtin_cpu_supports("bmi2") != 0 && lzcnt;
  return avx2 ? KERNELS_AVX2 : KERNELS_SSE2;
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
