// The C interface of include/tarn/tarn.h: each handle is the state object of the push encoder
// (codec/encoder.h) or of the pull decoder (codec/decoder.h); every Status
// they return becomes a TARN_ERR_* code through the one table of codec/status.cpp.

#include <new>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/status.h"
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

// A Status from the codec as the C interface's code (the one table, codec/status.cpp).
void set_error(int* error, int32_t status) {
  if (error != nullptr) *error = tarn::status_code(status);
}

// A count or a negative Status, as the C interface returns it.
long interface_result(long result) {
  return result < 0 ? tarn::status_code(static_cast<int32_t>(result)) : result;
}

// A new encoder started by start(state): null with *error set when either fails.
template <typename Start>
tarn_encoder* create_encoder(int* error, Start start) {
  tarn_encoder* enc = new (std::nothrow) tarn_encoder;
  if (enc == nullptr) {
    set_error(error, tarn::STATUS_NO_MEMORY);
    return nullptr;
  }
  const int32_t status = start(enc->state);
  set_error(error, status);
  if (status != tarn::STATUS_OK) {
    delete enc;
    return nullptr;
  }
  return enc;
}

}  // namespace

extern "C" {

const char* tarn_strerror(int code) {
  const int32_t status = tarn::status_of_code(code);
  return tarn::status_code(status) == code ? tarn::status_text(status) : "unknown error code";
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
  return tarn::status_code(tarn::encoder_push(enc->state, frames, frame_count));
}

int tarn_encoder_finish(tarn_encoder* enc) {
  if (enc == nullptr) return TARN_ERR_ARGUMENT;
  return tarn::status_code(tarn::encoder_finish(enc->state));
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
    set_error(error, tarn::STATUS_NO_MEMORY);
    return nullptr;
  }
  const int32_t status = tarn::decoder_open(dec->state, read, seek, user);
  set_error(error, status);
  if (info != nullptr) {
    const tarn::StreamHeader& h = dec->state.header;
    *info = tarn_stream_info{h.sample_count, h.sample_rate, h.channel_count, h.half_frame,
                             h.window_type};
  }
  if (status != tarn::STATUS_OK) {
    delete dec;
    return nullptr;
  }
  return dec;
}

long tarn_decoder_read(tarn_decoder* dec, int16_t* frames, size_t max_frames) {
  if (dec == nullptr) return TARN_ERR_ARGUMENT;
  return interface_result(tarn::decoder_read(dec->state, frames, max_frames));
}

int tarn_decoder_seek(tarn_decoder* dec, uint64_t frame) {
  if (dec == nullptr) return TARN_ERR_ARGUMENT;
  return tarn::status_code(tarn::decoder_seek(dec->state, frame));
}

void tarn_decoder_destroy(tarn_decoder* dec) { delete dec; }

long tarn_decoder_error_block(const tarn_decoder* dec) {
  if (dec == nullptr || !tarn::is_damage(dec->state.status)) return -1;
  return static_cast<long>(dec->state.blocks_done);
}

const char* tarn_decoder_message(const tarn_decoder* dec) {
  return dec == nullptr ? "" : dec->state.message;
}

}  // extern "C"
