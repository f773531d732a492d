#pragma once
// The codec's one status type. An operation of the library that can fail returns a Status, or a
// count (>= 0) where it has one to give and a Status below 0 where it fails. The C interface maps
// a Status to its TARN_ERR_* code and its text through one table (status.cpp); nothing else
// translates.

#include <cstdint>

namespace tarn {

enum Status : int32_t {
  STATUS_OK = 0,
  STATUS_NO_MEMORY = -1,        // work storage, a table or an FFT plan could not be allocated
  STATUS_ARGUMENT = -2,         // a null callback, handle or buffer, or a length below 0
  STATUS_SAMPLE_RATE = -3,      // the encoder takes 44100 Hz only
  STATUS_WRITE = -4,            // the write callback failed
  STATUS_READ = -5,             // the read callback failed
  STATUS_TOO_MANY_FRAMES = -6,  // pushed beyond the frames the encoder takes
  STATUS_FINISHED = -7,         // the encoder has finished
  STATUS_HEADER_SHORT = -8,     // the stream ends inside its header
  STATUS_HALF_FRAME = -9,       // header: half_frame not even from 2 to MAX_HALF_FRAME
  STATUS_BANDS = -10,           // header: the bins do not fill the bands at its rate
  // A damaged stream, in the order a decoder meets the faults of a block:
  STATUS_RIGHT_MISSING = -11,   // fewer than 2 bytes where a right record's length must be
  STATUS_RECORD_LENGTH = -12,   // a record length above the payload buffer
  STATUS_RECORD_CUT = -13,      // fewer payload bytes than the length announces
  STATUS_UNDECODABLE = -14,     // the arithmetic decoder refuses the payload
  STATUS_NO_BAND_HEADER = -15,  // a decoded payload shorter than the band header
  STATUS_FIELDS = -16,          // a bit stream shorter than the fields its header announces
  STATUS_STREAM_SHORT = -17,    // the stream ends before its header's frame count
  STATUS_SEEK = -18,            // the seek callback failed, or there is none
  // Faults inside the codec that no handle made by the C interface meets:
  STATUS_SIZE = -31,            // a length or bin count the operation or its tables cannot take
  STATUS_NOT_READY = -32,       // a transform's scratch not set up for this length by its init
  STATUS_PARTITION = -33,       // the bins run out before the last band (the tables are built)
  STATUS_OUTPUT_FULL = -34,     // coded bytes beyond the output buffer
  STATUS_BAND_BITS = -35,       // a band bit count above what a header nibble holds
  STATUS_TOO_LONG = -36,        // a compressed payload that does not fit its record
};

// Whether a status is one of a damaged stream's.
constexpr bool is_damage(int32_t status) {
  return status <= STATUS_RIGHT_MISSING && status >= STATUS_FIELDS;
}

// The C interface's code of a status: TARN_OK or a TARN_ERR_*. The codec's inner faults, which no
// handle meets, give the code of the nearest outcome a client can act on (see status.cpp).
int status_code(int32_t status);
// The status's text: for a damaged stream, the tail of "Error, PATH is damaged at block K: ...".
const char* status_text(int32_t status);
// The status of a C interface code; STATUS_ARGUMENT for a code no status has.
int32_t status_of_code(int code);

}  // namespace tarn
