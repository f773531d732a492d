/* Times a seek against a whole decode, through the public interface only:
 *   tarn-seek-time STREAM.tarn
 * decodes the stream from its start to its end, then with a fresh seekable decoder seeks to the
 * stream's last second and reads one second, and prints both times (the best of five runs each)
 * and their ratio. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <tarn/tarn.h>

static long from_file(void *f, unsigned char *b, size_t n) { return (long)fread(b, 1, n, f); }
static int seek_file(void *f, uint64_t offset) { return fseeko(f, (off_t)offset, SEEK_SET); }

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

/* Seconds for one run: a whole decode (target_frame < 0), or a seek and one second's read. */
static double run(const char *path, long long target_frame, long long *frames_read) {
    static int16_t frames[2 * 44100];
    FILE *f = fopen(path, "rb");
    int error = 0;
    tarn_stream_info info;
    double start, seconds;
    long got;
    tarn_decoder *dec;
    if (!f) return -1;
    start = now();
    dec = tarn_decoder_create_seekable(from_file, seek_file, f, &info, &error);
    if (!dec) { fclose(f); return -1; }
    *frames_read = 0;
    if (target_frame >= 0) {
        if (tarn_decoder_seek(dec, (uint64_t)target_frame) != TARN_OK) { fclose(f); return -1; }
        got = tarn_decoder_read(dec, frames, 44100);
        if (got > 0) *frames_read = got;
    } else {
        while ((got = tarn_decoder_read(dec, frames, 44100)) > 0) *frames_read += got;
    }
    seconds = now() - start;
    tarn_decoder_destroy(dec);
    fclose(f);
    return got < 0 ? -1 : seconds;
}

int main(int argc, char **argv) {
    double whole = 1e30, seek = 1e30, t;
    long long frames = 0, read_after_seek = 0, target;
    int i;
    if (argc != 2) { fprintf(stderr, "usage: %s STREAM.tarn\n", argv[0]); return 2; }
    for (i = 0; i < 5; ++i) {
        t = run(argv[1], -1, &frames);
        if (t < 0) { fprintf(stderr, "cannot decode %s\n", argv[1]); return 1; }
        if (t < whole) whole = t;
    }
    target = frames > 44100 ? frames - 44100 : 0;
    for (i = 0; i < 5; ++i) {
        t = run(argv[1], target, &read_after_seek);
        if (t < 0) { fprintf(stderr, "cannot seek in %s\n", argv[1]); return 1; }
        if (t < seek) seek = t;
    }
    printf("whole decode: %lld frames in %.4f s\n", frames, whole);
    printf("seek to frame %lld and read %lld frames: %.4f s (%.2f %% of the whole decode)\n",
           target, read_after_seek, seek, 100.0 * seek / whole);
    return 0;
}
