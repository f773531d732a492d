/* A program that uses FFTW itself (the system's, -lfftw3) and links the static libtarn.a: its
 * own transforms are right, its fftw_cleanup() leaves tarn's transforms alone, and tarn writes
 * the same stream before and after it.
 *
 * Usage: fftw_user IN.pcm OUT.tarn. IN.pcm holds interleaved 16-bit little-endian stereo
 * frames; OUT.tarn gets their stream, to be compared with tarn-encode's. Exit 0 when all held. */
#include <fftw3.h>
#include <math.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tarn/tarn.h>

typedef struct {
    unsigned char *bytes;
    size_t size, capacity;
} Buffer;

static int append(void *user, const unsigned char *bytes, size_t n) {
    Buffer *b = user;
    if (b->size + n > b->capacity) {
        const size_t capacity = (b->size + n) * 2;
        unsigned char *grown = realloc(b->bytes, capacity);
        if (!grown) return -1;
        b->bytes = grown;
        b->capacity = capacity;
    }
    memcpy(b->bytes + b->size, bytes, n);
    b->size += n;
    return 0;
}

/* The program's own FFT: a cosine on bin 3 of 64 must come out as 32 there and 0 elsewhere. */
static int own_fft_is_right(void) {
    double *in = fftw_alloc_real(64);
    fftw_complex *out = fftw_alloc_complex(33);
    fftw_plan plan = fftw_plan_dft_r2c_1d(64, in, out, FFTW_ESTIMATE);
    int right = plan != NULL;
    for (int j = 0; j < 64; ++j) in[j] = cos(2 * 3.14159265358979323846 * 3 * j / 64);
    if (plan) fftw_execute(plan);
    for (int k = 0; right && k < 33; ++k) {
        right = fabs(out[k][0] - (k == 3 ? 32.0 : 0.0)) < 1e-9 && fabs(out[k][1]) < 1e-9;
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
    return right;
}

static int status = 0;
static void fail(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    status = 1;
}

static int encode(const int16_t *frames, size_t count, Buffer *stream) {
    int error;
    tarn_encoder *enc = tarn_encoder_create((uint32_t)count, 44100, append, stream, &error);
    if (!enc) return error;
    error = tarn_encoder_push(enc, frames, count);
    if (error == TARN_OK) error = tarn_encoder_finish(enc);
    tarn_encoder_destroy(enc);
    return error;
}

int main(int argc, char **argv) {
    if (argc != 3) return fprintf(stderr, "usage: fftw_user IN.pcm OUT.tarn\n"), 2;
    FILE *f = fopen(argv[1], "rb");
    if (!f) return perror(argv[1]), 1;
    Buffer pcm = {0}, first = {0}, second = {0};
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (append(&pcm, chunk, got) != 0) return fprintf(stderr, "out of memory\n"), 1;
    }
    fclose(f);
    const size_t count = pcm.size / 4;
    int16_t *frames = malloc(pcm.size + 4);
    if (!frames) return fprintf(stderr, "out of memory\n"), 1;
    for (size_t i = 0; i < 2 * count; ++i) {
        frames[i] = (int16_t)(uint16_t)(pcm.bytes[2 * i] | pcm.bytes[2 * i + 1] << 8);
    }

    if (!own_fft_is_right()) fail("the program's FFT is wrong\n");
    int error = encode(frames, count, &first);
    if (error != TARN_OK) fail("first encode: %s\n", tarn_strerror(error));
    /* The program is done with its FFTW, and says so; tarn's transforms are not its business. */
    fftw_cleanup();
    error = encode(frames, count, &second);
    if (error != TARN_OK) fail("second encode: %s\n", tarn_strerror(error));
    if (first.size != second.size || memcmp(first.bytes, second.bytes, first.size) != 0) {
        fail("the stream changed after fftw_cleanup()\n");
    }
    if (!own_fft_is_right()) fail("the program's FFT is wrong after tarn\n");
    fftw_cleanup();

    f = fopen(argv[2], "wb");
    if (!f || fwrite(first.bytes, 1, first.size, f) != first.size || fclose(f) != 0) {
        fail("cannot write %s\n", argv[2]);
    }
    free(frames);
    free(pcm.bytes);
    free(first.bytes);
    free(second.bytes);
    return status;
}
