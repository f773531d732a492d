#pragma once
// Interruption of a run by the user or the system. SIGINT (Ctrl-C), SIGTERM and SIGHUP only set
// a flag; the programs' loops that push frames into the encoder and pull them out of the
// decoder (cli.cpp) look at it between two calls, every 4096 frames (16 blocks), and stop there.
// The library itself installs no handler and never looks at the flag. Every file is left in a
// state it describes truly: the output WAV's size fields rewritten to the frames it holds, a
// stream being written left as far as it got (the decoder later reads what it holds and says
// where it stops), and the console text printed so far flushed by the normal return from main,
// which a signal's default action would have thrown away with the stdio buffers.

#include <cstdio>

namespace tarn {

// Installs the flag-setting handler for SIGINT, SIGTERM and SIGHUP. A signal that the program
// was started with ignored stays ignored (nohup ignores SIGHUP, a shell ignores SIGINT for
// background jobs). Interrupted system calls restart (SA_RESTART), so no read or write of a
// file fails half-way because of a signal. The handler resets itself (SA_RESETHAND): a second
// signal of the same kind ends the program at once, the way out of a run that does not reach
// its next block (a read blocked on a pipe).
void catch_interruptions();

// True once one of the three signals has arrived after catch_interruptions.
bool interrupted();

// Prints the line that ends an interrupted run, "Error, interrupted", on console.
void print_interrupted(std::FILE* console);

}  // namespace tarn
