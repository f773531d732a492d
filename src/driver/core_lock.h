#pragma once
// The codec core (transform, psycho, coding) keeps its band tables, masking work, window power
// and transform plans in process-wide storage. Every encoder and decoder state goes through this
// unit to use them: a lease keeps the psycho tables alive while any state needs them, and a
// CoreSession holds the one process-wide lock for the span of a block's core calls and makes
// sure the tables are built for that state's parameters (a decoder of another half_frame or
// rate may have rebuilt them in between). So any number of states, in any number of threads,
// give the bytes each gives alone; their core calls take turns.

#include <mutex>

namespace tarn {

// Parameters the psycho tables are built for: bins per block and half the sample rate (Hz).
struct CoreLease {
  int bin_count = 0;
  int half_rate = 0;
  bool held = false;
  CoreLease() = default;
  CoreLease(const CoreLease&) = delete;
  CoreLease& operator=(const CoreLease&) = delete;
  ~CoreLease();
};

// Takes a lease and builds the tables for (bin_count, half_rate). Returns psycho_init's result
// (PSYCHO_OK, PSYCHO_ERR_NO_MEMORY, PSYCHO_ERR_PARTITION, ...); the lease is held only on
// PSYCHO_OK. The last lease to go releases the tables.
int acquire_core(CoreLease& lease, int bin_count, int half_rate);

// The lock over the core for one block (or one setup step) of one state. ok() is false when the
// tables had to be rebuilt and could not be (out of memory).
class CoreSession {
 public:
  explicit CoreSession(const CoreLease& lease);
  bool ok() const { return ok_; }

 private:
  std::lock_guard<std::mutex> lock_;
  bool ok_;
};

}  // namespace tarn
