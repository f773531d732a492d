#pragma once
// Ownership of FFTW's aligned memory and plans: unique_ptr deleters so that every early return
// releases what was allocated.

#include <fftw3.h>

#include <memory>
#include <type_traits>

namespace tarn {

struct FftwFree {
  void operator()(void* p) const { fftw_free(p); }
};
struct FftwPlanDestroy {
  void operator()(fftw_plan p) const { fftw_destroy_plan(p); }
};
using FftwReals = std::unique_ptr<double[], FftwFree>;
using FftwComplexes = std::unique_ptr<fftw_complex[], FftwFree>;
using FftwPlan = std::unique_ptr<std::remove_pointer_t<fftw_plan>, FftwPlanDestroy>;

}  // namespace tarn
