#pragma once
// Interruption of a run by the user or the system. SIGINT (Ctrl-C), SIGTERM and SIGHUP only set
// a flag; the encoder and decoder loops look at it once per block and stop there, so every file
// is left in a state it describes truly: the output WAV's size fields rewritten to the frames it
// holds, a stream being written left as far as it got (the decoder later reads what it holds and
// says where it stops), and the console text printed so far flushed by the normal return from
// main, which a signal's default action would have thrown away with the stdio buffers.

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

// Prints the line that ends an interrupted run: "Error, interrupted".
void print_interrupted();

}  // namespace tarn
