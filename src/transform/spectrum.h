#pragma once
// Power spectrum of a frame (real FFT through FFTW) and conversion of FFT bins and MDCT
// coefficients to levels in dB. On the level scale a full-scale signal is near 96 dB and 0 dB
// is the floor: no level is negative, and a silent bin or coefficient has level 0.
//
// Spectrum sign convention: with X[k] = sum_j x[j] e^(-2 pi i j k / n) (FFTW's unnormalised
// forward transform), re[k] = Re X[k] and im[k] = -Im X[k]: the conjugate of the transform.

#include "transform/transform_status.h"

namespace tarn {

// x: n samples (unchanged); re, im: n/2 bins each, DC first; the Nyquist bin is dropped.
// Returns TRANSFORM_OK, TRANSFORM_ERR_SIZE (n < 2) or TRANSFORM_ERR_NO_MEMORY.
int real_spectrum(const double* x, double* re, double* im, int n);
// real_spectrum of x[i] * w[i].
int windowed_spectrum(const double* x, const double* w, double* re, double* im, int n);

// levels[k] = 96 + 10 log10(p F), p = re[k]^2 + im[k]^2, F = 4 / ((2n)^2 analysis_window_power);
// 0.0 where the level is negative, not a number, or p = 0. re, im, levels: n entries each.
void bin_levels(const double* re, const double* im, int n, double* levels);
// levels[k] = 96 + 10 log10((G c[k]) c[k]), G = 8 / ((2n)^2 0.5); 0.0 as for bin_levels.
void coefficient_levels(const double* c, int n, double* levels);
// coefficient_levels of bins first .. last of n, for a caller that needs only their largest
// level: a bin whose power (G c[k]) c[k] lies clearly below the range's largest power (by more
// than a factor 1 - 2^-20) cannot hold the largest level and gets the floor, 0.0, without its
// logarithm; every other bin gets its coefficient_levels value. The largest of the levels is
// then exactly that of coefficient_levels. 0 <= first, last < n.
void coefficient_levels_for_peak(const double* c, int first, int last, int n, double* levels);

}  // namespace tarn
