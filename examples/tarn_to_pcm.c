/* Decodes a tarn stream to raw 16-bit little-endian stereo PCM on standard output:
 *     tarn_to_pcm song.tarn | aplay -f cd
 * With no argument it reads the stream from standard input. */
#include <stdio.h>

#include <tarn/tarn.h>

static long read_file(void *user, unsigned char *bytes, size_t capacity) {
    FILE *file = (FILE *)user;
    size_t got = fread(bytes, 1, capacity, file);
    return got == 0 && ferror(file) ? -1 : (long)got;
}

int main(int argc, char **argv) {
    FILE *in = argc > 1 ? fopen(argv[1], "rb") : stdin;
    tarn_stream_info info;
    tarn_decoder *dec;
    int16_t frames[2 * 4096];
    unsigned char pcm[4 * 4096];
    long got, i;
    int error;

    if (in == NULL) {
        fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    dec = tarn_decoder_create(read_file, in, &info, &error);
    if (dec == NULL) {
        fprintf(stderr, "not a usable tarn stream: %s\n", tarn_strerror(error));
        return 1;
    }
    fprintf(stderr, "%lu frames at %lu Hz (libtarn %s)\n", (unsigned long)info.sample_count,
            (unsigned long)info.sample_rate, tarn_version());
    while ((got = tarn_decoder_read(dec, frames, 4096)) > 0) {
        for (i = 0; i < 2 * got; ++i) {  /* little-endian whatever the host */
            pcm[2 * i] = (unsigned char)(frames[i] & 0xFF);
            pcm[2 * i + 1] = (unsigned char)(((uint16_t)frames[i]) >> 8);
        }
        if (fwrite(pcm, 4, (size_t)got, stdout) != (size_t)got) break;
    }
    if (got < 0) fprintf(stderr, "%s\n", tarn_decoder_message(dec));
    tarn_decoder_destroy(dec);
    return got < 0 ? 1 : 0;
}
