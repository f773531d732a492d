#pragma once
// Power spectrum of a block (real FFT through FFTW) and conversion of FFT bins and MDCT
// coefficients to levels in dB. On the level scale a full-scale signal is near 96 dB and 0 dB
// is the floor: no level is negative, and a silent bin or coefficient has level 0.
//
//   bin level:          96 + 10 log10(p F),  p = re^2 + im^2,  F = bin_level_factor(n, P)
//   coefficient level:  96 + 10 log10((G c) c),  G = 8 / ((2n)^2 0.5)
// each 0.0 where it is negative or not a number, and 0.0 for p = 0 or c = 0.
//
// Spectrum sign convention: with X[k] = sum_j x[j] e^(-2 pi i j k / n) (FFTW's unnormalised
// forward transform), re[k] = Re X[k] and im[k] = -Im X[k]: the conjugate of the transform.

#include <cstdint>
#include <memory>

#include "transform/fftw_memory.h"
#include "codec/status.h"

namespace tarn {

// The real FFT of one length: its FFTW plan, made once per length for the process
// (power_levels.cpp) and only read afterwards.
struct SpectrumPlan;

// One caller's working storage for the spectrum of one length: the FFT's aligned input and
// output. Each encoder owns one; two spectra may be taken at once in two threads on two
// scratches. Empty until spectrum_init; the arrays are released with the object.
struct SpectrumScratch {
  int n = 0;                           // length the arrays are for; 0 while empty
  const SpectrumPlan* plan = nullptr;  // the shared plan of length n
  FftwReals input;                     // n samples
  FftwComplexes output;                // bins 0 .. n/2, DC to Nyquist
};

// Sets s up for blocks of n samples, once, before the spectra are taken (when an encoder is
// made): finds or makes the shared plan of length n and allocates s's arrays. What s held before
// is released; on failure s is left empty. Returns STATUS_OK, STATUS_SIZE (n < 2) or
// STATUS_NO_MEMORY (arrays or plan, FFTW's planning included).
int spectrum_init(SpectrumScratch& s, int n);

// x: n samples (unchanged); re, im: n/2 bins each, DC first; the Nyquist bin is dropped. Neither
// plans nor allocates. Returns STATUS_OK, STATUS_SIZE (n < 2) or STATUS_NOT_READY
// (s not set up for n by spectrum_init).
int real_spectrum(SpectrumScratch& s, const double* x, double* re, double* im, int n);
// real_spectrum of x[i] * w[i].
int windowed_spectrum(SpectrumScratch& s, const double* x, const double* w, double* re,
                      double* im, int n);

// F = 4 / ((2n)^2 P) for n bins of a 2n-sample block whose analysis window has mean power P
// (HANN_WINDOW_POWER for the Hann window).
double bin_level_factor(int n, double window_power);
// The level of a bin of power p (re^2 + im^2) with the factor F = f.
double bin_level(double p, double f);

// Largest difference between an approximate bin or peak level and the exact one, in dB. The approximation's
// own error is below 1e-9 dB (see power_levels.cpp); the bound leaves a wide margin.
constexpr double APPROXIMATE_LEVEL_ERROR_DB = 1e-6;
// For bins 0 .. n-1 of a spectrum: power[k] = re[k] * re[k] + im[k] * im[k], and approx[k] =
// bin_level(power[k], f) within APPROXIMATE_LEVEL_ERROR_DB, without a logarithm call (a table of
// logarithms of the mantissa's leading bits and a short series for the rest). Where the level
// is certain without any logarithm (p = 0, not a number, p f below 1e-11, which is below the
// floor, or p f above 1e300), approx[k] is bin_level itself and exact[k] is 1; 0 otherwise.
// Runs the host's kernel (kernels/kernel_table.h: bin_levels); every kernel gives the same bits.
void approximate_bin_levels(const double* re, const double* im, int n, double f, double* power,
                            double* approx, uint8_t* exact);
// The coefficient levels of bins first .. last of n, for a caller that needs only their largest
// level: a bin whose power (G c[k]) c[k] lies clearly below the range's largest power (by more
// than a factor 1 - 2^-20) cannot hold the largest level and gets the floor, 0.0, without its
// logarithm; every other bin gets its exact coefficient level. The largest of the levels is
// then exactly the largest coefficient level of the range. 0 <= first, last < n.
void coefficient_levels_for_peak(const double* c, int first, int last, int n, double* levels);
// The largest coefficient level of bins first .. last of n, without a logarithm call:
// within APPROXIMATE_LEVEL_ERROR_DB of it, or exactly it (and exact set) where it is certain
// without one: 0.0 for a range whose powers all lie below 1e-11 (or are not numbers), infinity
// where a power is infinite. 0 <= first <= last < n.
double approximate_peak_coefficient_level(const double* c, int first, int last, int n,
                                          bool& exact);

}  // namespace tarn
