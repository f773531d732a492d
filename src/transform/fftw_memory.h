#pragma once
// Ownership of FFTW's aligned memory and plans: unique_ptr deleters so that every early return
// releases what was allocated; and the one lock around FFTW's planner.
//
// FFTW's planner (plan creation and destruction) shares state between all plans and is not
// thread-safe; executing a plan is. The transforms therefore make each plan once, under
// fftw_planner_lock(), and keep it for the life of the process; every caller then runs it with
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

// Held by every call that makes or destroys an FFTW plan.
inline std::mutex& fftw_planner_lock() {
  static std::mutex lock;
  return lock;
}

// The plan of length n from a process-wide list of plans (a Plan has fields n and
// std::unique_ptr<Plan> next), made by make(n) (a std::unique_ptr<Plan>, null on failure) and
// linked in on the first request for that length. Entries are only ever added, each complete
// before it is linked in, and kept until the process ends. Null when make fails; a later
// request tries again.
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
