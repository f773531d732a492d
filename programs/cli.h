#pragma once
// The command-line entry points, clients of the library interface (tarn/tarn.h). tarn runs one
// whole encode-and-decode cycle; tarn-encode and tarn-decode run its two halves on their own.
// All three share the input validation, its messages and the timing defined here. Messages go
// to standard output, or to standard error while the audio itself goes to standard output.
// Each returns 0 after a complete run (also for --help and --version) and -1 on every failure
// it reports (exit status 255). Before opening anything, each refuses paths that name one file
// twice ("Error, A and B are the same file", file_identity.h); SIGINT, SIGTERM and SIGHUP end a
// run between two blocks with "Error, interrupted" (interruption.h).

namespace tarn {

// The fewest sample frames an input may hold: enough to fill both input buffers from the file.
constexpr unsigned MIN_INPUT_SAMPLES = 32768;

// tarn input.wav output.tarn output.wav
int tarn_main(int argc, char** argv);
// tarn-encode [-q] input.wav output.tarn   ("-": standard input or output)
int tarn_encode_main(int argc, char** argv);
// tarn-decode [-q] input.tarn output.wav   ("-": standard input or output)
int tarn_decode_main(int argc, char** argv);

}  // namespace tarn
