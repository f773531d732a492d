#include "programs/interruption.h"

#include <csignal>
#include <cstdio>

namespace tarn {
namespace {

// Written by the handler, read by the loops: a lock-free type that a handler may set.
volatile std::sig_atomic_t g_interrupted = 0;

// Only the flag: stdio, allocation and file work are not async-signal-safe, so everything else
// happens in the loop that sees the flag.
extern "C" void on_interruption(int) { g_interrupted = 1; }

constexpr int INTERRUPTING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t interrupting_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : INTERRUPTING_SIGNALS) sigaddset(&set, signal_number);
  return set;
}

}  // namespace

void catch_interruptions() {
  struct sigaction action = {};
  action.sa_handler = on_interruption;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a read from a pipe or terminal, an open of a FIFO or a write to a stalled
  // consumer returns EINTR, and the caller sees the flag. No SA_RESETHAND: every further signal
  // only sets the flag again, so none can kill the run while it finishes its files.
  action.sa_flags = 0;
  for (const int signal_number : INTERRUPTING_SIGNALS) {
    struct sigaction previous = {};
    if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal_number, &action, nullptr);
  }
}

bool interrupted() { return g_interrupted != 0; }

void print_interrupted(std::FILE* console) { std::fprintf(console, "Error, interrupted\n"); }

SignalHold::SignalHold() {
  const sigset_t set = interrupting_set();
  held_ = sigprocmask(SIG_BLOCK, &set, &previous_) == 0;
}

SignalHold::~SignalHold() {
  if (held_) sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace tarn
