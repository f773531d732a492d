#pragma once
// The decoder's last step: finished samples (doubles, full scale +-1) to 16-bit frames.
//
// A double x becomes trunc(x * 32767 / max(|x|, 1)): anything beyond full scale is limited to it,
// and -32768 is never produced (the limiter maps [-1, 1] symmetrically onto [-32767, 32767]).

#include <cstdint>

namespace tarn {

// One sample value to 16 bits: divided by max(|x|, 1), scaled by 32767, truncated toward zero;
// a NaN gives 0.
int16_t to_pcm16(double x);

// frames[2i] = to_pcm16(left[i]), frames[2i + 1] = to_pcm16(right[i]) for i < count, with the
// host's kernel (a handle calls its own table's pcm16_frames instead).
void to_pcm16_frames(const double* left, const double* right, int16_t* frames, int count);

// The kernels of to_pcm16_frames (kernels/kernel_table.h): plain C++, and SSE2 and AVX2 on
// x86-64.
namespace pcm16 {
void frames_portable(const double* left, const double* right, int16_t* frames, int count);
void frames_sse2(const double* left, const double* right, int16_t* frames, int count);
void frames_avx2(const double* left, const double* right, int16_t* frames, int count);
}  // namespace pcm16

}  // namespace tarn
