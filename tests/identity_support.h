#pragma once
// Shared by the fast-against-slow identity tests of every subsystem: frames of seeded random and
// music-like signals, and a bit-for-bit comparison of doubles. The fast code (cached plans,
// tables, batched I/O) must give the very doubles the direct formula gives, so the tests compare
// bit patterns, not values within a tolerance.

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernel_table.h"

namespace tarn_test {

// Every kernel table this build has and this CPU runs, portable first: the identity tests take
// each in turn, so each form of every kernel is held to the direct formulas.
inline std::vector<const tarn::KernelTable*> usable_kernel_tables() {
  std::vector<const tarn::KernelTable*> tables;
  for (int level = 0; level < tarn::KERNEL_LEVEL_COUNT; ++level) {
    const tarn::KernelTable* t = tarn::kernel_table(static_cast<tarn::KernelLevel>(level));
    if (t != nullptr) tables.push_back(t);
  }
  return tables;
}

// Same bits, so that 0.0 and -0.0 differ and a NaN equals the same NaN.
inline bool same_bits(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

// Index of the first element whose bits differ, or -1.
inline int first_difference(const double* a, const double* b, int n) {
  for (int i = 0; i < n; ++i) {
    if (!same_bits(a[i], b[i])) return i;
  }
  return -1;
}

// Uniform in [-scale, scale) from the raw 32-bit output (no distribution classes, whose
// results may differ between standard libraries).
inline std::vector<double> random_frame(int n, uint32_t seed, double scale = 1.0) {
  std::mt19937 gen(seed);
  std::vector<double> x(n);
  for (double& v : x) v = scale * (gen() / 2147483648.0 - 1.0);
  return x;
}

// A music-like stereo signal in the codec's sample scale (16-bit values / 32768): decaying
// harmonic notes on a chord, a falling kick, noise bursts, quiet passages and a clipped stretch,
// so that its frames run through loud, soft, tonal, noisy and silent blocks. Sample i of
// channel c; deterministic.
inline double music_sample(int c, int64_t i) {
  constexpr double TWO_PI = 6.283185307179586;
  const double t = static_cast<double>(i) / 44100;
  const int note = static_cast<int>(t * 4);  // four notes a second
  const double in_note = t - note * 0.25;
  const double hz = 110.0 * std::pow(2.0, ((note * 7 + c * 4) % 24) / 12.0);
  double v = 0.0;
  for (int h = 1; h <= 5; ++h) v += std::sin(TWO_PI * hz * h * t) / (h * h);
  v *= 0.3 * std::exp(-3.0 * in_note);
  v += 0.4 * std::exp(-20.0 * in_note) * std::sin(TWO_PI * (60.0 + 90.0 * std::exp(-30.0 * in_note)) * t);
  const uint64_t hash = (static_cast<uint64_t>(i) * 0x9E3779B97F4A7C15ull + c) >> 11;
  const double noise = static_cast<double>(hash % 65536) / 32768.0 - 1.0;
  if (note % 3 == 1) v += 0.1 * noise * std::exp(-40.0 * in_note);
  if (note % 8 == 5) v *= 0.001;   // a quiet passage
  if (note % 8 == 7) v = 0.0;      // silence
  if (note % 16 == 3) v *= 4.0;    // beyond full scale, then clipped like 16-bit samples
  const double s = std::round(v * 32768.0);
  return (s > 32767.0 ? 32767.0 : s < -32768.0 ? -32768.0 : s) / 32768.0;
}

// Frame `index` of one channel: samples 256 * index - 256 onwards, n of them.
inline std::vector<double> music_frame(int c, int index, int n) {
  std::vector<double> x(n);
  for (int j = 0; j < n; ++j) x[j] = music_sample(c, 256LL * index - 256 + j);
  return x;
}

}  // namespace tarn_test
