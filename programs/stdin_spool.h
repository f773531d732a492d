#pragma once
// Standard input copied into an unnamed temporary file: the WAV reader seeks, and the stream
// header needs the frame count before the first block, which a pipe cannot give.

#include <cstdint>

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

// Copies everything readable from fd into an anonymous temporary file in $TMPDIR (or /tmp),
// whose name is removed as soon as it is made, so it goes with the process however that ends;
// on SPOOL_OK `spool` holds it, rewound. Each read takes what has arrived (a pipe is not waited
// on for more), and the header is judged as soon as its bytes are there (check_wav_start):
// a refused one ends the copy at once with SPOOL_ERR_REFUSED, its WAV_ERR_* code in refusal and,
// for WAV_ERR_UNSUPPORTED, the format's values in wav. No more than `limit` bytes are copied.
// A read or write interrupted by a signal asks `stop`, and so does every round.
int spool_input(int fd, uint64_t limit, bool (*stop)(), FilePtr& spool, WavFile& wav,
                int& refusal);

}  // namespace tarn
