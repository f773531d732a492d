#pragma once
// Ownership of FFTW's aligned memory and plans: unique_ptr deleters so that every early return
// releases what was allocated; and the one lock around FFTW's planner.
//
// FFTW's planner (plan creation and destruction) shares state between all plans and is not
// thread-safe; executing a plan is. The transforms therefore make each plan once, under
// fftw_planner_lock(), and keep it until the library is unloaded or the process ends (then the
// plans go, and with the pinned FFTW its planner's own state too); every caller runs it with
// the new-array execute functions on its own scratch arrays. Those come from fftw_malloc, like
// the arrays the plan was made on, so they have the alignment the plan's codelets were chosen
// for and give the same bits.

#include <fftw3.h>

#include <memory>
#include <mutex>
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

// Runs fn(arg), a call of one of FFTW's planner functions that stores the plan through arg, and
// returns true; or false when an allocation inside the planner failed. The pinned FFTW then
// abandons fn where the allocation failed and returns here (what it had allocated stays
// allocated, and the planner stays usable), instead of stopping the process. fn is abandoned
// without unwinding, so it must hold nothing that needs releasing: it only calls the planner.
// With the system's FFTW (TARN_SYSTEM_FFTW) there is no such guard: a failed allocation in its
// planner still stops the process.
inline bool run_fftw_planner(void (*fn)(void*), void* arg) {
#ifdef TARN_PINNED_FFTW
  return fftw_call_with_alloc_guard(fn, arg) == 0;
#else
  fn(arg);
  return true;
#endif
}

// Held by every call that makes or destroys an FFTW plan.
inline std::mutex& fftw_planner_lock() {
  static std::mutex lock;
  return lock;
}

// The plan of length n from a process-wide list of plans (a Plan has fields n and
// std::unique_ptr<Plan> next), made by make(n) (a std::unique_ptr<Plan>, null on failure) and
// linked in on the first request for that length. Entries are only ever added, each complete
// before it is linked in, and kept until the library is unloaded or the process ends. Null when
// make fails; a later request tries again.
template <typename Plan, typename Make>
const Plan* find_or_make_plan(std::unique_ptr<Plan>& list, int n, Make make) {
  std::lock_guard<std::mutex> hold(fftw_planner_lock());
  for (const Plan* p = list.get(); p; p = p->next.get()) {
    if (p->n == n) return p;
  }
  std::unique_ptr<Plan> p = make(n);
  if (!p) return nullptr;
  p->next = std::move(list);
  list = std::move(p);
  return list.get();
}

}  // namespace tarn
