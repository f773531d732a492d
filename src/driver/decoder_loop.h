#pragma once
// The decoder loop: turns a stream file back into a 16-bit PCM WAV file. Reads the header, sets
// up the output WAV, the synthesis window and the band partition from it, then decodes block
// after block until the stream ends: per channel decompress, unpack, dequantise; then the
// windowed inverse MDCT of both channels and overlap-add into the output.
//
// The decoder meets damaged and hostile files. It never reads or writes out of bounds and never
// reports success for a failure: an unusable header decodes nothing; a block that is cut short or
// does not decode ends decoding there, keeping every sample decoded before it. Whenever fewer
// frames reach the output than its header announced (a damaged stream, an interruption, a full
// disk), the header's size fields are rewritten to the frames the file holds, and "End of
// Synthesis" counts those; the output is written unbuffered, so that count is exact. The output is
// always 16-bit stereo: the header's channel byte is printed but changes neither the number of
// records read per block nor the WAV layout.

namespace tarn {

constexpr int DECODE_OK = 0;
constexpr int DECODE_ERR_OPEN = -1;       // stream cannot be opened or output cannot be created
constexpr int DECODE_ERR_HEADER = -2;     // stream shorter than its header, or header unusable
constexpr int DECODE_ERR_DAMAGED = -3;    // a block is cut short or does not decode
constexpr int DECODE_ERR_NO_MEMORY = -4;  // "Error, out of memory"; the output WAV is empty or
                                          // states the frames it holds
constexpr int DECODE_ERR_WRITE = -5;      // the output WAV did not take every byte
constexpr int DECODE_ERR_WAV_LIMIT = -6;  // the stream holds more frames than a WAV can state;
                                          // the WAV ends with max_wav_frames of them
constexpr int DECODE_ERR_INTERRUPTED = -7;  // a signal stopped the run: "Error, interrupted"

// Decodes the stream at stream_path into a WAV created at wav_path. Prints the "File info" line,
// the window name and the "End of Synthesis" line, and one "Error, ..." line for a failure
// (after "End of Synthesis" for a failed write, an interruption and the WAV size limit).
int run_synthesis(const char* stream_path, const char* wav_path);

}  // namespace tarn
