/* tarn: a perceptual audio codec for 44100 Hz 16-bit stereo, as a C library.
 *
 * The encoder is pushed interleaved 16-bit frames and hands the stream out through a write
 * callback, block by block; the decoder pulls the stream through a read callback and returns
 * interleaved 16-bit frames. Both run in constant memory, whatever the length of the audio.
 *
 * Every handle owns all of its state: different handles may be used from different threads at
 * once (one handle from one thread at a time) and give the same bytes as they give alone.
 *
 * Error codes: every error is a negative int, TARN_OK is 0; tarn_strerror gives the message.
 * An error other than TARN_ERR_ARGUMENT, TARN_ERR_TOO_MANY_FRAMES and TARN_ERR_FINISHED leaves
 * the handle unusable: every later call on it returns the same code, and only tarn_*_destroy
 * remains to be called; a seekable decoder may still seek after TARN_ERR_STREAM_SHORT or damage.
 *
 * The library never writes to standard output or standard error, and never aborts: a failed
 * allocation gives TARN_ERR_NO_MEMORY.
 */
#ifndef TARN_TARN_H
#define TARN_TARN_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define TARN_API __attribute__((visibility("default")))
#else
#define TARN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define TARN_VERSION_MAJOR 0
#define TARN_VERSION_MINOR 1
#define TARN_VERSION_PATCH 0

#define TARN_OK 0                      /* every error is a negative int */
#define TARN_ERR_NO_MEMORY (-1)        /* work storage could not be allocated */
#define TARN_ERR_ARGUMENT (-2)         /* a null callback, handle or frame pointer */
#define TARN_ERR_SAMPLE_RATE (-3)      /* the encoder takes 44100 Hz only */
#define TARN_ERR_WRITE (-4)            /* the write callback reported a failure */
#define TARN_ERR_READ (-5)             /* the read callback reported a failure */
#define TARN_ERR_TOO_MANY_FRAMES (-6)  /* pushed beyond the sample_count given at create */
#define TARN_ERR_FINISHED (-7)         /* the encoder has finished: nothing more to push */
#define TARN_ERR_HEADER_SHORT (-8)     /* the stream ends inside its 12-byte header */
#define TARN_ERR_HALF_FRAME (-9)       /* header: half_frame not even, or not 2 to TARN_MAX_HALF_FRAME */
#define TARN_ERR_BANDS (-10)           /* header: the bins do not fill the coding bands at its rate */
/* A damaged stream: the codes from TARN_ERR_RIGHT_MISSING to TARN_ERR_BIT_STREAM.
 * tarn_decoder_error_block names the block, tarn_decoder_message says it in full. */
#define TARN_ERR_RIGHT_MISSING (-11)   /* a block's right record is missing */
#define TARN_ERR_RECORD_LENGTH (-12)   /* a record's length is above the payload buffer */
#define TARN_ERR_RECORD_CUT (-13)      /* the stream ends inside a record */
#define TARN_ERR_PAYLOAD (-14)         /* a record's payload does not decode */
#define TARN_ERR_BAND_HEADER (-15)     /* a payload is shorter than its band header */
#define TARN_ERR_BIT_STREAM (-16)      /* a bit stream is shorter than its fields */
#define TARN_ERR_STREAM_SHORT (-17)  /* the stream ends before the header's sample_count frames */
#define TARN_ERR_SEEK (-18)          /* the seek callback failed, or the handle was made without one */
#define TARN_IS_DAMAGED(code) ((code) <= TARN_ERR_RIGHT_MISSING && (code) >= TARN_ERR_BIT_STREAM)

/* The largest half_frame a stream header may give (and the decoder accepts). */
#define TARN_MAX_HALF_FRAME 526

TARN_API const char *tarn_strerror(int code);   /* a message for every code */
TARN_API const char *tarn_version(void);        /* "MAJOR.MINOR.PATCH" */

/* write: must take all `length` bytes; returns 0 when it did, anything else on failure.
 * read: fills up to `capacity` bytes; returns the count (>0), 0 at the end, <0 on failure. */
typedef int  (*tarn_write_fn)(void *user, const unsigned char *bytes, size_t length); /* 0: all written */
typedef long (*tarn_read_fn)(void *user, unsigned char *bytes, size_t capacity);      /* >0 read, 0 end, <0 failure */

/* Moves the stream's read or write position to `offset` bytes from its start; 0 on success. */
typedef int (*tarn_seek_fn)(void *user, uint64_t offset);

/* ---- Encoder ----
 * create writes the 12-byte stream header through `write`. Latency: when a push returns, every
 * block whose frames have all been pushed has been written (block k needs frames up to
 * 256k + 255, so after pushes of n frames in all, n / 256 blocks, rounded down, are out; each
 * block's two records go in one write call). finish codes the rest: for an encoder of known
 * length, counting every frame never pushed as silence. The bytes written are those tarn-encode
 * writes for a WAV holding the same frames, whatever the sizes of the pushes. */
typedef struct tarn_encoder tarn_encoder;
TARN_API tarn_encoder *tarn_encoder_create(uint32_t sample_count, uint32_t sample_rate,
                                           tarn_write_fn write, void *user, int *error);
/* An encoder for audio whose length is not known in advance: every frame pushed is coded and
 * nothing is padded. finish seeks to offset 0 and rewrites the 12-byte header with the number
 * of frames pushed. Until then the header's sample_count reads 0xFFFFFFFF, so that a stream
 * whose writer died still decodes up to its last whole block. It takes at most 0xFFFFFFFE
 * frames (more give TARN_ERR_TOO_MANY_FRAMES). */
TARN_API tarn_encoder *tarn_encoder_create_seekable(uint32_t sample_rate, tarn_write_fn write,
                                                    tarn_seek_fn seek, void *user, int *error);
/* frames: frame_count interleaved (left, right) pairs. Frames beyond sample_count are not
 * coded: the call codes those that fit and returns TARN_ERR_TOO_MANY_FRAMES, and the encoder
 * can still finish. After finish, push and finish return TARN_ERR_FINISHED. */
TARN_API int  tarn_encoder_push(tarn_encoder *enc, const int16_t *frames, size_t frame_count);
TARN_API int  tarn_encoder_finish(tarn_encoder *enc);
TARN_API void tarn_encoder_destroy(tarn_encoder *enc);

/* What the encoder has written so far: blocks and payload bytes per channel (the records
 * without their 2-byte length words). */
typedef struct {
    uint32_t block_count;
    uint64_t payload_bytes[2]; /* left, right */
} tarn_encoder_stats;
TARN_API void tarn_encoder_get_stats(const tarn_encoder *enc, tarn_encoder_stats *stats);

/* ---- Decoder ---- */
typedef struct {
    uint32_t sample_count, sample_rate, channel_count, half_frame, window_type;
} tarn_stream_info;
typedef struct tarn_decoder tarn_decoder;
/* Reads and checks the 12-byte header. On NULL, *error says why; *info (when not NULL) holds
 * the header's fields whenever all 12 bytes could be read. */
TARN_API tarn_decoder *tarn_decoder_create(tarn_read_fn read, void *user,
                                           tarn_stream_info *info, int *error);
/* A decoder that can seek. Otherwise it is tarn_decoder_create. */
TARN_API tarn_decoder *tarn_decoder_create_seekable(tarn_read_fn read, tarn_seek_fn seek,
                                                    void *user, tarn_stream_info *info,
                                                    int *error);
/* Returns up to max_frames (at least 1) interleaved (left, right) frames, 0 at the end of the
 * stream, or a negative code. Latency: frames are returned as soon as the block that finishes
 * them is decoded; before its first frames a decoder reads only the header and the records of
 * blocks 0 and 1 (a block of half_frame frames needs the next block's first half). The frames
 * are at most the header's sample_count in all; the blocks after them are still read and
 * checked, so that damage there is reported too. After damage, the earlier calls have returned
 * every frame decoded before the damaged block. A stream that ends cleanly before sample_count
 * frames gives TARN_ERR_STREAM_SHORT after its last frame. */
TARN_API long tarn_decoder_read(tarn_decoder *dec, int16_t *frames, size_t max_frames);
/* After it returns TARN_OK, the next reads return the frames from `frame` on, bit for bit the
 * ones a decoder reading from the start returns there. `frame` equal to sample_count seeks to
 * the end; beyond that gives TARN_ERR_ARGUMENT. A decoder made without a seek callback gives
 * TARN_ERR_SEEK. Seeking backwards and forwards any number of times is allowed, also after
 * TARN_ERR_STREAM_SHORT or damage (seeking before the damaged block reads the good frames
 * again). The blocks before the target are passed by their length words; only the block before
 * it is decoded. Other errors of the seek: TARN_ERR_READ, TARN_ERR_STREAM_SHORT (the stream ends
 * before the target) and the damage codes. */
TARN_API int tarn_decoder_seek(tarn_decoder *dec, uint64_t frame);
TARN_API void tarn_decoder_destroy(tarn_decoder *dec);
/* After an error: the index of the block that failed (0 for the first), or -1 when the error
 * concerns no block. */
TARN_API long tarn_decoder_error_block(const tarn_decoder *dec);
/* "damaged at block 5: record cut short" for a damaged stream, tarn_strerror's message for any
 * other error, "" before any error. Valid until the handle is destroyed. */
TARN_API const char *tarn_decoder_message(const tarn_decoder *dec);

#ifdef __cplusplus
}
#endif

#endif /* TARN_TARN_H */
