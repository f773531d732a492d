// The portable bin-level kernel: every bin by the scalar code.

#include "transform/level_kernels.h"

namespace tarn {
namespace levels {

void bin_levels_portable(const double* re, const double* im, int n, double f, double* power,
                         double* approx, uint8_t* exact) {
  const LogTable& t = log_table();
  for (int k = 0; k < n; ++k) approximate_one_bin(t, re, im, k, f, power, approx, exact);
}

}  // namespace levels
}  // namespace tarn
