#pragma once
// Interruption of a run by the user or the system. SIGINT (Ctrl-C), SIGTERM and SIGHUP only set
// a flag; the programs' loops that push frames into the encoder and pull them out of the
// decoder (cli.cpp) look at it between two calls, every 4096 frames (16 blocks), and stop there.
// The library itself installs no handler and never looks at the flag. Every file is left in a
// state it describes truly: the output WAV's size fields rewritten to the frames it holds, a
// stream being written left as far as it got (the decoder later reads what it holds and says
// where it stops), and the console text printed so far flushed by the normal return from main,
// which a signal's default action would have thrown away with the stdio buffers.

#include <csignal>
#include <cstdio>

namespace tarn {

// Installs the flag-setting handler for SIGINT, SIGTERM and SIGHUP. A signal that the program
// was started with ignored stays ignored (nohup ignores SIGHUP, a shell ignores SIGINT for
// background jobs). Interrupted system calls are not restarted: a read blocked on a pipe or a
// terminal, an open of a FIFO without a reader and a write to a stalled consumer fail with EINTR,
// and the caller, seeing the flag, reports "Error, interrupted" rather than a read or write
// error. The handler stays in place: a second signal sets the flag again and kills nothing.
void catch_interruptions();

// True once one of the three signals has arrived after catch_interruptions.
bool interrupted();

// Prints the line that ends an interrupted run, "Error, interrupted", on console.
void print_interrupted(std::FILE* console);

// Holds the three signals back for its lifetime (they arrive when it goes): around the short
// work that finishes a file's header, so that no signal lands between two of its fields.
class SignalHold {
 public:
  SignalHold();
  ~SignalHold();
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;

 private:
  sigset_t previous_{};
  bool held_ = false;
};

}  // namespace tarn
