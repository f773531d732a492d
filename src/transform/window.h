#pragma once
// Window shapes. Four coding windows frame the MDCT (the encoder multiplies each frame by it
// before the forward transform, the decoder multiplies the inverse transform's output by the
// same window before overlap-add); the Hann window shapes the frame of the analysis spectrum.
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

// Mean of the squared samples of the Hann analysis window; 0.0 until hann_window has run, then
// 0.375. The bin level conversion divides by it.
extern double analysis_window_power;

void sine_window(double* w, int n);
void kbd_window(double* w, int n, double alpha);  // n even
void vorbis_window(double* w, int n);
void rectangular_window(double* w, int n);        // every sample 1 / sqrt(2)
void hann_window(double* w, int n);               // also sets analysis_window_power

// Zeroth-order modified Bessel function of the first kind (rational approximation).
double bessel_i0(double x);

// Builds the coding window that window_type selects, by the WindowType rule.
void build_coding_window(double* w, int n, WindowType window_type);

// The label the decoder prints for a window type: "sine ", "kbd ", "vorbis " or "rectangular ".
const char* window_label(WindowType window_type);

}  // namespace tarn
