#include "driver/core_lock.h"

#include "psycho/psycho_tables.h"

namespace tarn {
namespace {

std::mutex core_mutex;
int lease_count = 0;      // leases held
int built_bins = 0;       // parameters of the tables as built now; 0: not built
int built_half_rate = 0;

// Under core_mutex: builds the tables for these parameters unless they are built already.
int ensure_tables(int bin_count, int half_rate) {
  if (built_bins == bin_count && built_half_rate == half_rate) return PSYCHO_OK;
  built_bins = 0;
  const int status = psycho_init(bin_count, half_rate);
  if (status == PSYCHO_OK) {
    built_bins = bin_count;
    built_half_rate = half_rate;
  }
  return status;
}

std::mutex& mutex_of_core() { return core_mutex; }

}  // namespace

int acquire_core(CoreLease& lease, int bin_count, int half_rate) {
  std::lock_guard<std::mutex> lock(core_mutex);
  const int status = ensure_tables(bin_count, half_rate);
  if (status != PSYCHO_OK) {
    if (lease_count == 0) psycho_free();
    return status;
  }
  lease.bin_count = bin_count;
  lease.half_rate = half_rate;
  lease.held = true;
  ++lease_count;
  return PSYCHO_OK;
}

CoreLease::~CoreLease() {
  if (!held) return;
  std::lock_guard<std::mutex> lock(core_mutex);
  if (--lease_count == 0) {
    psycho_free();
    built_bins = 0;
  }
}

CoreSession::CoreSession(const CoreLease& lease)
    : lock_(mutex_of_core()),
      ok_(lease.held && ensure_tables(lease.bin_count, lease.half_rate) == PSYCHO_OK) {}

}  // namespace tarn
