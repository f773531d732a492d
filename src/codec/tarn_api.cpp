// The C interface of include/tarn/tarn.h: each handle is the state object of the push encoder
// (codec/encoder.h) or of the pull decoder (codec/decoder.h), and the one table of messages.

#include <new>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "tarn/tarn.h"

struct tarn_encoder {
  tarn::EncoderState state;
};

struct tarn_decoder {
  tarn::DecoderState state;
};

namespace {

#define TARN_STRINGIFY(x) #x
#define TARN_VERSION_TEXT(a, b, c) TARN_STRINGIFY(a) "." TARN_STRINGIFY(b) "." TARN_STRINGIFY(c)

// Texts held in place (no pointers), so that the table is read-only data.
struct Message {
  int code;
  char text[56];
};

// Every code of tarn.h but the damage codes and its text; a damage code's text is its record
// status's (record_message), the tail of tarn-decode's "Error, <stream> is damaged at block <k>:
// <text>" lines.
constexpr Message MESSAGES[] = {
    {TARN_OK, "success"},
    {TARN_ERR_NO_MEMORY, "out of memory"},
    {TARN_ERR_ARGUMENT, "invalid argument"},
    {TARN_ERR_SAMPLE_RATE, "sample rate other than 44100 Hz"},
    {TARN_ERR_WRITE, "the stream could not be written"},
    {TARN_ERR_READ, "the stream could not be read"},
    {TARN_ERR_TOO_MANY_FRAMES, "more frames than the stream header announces"},
    {TARN_ERR_FINISHED, "the encoder has already finished"},
    {TARN_ERR_HEADER_SHORT, "too short for a stream header"},
    {TARN_ERR_HALF_FRAME, "unusable header: half_frame not even from 2 to 526"},
    {TARN_ERR_BANDS, "unusable header: the bins do not fill the bands"},
    {TARN_ERR_STREAM_SHORT, "the stream ends before its last frame"},
    {TARN_ERR_SEEK, "the stream cannot seek"},
};

void set_error(int* error, int code) {
  if (error != nullptr) *error = code;
}

// A new encoder started by start(state): null with *error set when either fails.
template <typename Start>
tarn_encoder* create_encoder(int* error, Start start) {
  tarn_encoder* enc = new (std::nothrow) tarn_encoder;
  if (enc == nullptr) {
    set_error(error, TARN_ERR_NO_MEMORY);
    return nullptr;
  }
  const int status = start(enc->state);
  set_error(error, status);
  if (status != TARN_OK) {
    delete enc;
    return nullptr;
  }
  return enc;
}

}  // namespace

extern "C" {

const char* tarn_strerror(int code) {
  if (TARN_IS_DAMAGED(code)) return tarn::record_message(tarn::record_status_of(code));
  for (const Message& m : MESSAGES) {
    if (m.code == code) return m.text;
  }
  return "unknown error code";
}

const char* tarn_version(void) {
  return TARN_VERSION_TEXT(TARN_VERSION_MAJOR, TARN_VERSION_MINOR, TARN_VERSION_PATCH);
}

tarn_encoder* tarn_encoder_create(uint32_t sample_count, uint32_t sample_rate,
                                  tarn_write_fn write, void* user, int* error) {
  return create_encoder(error, [&](tarn::EncoderState& s) {
    return tarn::encoder_start(s, sample_count, sample_rate, write, user);
  });
}

tarn_encoder* tarn_encoder_create_seekable(uint32_t sample_rate, tarn_write_fn write,
                                           tarn_seek_fn seek, void* user, int* error) {
  return create_encoder(error, [&](tarn::EncoderState& s) {
    return tarn::encoder_start_seekable(s, sample_rate, write, seek, user);
  });
}

int tarn_encoder_push(tarn_encoder* enc, const int16_t* frames, size_t frame_count) {
  if (enc == nullptr) return TARN_ERR_ARGUMENT;
  return tarn::encoder_push(enc->state, frames, frame_count);
}

int tarn_encoder_finish(tarn_encoder* enc) {
  if (enc == nullptr) return TARN_ERR_ARGUMENT;
  return tarn::encoder_finish(enc->state);
}

void tarn_encoder_destroy(tarn_encoder* enc) { delete enc; }

void tarn_encoder_get_stats(const tarn_encoder* enc, tarn_encoder_stats* stats) {
  if (enc == nullptr || stats == nullptr) return;
  stats->block_count = static_cast<uint32_t>(enc->state.blocks_done);
  stats->payload_bytes[0] = enc->state.payload_bytes[0];
  stats->payload_bytes[1] = enc->state.payload_bytes[1];
}

tarn_decoder* tarn_decoder_create(tarn_read_fn read, void* user, tarn_stream_info* info,
                                  int* error) {
  return tarn_decoder_create_seekable(read, nullptr, user, info, error);
}

tarn_decoder* tarn_decoder_create_seekable(tarn_read_fn read, tarn_seek_fn seek, void* user,
                                           tarn_stream_info* info, int* error) {
  tarn_decoder* dec = new (std::nothrow) tarn_decoder;
  if (dec == nullptr) {
    set_error(error, TARN_ERR_NO_MEMORY);
    return nullptr;
  }
  const int status = tarn::decoder_open(dec->state, read, seek, user);
  set_error(error, status);
  if (info != nullptr) {
    const tarn::StreamHeader& h = dec->state.header;
    *info = tarn_stream_info{h.sample_count, h.sample_rate, h.channel_count, h.half_frame,
                             h.window_type};
  }
  if (status != TARN_OK) {
    delete dec;
    return nullptr;
  }
  return dec;
}

long tarn_decoder_read(tarn_decoder* dec, int16_t* frames, size_t max_frames) {
  if (dec == nullptr) return TARN_ERR_ARGUMENT;
  return tarn::decoder_read(dec->state, frames, max_frames);
}

int tarn_decoder_seek(tarn_decoder* dec, uint64_t frame) {
  if (dec == nullptr) return TARN_ERR_ARGUMENT;
  return tarn::decoder_seek(dec->state, frame);
}

void tarn_decoder_destroy(tarn_decoder* dec) { delete dec; }

long tarn_decoder_error_block(const tarn_decoder* dec) {
  if (dec == nullptr || !TARN_IS_DAMAGED(dec->state.status)) return -1;
  return static_cast<long>(dec->state.blocks_done);
}

const char* tarn_decoder_message(const tarn_decoder* dec) {
  return dec == nullptr ? "" : dec->state.message;
}

}  // extern "C"
