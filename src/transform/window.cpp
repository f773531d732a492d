// Window shapes: the four coding windows around the MDCT and the Hann analysis window.
//
// Every expression below keeps its written evaluation order: the windows enter the coded
// coefficients and the decoded samples, so a reordered product would change output bytes.

#include "transform/window.h"

#include <cmath>

namespace tarn {

namespace {

// The doubles nearest to pi, pi / 2 and 2 pi.
constexpr double PI = 3.141592653589793;
constexpr double HALF_PI = 1.5707963267948966;
constexpr double TWO_PI = 6.283185307179586;

// 0.7071067811865475: with every sample at 1 / sqrt(2), w[i]^2 + w[i + n/2]^2 = 1 holds, so the
// rectangular window also overlap-adds to gain 1 around the MDCT. 1.0 would give gain 2.
const double RECTANGULAR_LEVEL = 1.0 / std::sqrt(2.0);

// I0(x) = -P(x^2) / Q(x^2) for |x| <= 15: P of degree 14 (BESSEL_P, c0 first), Q a monic cubic
// (below), a rational fit for that interval. The coefficients are held to I0 itself rather than
// to where they came from: against I0 computed to 40 digits
// (mpmath) at 20001 evenly spaced points of [0, 15], the relative error of -P/Q is at most
// 4.2e-15 in exact arithmetic and 4.8e-15 as evaluated here in doubles (Horner's rule, the order
// below); on [0, 4 pi] at most 3.8e-15 and 4.7e-15. Beyond 15 it grows fast (4.7e-7 at x = 20,
// 7% at x = 30). The Kaiser kernel of KBD_ALPHA = 4 needs x <= 4 pi, about 12.57.
constexpr double BESSEL_P[15] = {
    1440482982.27235,     356644482.244025,     21641557.2361227,     571661.130563785,
    8307.92541809429,     75.4337328948189,     0.463076284721,       0.00202591084143397,
    6.54858370096785e-06, 1.60224679395361e-08, 3.0093112711296e-11,  4.35125971262668e-14,
    4.794402575483e-17,   3.80715242345326e-20, 2.10580722890567e-23,
};
// Denominator Q(y) = ((y - BESSEL_Q1) y + BESSEL_Q2) y - BESSEL_Q3. Q(0) = -P(0), so I0(0) = 1.
constexpr double BESSEL_Q1 = 3076.46912682801;
constexpr double BESSEL_Q2 = 3476263.32405882;
constexpr double BESSEL_Q3 = 1440482982.27235;

// Kaiser kernel sample j of 0 .. n/2: t runs from -1 at j = 0 to +1 at j = n/2 (n even), so the
// Bessel argument is 0 at both ends and alpha pi at the centre.
double kbd_kernel(int j, int n, double alpha) {
  const double t = ((static_cast<double>(j) * 4.0) / n) - 1.0;
  return bessel_i0((std::sqrt(1.0 - t * t) * alpha) * PI);
}

}  // namespace

double bessel_i0(double x) {
  if (x == 0.0) return 1.0;
  const double y = x * x;
  // Horner's rule from c14 down to c0.
  double p = BESSEL_P[14];
  for (int k = 13; k >= 0; --k) p = p * y + BESSEL_P[k];
  const double q = ((y - BESSEL_Q1) * y + BESSEL_Q2) * y - BESSEL_Q3;
  return -p / q;
}

void sine_window(double* w, int n) {
  for (int i = 0; i < n; ++i) w[i] = std::sin(((i + 0.5) * PI) / n);
}

void vorbis_window(double* w, int n) {
  for (int i = 0; i < n; ++i) {
    const double s = std::sin(((i + 0.5) * PI) / n);
    w[i] = std::sin((s * s) * HALF_PI);
  }
}

void rectangular_window(double* w, int n) {
  for (int i = 0; i < n; ++i) w[i] = RECTANGULAR_LEVEL;
}

void hann_window(double* w, int n) {
  for (int i = 0; i < n; ++i) w[i] = 0.5 * (1.0 - std::cos((TWO_PI / n) * (i + 0.5)));
}

// The first half holds the normalised running sum of the Kaiser kernel, square-rooted; the
// second half mirrors it. The running sum lives in w[0 .. h-1] itself, so nothing is allocated.
// An odd n (which the coding windows never use) would leave the centre sample w[h] unwritten;
// it gets sqrt(T / T) = 1.0, the value the running sum reaches once K(h) is added.
void kbd_window(double* w, int n, double alpha) {
  if (n <= 0) return;
  const int h = n / 2;
  double sum = 0.0;
  for (int i = 0; i < h; ++i) {
    sum += kbd_kernel(i, n, alpha);
    w[i] = sum;
  }
  const double total = sum + kbd_kernel(h, n, alpha);
  for (int i = 0; i < h; ++i) {
    const double v = std::sqrt(w[i] / total);
    w[i] = v;
    w[n - 1 - i] = v;
  }
  if (n % 2 != 0) w[h] = 1.0;
}

void build_coding_window(double* w, int n, WindowType window_type) {
  switch (window_type) {
    case WINDOW_SINE:
      sine_window(w, n);
      break;
    case WINDOW_KBD:
      kbd_window(w, n, KBD_ALPHA);
      break;
    case WINDOW_VORBIS:
      vorbis_window(w, n);
      break;
    default:
      rectangular_window(w, n);
      break;
  }
}

const char* window_label(WindowType window_type) {
  switch (window_type) {
    case WINDOW_SINE:
      return "sine ";
    case WINDOW_KBD:
      return "kbd ";
    case WINDOW_VORBIS:
      return "vorbis ";
    default:
      return "rectangular ";
  }
}

}  // namespace tarn
