#pragma once
// Standard input as the programs read it. Its header is read from the bytes held in memory as
// they arrive (read_piped_header), so that the audio can be encoded straight from the pipe. When
// the header cannot be judged from the first bytes, or the stream must carry its frame count
// before its first block (its output cannot seek), the input is copied into an unnamed temporary
// file instead: the WAV reader seeks.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "programs/file_handle.h"
#include "programs/wav_file.h"

namespace tarn {

// The most bytes a WAV file can hold: its RIFF size field (32 bits) counts every byte after the
// first 8. A longer input cannot be described by any WAV header, so the copy stops there.
constexpr uint64_t MAX_WAV_FILE_BYTES = 0xFFFFFFFFull + 8;

// Results of spool_input.
constexpr int SPOOL_OK = 0;
constexpr int SPOOL_ERR_FAILED = -1;       // no temporary file, or a read or write failed
constexpr int SPOOL_ERR_REFUSED = -2;      // the header was refused as it arrived (refusal)
constexpr int SPOOL_ERR_TOO_LARGE = -3;    // the input goes on past `limit` bytes
constexpr int SPOOL_ERR_INTERRUPTED = -4;  // `stop` answered true
constexpr int SPOOL_ERR_NO_MEMORY = -5;    // no room for the bytes held in memory
// read_piped_header: the first bytes do not decide the header (see there).
constexpr int SPOOL_UNDECIDED = 1;

// Bytes of standard input held in memory: length of them at data, in room for capacity.
struct FreeBytes {
  void operator()(uint8_t* p) const { std::free(p); }
};
struct HeldInput {
  std::unique_ptr<uint8_t, FreeBytes> data;
  size_t length = 0;
  size_t capacity = 0;
  bool ended = false;  // the input's end has been read: length is all of it
};

// Reads what has arrived on fd (at most n bytes, one read; a pipe is not waited on for more).
// Returns the count (> 0), 0 at the end, SPOOL_ERR_FAILED, or SPOOL_ERR_INTERRUPTED when a
// signal cut the read short and `stop` answers true (a cut read is otherwise retried).
long read_arrived(int fd, uint8_t* bytes, size_t n, bool (*stop)());

// Reads fd into held until it holds at least `wanted` bytes or the input ends (held.ended);
// `stop` is asked every round. SPOOL_OK, SPOOL_ERR_FAILED, SPOOL_ERR_NO_MEMORY or
// SPOOL_ERR_INTERRUPTED.
int hold_input(int fd, size_t wanted, bool (*stop)(), HeldInput& held);

// Reads the WAV header from fd (a pipe) into memory, judging it as its bytes arrive: the start
// by check_wav_start, and the whole header by read_wav_header on the bytes held, as soon as that
// reading needs no byte beyond them (or the input has ended, when the bytes held are the whole
// input). The reading is that of a stream: the data size is taken as stored. Returns SPOOL_OK
// with header set to read_wav_header's result (for WAV_OK: wav's format, sample_count the frames
// the data size declares, and data_offset the first byte of the data chunk's body in held), or to
// the refusal of check_wav_start; SPOOL_UNDECIDED when `bound` bytes do not decide it (held keeps
// them, for spool_input); SPOOL_ERR_FAILED, SPOOL_ERR_NO_MEMORY or SPOOL_ERR_INTERRUPTED.
int read_piped_header(int fd, size_t bound, bool (*stop)(), HeldInput& held, WavFile& wav,
                      int& header, size_t& data_offset);

// Copies everything readable from fd into an anonymous temporary file in $TMPDIR (or /tmp),
// whose name is removed as soon as it is made, so it goes with the process however that ends;
// on SPOOL_OK `spool` holds it, rewound. Each read takes what has arrived (a pipe is not waited
// on for more), and the header is judged as soon as its bytes are there (check_wav_start):
// a refused one ends the copy at once with SPOOL_ERR_REFUSED, its WAV_ERR_* code in refusal and,
// for WAV_ERR_UNSUPPORTED, the format's values in wav. No more than `limit` bytes are copied.
// A read or write interrupted by a signal asks `stop`, and so does every round. The `prefix_length`
// bytes at `prefix` (already read from fd) come first, judged and counted as the copy's own.
int spool_input(int fd, uint64_t limit, bool (*stop)(), FilePtr& spool, WavFile& wav,
                int& refusal, const uint8_t* prefix = nullptr, size_t prefix_length = 0);

}  // namespace tarn
