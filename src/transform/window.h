#pragma once
// Window shapes. Four coding windows surround the MDCT (the encoder multiplies each 512-sample
// block by it before the forward transform, the decoder multiplies the inverse transform's
// output by the same window before overlap-add); the Hann window shapes the block of the
// analysis spectrum.
// Every builder fills a caller-owned array w[0 .. n-1] and allocates nothing; n <= 0 writes
// nothing. The coding windows are symmetric and power complementary for even n:
// w[n-1-i] = w[i] and w[i]^2 + w[i + n/2]^2 = 1.

#include <cstdint>

namespace tarn {

// The stream header's window_type byte: which coding window a stream uses.
using WindowType = uint8_t;
constexpr WindowType WINDOW_SINE = 0;
constexpr WindowType WINDOW_KBD = 1;     // Kaiser-Bessel-derived, alpha KBD_ALPHA
constexpr WindowType WINDOW_VORBIS = 2;  // every other value: rectangular

constexpr double KBD_ALPHA = 4.0;

// Mean of the squared samples of the Hann analysis window (exactly 3/8 for n >= 3): the
// analysis_window_power that the bin level conversion divides by (bin_level_factor).
constexpr double HANN_WINDOW_POWER = 0.375;

void sine_window(double* w, int n);
void kbd_window(double* w, int n, double alpha);  // n even
void vorbis_window(double* w, int n);
void rectangular_window(double* w, int n);        // every sample 1 / sqrt(2)
void hann_window(double* w, int n);

// Zeroth-order modified Bessel function of the first kind, I0(x), by a rational approximation
// (window.cpp) for |x| up to 4 pi, the range the Kaiser kernel of alpha 4 uses.
double bessel_i0(double x);

// Builds the coding window that window_type selects, by the WindowType rule.
void build_coding_window(double* w, int n, WindowType window_type);

// The label the decoder prints for a window type: "sine ", "kbd ", "vorbis " or "rectangular ".
const char* window_label(WindowType window_type);

}  // namespace tarn
