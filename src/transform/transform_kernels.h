#pragma once
// The forward transforms' kernels (mdct_windowed in mdct.h, windowed_spectrum in power_levels.h),
// chosen through the kernel table (kernels/kernel_table.h): the portable forms in
// transform_kernels.cpp, the AVX2 ones in transform_kernels_x86.cpp. Every form does the
// portable one's IEEE operations in its order, so each gives the same doubles.
//
// Index legend as in mdct.cpp: n block length, q = n/4 complex values, h = n/2 coefficients;
// z and spectrum are q complex values {re, im}, stored as 2q doubles.

namespace tarn {
namespace transform {

// The window product block[j] * window[j]... as window[j] * block[j], rotated by n/4 with a sign
// change and folded into q complex values, each pre-twiddled by e^(-i theta_k) with c = cos and
// s = sin of theta_k: z[k] = (a c + b s) + i (b c - a s), with
//   a = (r[2k] - r[n-1-2k]) * 0.5,  b = (r[h+2k] - r[h-1-2k]) * (-0.5),
// r the rotated windowed block (see mdct.cpp). n a positive multiple of 4.
void mdct_fold_portable(const double* block, const double* window, const double* c,
                        const double* s, double* z, int n);
void mdct_fold_avx2(const double* block, const double* window, const double* c, const double* s,
                    double* z, int n);

// The post-twiddle of the FFT's output: U + i V = spectrum[k] e^(-i theta_k), out[2k] = 2.0 * U
// and out[h-1-2k] = -2.0 * V, k < q.
void mdct_post_portable(const double* spectrum, const double* c, const double* s, double* out,
                        int n);
void mdct_post_avx2(const double* spectrum, const double* c, const double* s, double* out, int n);

// out[i] = x[i] * w[i], i < n.
void window_product_portable(const double* x, const double* w, double* out, int n);
void window_product_avx2(const double* x, const double* w, double* out, int n);

// re[k] = bins[k].re and im[k] = -bins[k].im (a sign flip), k < count: bins holds 2 count
// doubles.
void split_bins_portable(const double* bins, double* re, double* im, int count);
void split_bins_avx2(const double* bins, double* re, double* im, int count);

}  // namespace transform
}  // namespace tarn
