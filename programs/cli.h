#pragma once
// The command-line entry points, clients of the library interface (tarn/tarn.h). tarn runs one
// whole encode-and-decode cycle; tarn-encode and tarn-decode run its two halves on their own.
// All three share the input validation, its messages and the timing defined here. Messages go
// to standard output, or to standard error while the audio itself goes to standard output.
// Each returns 0 after a complete run (also for --help and --version) and -1 on every failure
// it reports (exit status 255), and also when the console did not take its messages. Each first
// makes sure fds 0, 1 and 2 are open and turns SIGPIPE and SIGXFSZ into failed writes
// (process_setup.h). Before opening anything, each refuses paths that name one file twice
// ("Error, A and B are the same file", file_identity.h); SIGINT, SIGTERM and SIGHUP end a run
// between two blocks, or while it waits for a read, an open or a write, with "Error,
// interrupted" (interruption.h). An existing output keeps its bytes until the run has a block
// or decoded frames to put there.

namespace tarn {

// The fewest sample frames an input may hold: enough to fill both input buffers from the file.
constexpr unsigned MIN_INPUT_SAMPLES = 32768;

// Path-level decoding, tarn's second half: decodes the stream at stream_path into a WAV created
// at wav_path, printing "File info", the window name, "End of Synthesis" and one "Error, ..."
// line for a failure on standard output. Returns DECODE_OK or one of the DECODE_ERR_* below.
constexpr int DECODE_OK = 0;
constexpr int DECODE_ERR_OPEN = -1;       // stream cannot be opened or output cannot be created
constexpr int DECODE_ERR_HEADER = -2;     // stream shorter than its header, or header unusable
constexpr int DECODE_ERR_DAMAGED = -3;    // a block is cut short or does not decode
constexpr int DECODE_ERR_NO_MEMORY = -4;  // "Error, out of memory"
constexpr int DECODE_ERR_WRITE = -5;      // the output WAV did not take every byte
constexpr int DECODE_ERR_WAV_LIMIT = -6;  // more frames than a WAV can describe
constexpr int DECODE_ERR_INTERRUPTED = -7;  // a signal stopped the run
constexpr int DECODE_ERR_CUT_SHORT = -8;  // the stream ends before its header's frame count
int run_synthesis(const char* stream_path, const char* wav_path);

// tarn input.wav output.tarn output.wav
int tarn_main(int argc, char** argv);
// tarn-encode [-q] input.wav output.tarn   ("-": standard input or output)
int tarn_encode_main(int argc, char** argv);
// tarn-decode [-q] input.tarn output.wav   ("-": standard input or output)
int tarn_decode_main(int argc, char** argv);

}  // namespace tarn
