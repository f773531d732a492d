#pragma once
// The vector kernels of the codec's hot loops, one table per instruction level, chosen once.
//
// Every kernel exists in a portable form (plain C++, the one other targets such as aarch64
// build) and, on x86-64, in SSE2 (every x86-64 CPU) and where it pays in AVX2. Each form does
// the portable form's IEEE operations in its order, lane by lane (no fused multiply-add, no
// reassociation), so every table gives the same bits; the choice only changes the speed.
//
// A handle takes its table at create (host_kernel_table, which probes the CPU once per
// process) and keeps a pointer to it; tests take each table in turn (kernel_table). A table
// holds whole loops, never one step of a loop: the coder's per-symbol search is compiled into
// each decompressing loop, and the table points at the loop.
//
// Where the kernels live: beside the code they speed up, each subsystem's portable forms in
// *_kernels.cpp and the x86 ones in *_kernels_x86.cpp (the arithmetic decoder's in
// arith_encoder.cpp, arith_decoder.cpp and arith_kernels_*.cpp), since each x86 form shares its
// subsystem's constants, scalar fallback and proof of equal bits with the portable one.

#include <cstdint>

#include "coding/arith_coder.h"
#include "format/channel_frame.h"
#include "psycho/psycho_tables.h"

namespace tarn {

// Instruction levels, each including the ones below it.
enum KernelLevel : int {
  KERNELS_PORTABLE = 0,  // plain C++
  KERNELS_SSE2 = 1,      // x86-64 baseline
  KERNELS_AVX2 = 2,      // x86-64 CPUs with AVX2
};
constexpr int KERNEL_LEVEL_COUNT = 3;

struct KernelTable {
  KernelLevel level;
  const char* name;  // "portable", "sse2", "avx2"

  // Bin powers and approximate levels of a spectrum: approximate_bin_levels (power_levels.h).
  void (*bin_levels)(const double* re, const double* im, int n, double f, double* power,
                     double* approx, uint8_t* exact);

  // A masker's spread over bins lo .. hi - 1 (masking.cpp, spread_masker): for each bin,
  // v = level + s[k] - 12; where v exceeds threshold[k], by less than 3 dB it becomes v + 6,
  // else v.
  void (*spread)(double level, const double* s, int lo, int hi, double* threshold);

  // From bin k on, in whole groups of MARK_GROUP bins: BIN_MASKED on every bin whose threshold
  // is raised (not 0.0) and above approx + margin; a bin neither above approx + margin nor below
  // approx - margin (nor 0.0) needs its exact level, and its group is left unmarked. Returns the
  // first bin of the first such group, or the first bin past the last whole group (<= count).
  int (*mark_masked)(const double* threshold, const double* approx, double margin, int k, int count,
                     int16_t* flags);

  // Per band b of bands: loudest[b] the bin of the largest approx (the lowest of equal levels),
  // second[b] that of the largest among the band's other bins (likewise), each -1 where no bin
  // has a level above -1.0 (masking.cpp, start_masking_pass).
  void (*band_tops)(const BandTable& bands, const double* approx, int32_t* loudest,
                    int32_t* second);

  // Per band b with bins (bands.bands[b], first <= last): peak[b] the largest |c| (0.0 for none,
  // a not-a-number skipped) and least[b] the smallest threshold (t[first] compared with each
  // later one by <); bands without bins are left alone.
  void (*band_extremes)(const BandTable& bands, const double* c, const double* t, double* peak,
                        double* least);

  // Per band b with bits[b] in 2 .. 15, bin by bin: the bits[b]-bit code of c[k] / step[b],
  // rounded to nearest with halves toward zero and clamped (block_coder.h, quantise), appended
  // to out as the packed block's bit stream holds it; bands with 0 bits add nothing.
  void (*quantise_bands)(const BandTable& bands, const double* c, const uint8_t* bits,
                         const double* step, WordWriter& out);

  // Per band b with bits[b] in 1 .. 15, from bit pos of in on (the stream holds every field):
  // coefficient k = the signed value of its bits[b]-bit two's complement code times step[b], as
  // dequantise makes it (block_coder.h); the bins of bands with 0 bits are left alone.
  void (*dequantise_bands)(const BandTable& bands, const WordReader& in, uint32_t pos,
                           const uint8_t* bits, const double* step, double* coefficients);

  // arith_compress (arith_coder.h) for an input of at most SHORT_MODEL_SYMBOLS bytes, its
  // arguments checked, with this level's model update.
  int32_t (*compress)(const uint8_t* input, uint8_t* output, int32_t input_length,
                      int32_t output_capacity);

  // arith_decompress and arith_decompress_pair (arith_coder.h) with this level's symbol search.
  int32_t (*decompress)(const uint8_t* input, uint8_t* output, int32_t input_length,
                        int32_t output_capacity);
  void (*decompress_pair)(const ArithBuffer buffers[2], int32_t results[2]);

  // The decoder's finished samples to interleaved 16-bit frames: to_pcm16_frames (pcm16.h).
  void (*pcm16_frames)(const double* left, const double* right, int16_t* frames, int count);

  // The forward transforms' passes around their FFTs (transform/transform_kernels.h): the MDCT's
  // window product, folding and pre-twiddle, its post-twiddle, the spectrum's window product
  // and its split of the bins into re and -im.
  void (*mdct_fold)(const double* block, const double* window, const double* c, const double* s,
                    double* z, int n);
  void (*mdct_post)(const double* spectrum, const double* c, const double* s, double* out, int n);
  void (*window_product)(const double* x, const double* w, double* out, int n);
  void (*split_bins)(const double* bins, double* re, double* im, int count);
};

// Bins per group of mark_masked.
constexpr int MARK_GROUP = 8;

// The table of a level, or null where this build has no such kernels (x86 levels elsewhere than
// on x86-64) or this CPU cannot run them.
const KernelTable* kernel_table(KernelLevel level);

// The widest level this CPU runs: probed on the first call, thread-safely, then remembered.
KernelLevel host_kernel_level();
// kernel_table(host_kernel_level()).
const KernelTable& host_kernel_table();

}  // namespace tarn
