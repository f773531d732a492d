// The one table between the codec's statuses and the C interface's codes and texts.

#include "codec/status.h"

#include "tarn/tarn.h"

namespace tarn {
namespace {

// Texts held in place (no pointers), so that the table is read-only data.
struct StatusEntry {
  int32_t status;
  int code;
  char text[56];
};

// The first entry of a code is the status that code stands for.
// clang-format off
constexpr StatusEntry TABLE[] = {
    {STATUS_OK,              TARN_OK,                  "success"},
    {STATUS_NO_MEMORY,       TARN_ERR_NO_MEMORY,       "out of memory"},
    {STATUS_ARGUMENT,        TARN_ERR_ARGUMENT,        "invalid argument"},
    {STATUS_SAMPLE_RATE,     TARN_ERR_SAMPLE_RATE,     "sample rate other than 44100 Hz"},
    {STATUS_WRITE,           TARN_ERR_WRITE,           "the stream could not be written"},
    {STATUS_READ,            TARN_ERR_READ,            "the stream could not be read"},
    {STATUS_TOO_MANY_FRAMES, TARN_ERR_TOO_MANY_FRAMES, "more frames than the stream header announces"},
    {STATUS_FINISHED,        TARN_ERR_FINISHED,        "the encoder has already finished"},
    {STATUS_HEADER_SHORT,    TARN_ERR_HEADER_SHORT,    "too short for a stream header"},
    {STATUS_HALF_FRAME,      TARN_ERR_HALF_FRAME,      "unusable header: half_frame not even from 2 to 526"},
    {STATUS_BANDS,           TARN_ERR_BANDS,           "unusable header: the bins do not fill the bands"},
    {STATUS_RIGHT_MISSING,   TARN_ERR_RIGHT_MISSING,   "right record missing"},
    {STATUS_RECORD_LENGTH,   TARN_ERR_RECORD_LENGTH,   "record length above the payload buffer"},
    {STATUS_RECORD_CUT,      TARN_ERR_RECORD_CUT,      "record cut short"},
    {STATUS_UNDECODABLE,     TARN_ERR_PAYLOAD,         "payload does not decode"},
    {STATUS_NO_BAND_HEADER,  TARN_ERR_BAND_HEADER,     "payload shorter than its band header"},
    {STATUS_FIELDS,          TARN_ERR_BIT_STREAM,      "bit stream shorter than its fields"},
    {STATUS_STREAM_SHORT,    TARN_ERR_STREAM_SHORT,    "the stream ends before its last frame"},
    {STATUS_SEEK,            TARN_ERR_SEEK,            "the stream cannot seek"},
    // Inner faults: a record the decoder cannot take is a damaged bit stream; a transform,
    // table or coder that cannot do its work has had no memory for it.
    {STATUS_SIZE,            TARN_ERR_BIT_STREAM,      "bin count outside the packed block"},
    {STATUS_TOO_LONG,        TARN_ERR_BIT_STREAM,      "payload above the record buffer"},
    {STATUS_BAND_BITS,       TARN_ERR_BIT_STREAM,      "band bit count above 15"},
    {STATUS_NOT_READY,       TARN_ERR_NO_MEMORY,       "transform not set up for its length"},
    {STATUS_PARTITION,       TARN_ERR_BANDS,           "the bins run out before the last band"},
    {STATUS_OUTPUT_FULL,     TARN_ERR_NO_MEMORY,       "coded bytes beyond the output buffer"},
};
// clang-format on

const StatusEntry* entry_of(int32_t status) {
  for (const StatusEntry& e : TABLE) {
    if (e.status == status) return &e;
  }
  return nullptr;
}

}  // namespace

int status_code(int32_t status) {
  const StatusEntry* e = entry_of(status);
  return e != nullptr ? e->code : TARN_ERR_ARGUMENT;
}

const char* status_text(int32_t status) {
  const StatusEntry* e = entry_of(status);
  return e != nullptr ? e->text : "unknown error code";
}

int32_t status_of_code(int code) {
  for (const StatusEntry& e : TABLE) {
    if (e.code == code) return e.status;
  }
  return STATUS_ARGUMENT;
}

}  // namespace tarn
