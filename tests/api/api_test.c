/* The library interface, compiled as C through tarn/tarn.h and linked against the shared
 * library: the encoder and decoder give the programs' bytes and samples, damaged and unusable
 * streams end as tarn-decode ends them, and handles in four threads at once give the bytes they
 * give alone. Usage: api_test TARN_ENCODE TARN_DECODE (the built programs). */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <tarn/tarn.h>

static int failures = 0;
#define CHECK(cond, ...)                                           \
    do {                                                           \
        if (!(cond)) {                                             \
            ++failures;                                            \
            fprintf(stderr, "%s:%d: %s: ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                          \
            fputc('\n', stderr);                                   \
        }                                                          \
    } while (0)

typedef struct {
    unsigned char *bytes;
    size_t size, capacity;
} Buffer;

static void append(Buffer *b, const void *bytes, size_t n) {
    if (b->size + n > b->capacity) {
        b->capacity = (b->size + n) * 2;
        b->bytes = realloc(b->bytes, b->capacity);
        if (b->bytes == NULL) abort();
    }
    memcpy(b->bytes + b->size, bytes, n);
    b->size += n;
}

static uint64_t next_random(uint64_t *state) {
    *state = *state * 6364136223846793005ull + 1442695040888963407ull;
    return *state >> 33;
}

static char dir[256];
static const char *encode_program;
static const char *decode_program;

static const char *path_in_dir(const char *name) {
    static char paths[8][320];
    static int next = 0;
    char *p = paths[next++ % 8];
    snprintf(p, sizeof paths[0], "%s/%s", dir, name);
    return p;
}

static Buffer read_file(const char *path) {
    Buffer b = {0};
    FILE *f = fopen(path, "rb");
    unsigned char chunk[65536];
    size_t got;
    if (f == NULL) return b;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) append(&b, chunk, got);
    fclose(f);
    return b;
}

static void write_file(const char *path, const unsigned char *bytes, size_t n) {
    FILE *f = fopen(path, "wb");
    if (f == NULL || fwrite(bytes, 1, n, f) != n || fclose(f) != 0) abort();
}

static void put32(unsigned char *p, uint32_t v) {
    p[0] = v & 255; p[1] = (v >> 8) & 255; p[2] = (v >> 16) & 255; p[3] = v >> 24;
}

/* Runs a program with its messages discarded; returns its exit status. */
static int run(const char *program, const char *a, const char *b) {
    char command[1200];
    snprintf(command, sizeof command, "'%s' '%s' '%s' >/dev/null 2>&1", program, a, b);
    int status = system(command);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* ---- encoder and decoder over memory ---- */

static int write_buffer(void *user, const unsigned char *bytes, size_t length) {
    append((Buffer *)user, bytes, length);
    return 0;
}

typedef struct {
    const unsigned char *bytes;
    size_t size, pos;
    uint64_t random; /* hands out pieces of random size */
} Source;

static long read_source(void *user, unsigned char *bytes, size_t capacity) {
    Source *s = (Source *)user;
    size_t n = s->size - s->pos;
    size_t piece = 1 + (size_t)(next_random(&s->random) % 3000);
    if (n > capacity) n = capacity;
    if (n > piece) n = piece;
    memcpy(bytes, s->bytes + s->pos, n);
    s->pos += n;
    return (long)n;
}

/* Pushes frames in random chunk sizes (0 included) and finishes. */
static int encode(const int16_t *frames, uint32_t count, uint64_t seed, Buffer *out) {
    int error = 0;
    tarn_encoder *enc = tarn_encoder_create(count, 44100, write_buffer, out, &error);
    uint32_t done = 0;
    if (enc == NULL) return error;
    while (done < count && error == TARN_OK) {
        uint32_t n = (uint32_t)(next_random(&seed) % 5000);
        if (n > count - done) n = count - done;
        error = tarn_encoder_push(enc, frames + 2 * (size_t)done, n);
        done += n;
    }
    if (error == TARN_OK) error = tarn_encoder_finish(enc);
    tarn_encoder_destroy(enc);
    return error;
}

typedef struct {
    Buffer samples;  /* the frames returned, as int16 pairs */
    long end;        /* the last result: 0 or a negative code */
    long block;      /* tarn_decoder_error_block */
    char message[128];
} Decoded;

static Decoded decode(const Buffer *stream, uint64_t seed) {
    Decoded d = {{0}, 0, -1, ""};
    Source source = {stream->bytes, stream->size, 0, seed};
    int error = 0;
    tarn_decoder *dec = tarn_decoder_create(read_source, &source, NULL, &error);
    int16_t frames[2 * 3000];
    if (dec == NULL) {
        d.end = error;
        return d;
    }
    for (;;) {
        long got = tarn_decoder_read(dec, frames, 1 + (size_t)(next_random(&seed) % 3000));
        if (got <= 0) {
            d.end = got;
            break;
        }
        append(&d.samples, frames, (size_t)got * 4);
    }
    d.block = tarn_decoder_error_block(dec);
    snprintf(d.message, sizeof d.message, "%s", tarn_decoder_message(dec));
    tarn_decoder_destroy(dec);
    return d;
}

/* The 16-bit samples of tarn-decode's WAV (its 44-byte header skipped), as host int16. */
static Buffer wav_samples(const char *path) {
    Buffer file = read_file(path), samples = {0};
    size_t i;
    for (i = 44; i + 1 < file.size; i += 2) {
        int16_t v = (int16_t)(file.bytes[i] | (file.bytes[i + 1] << 8));
        append(&samples, &v, 2);
    }
    free(file.bytes);
    return samples;
}

static int same(const Buffer *a, const Buffer *b) {
    return a->size == b->size && (a->size == 0 || memcmp(a->bytes, b->bytes, a->size) == 0);
}

/* ---- the input ---- */

enum { FRAMES = 70000 };
static int16_t input[2 * FRAMES];

static void make_input(void) {
    uint64_t noise = 12345;
    unsigned char header[44];
    FILE *f;
    uint32_t i;
    for (i = 0; i < FRAMES; ++i) {
        /* a tone that rises through the file under quieter noise, different per channel */
        int tone = (int)(8000 * ((i / 50) % 40 < 20 ? 1 : -1) * (double)(i % 441) / 441.0);
        input[2 * i] = (int16_t)(tone + (int)(next_random(&noise) % 4001) - 2000);
        input[2 * i + 1] = (int16_t)((int)(next_random(&noise) % 20001) - 10000);
    }
    memcpy(header, "RIFF", 4); put32(header + 4, 36 + 4 * FRAMES);
    memcpy(header + 8, "WAVEfmt ", 8); put32(header + 16, 16);
    header[20] = 1; header[21] = 0; header[22] = 2; header[23] = 0;
    put32(header + 24, 44100); put32(header + 28, 44100 * 4);
    header[32] = 4; header[33] = 0; header[34] = 16; header[35] = 0;
    memcpy(header + 36, "data", 4); put32(header + 40, 4 * FRAMES);
    f = fopen(path_in_dir("in.wav"), "wb");
    if (f == NULL) abort();
    fwrite(header, 1, 44, f);
    for (i = 0; i < 2 * FRAMES; ++i) {
        unsigned char b[2] = {(unsigned char)(input[i] & 255), (unsigned char)((uint16_t)input[i] >> 8)};
        fwrite(b, 1, 2, f);
    }
    if (fclose(f) != 0) abort();
}

/* ---- the checks ---- */

static Buffer reference_stream;
static Buffer reference_samples;

static void encoder_gives_the_program_bytes(void) {
    static const uint64_t seeds[] = {1, 2, 99};
    size_t i;
    CHECK(run(encode_program, path_in_dir("in.wav"), path_in_dir("ref.tarn")) == 0, "tarn-encode");
    reference_stream = read_file(path_in_dir("ref.tarn"));
    CHECK(reference_stream.size > 12, "tarn-encode wrote %zu bytes", reference_stream.size);
    for (i = 0; i < sizeof seeds / sizeof seeds[0]; ++i) {
        Buffer out = {0};
        int error = encode(input, FRAMES, seeds[i], &out);
        CHECK(error == TARN_OK, "seed %d: %s", (int)seeds[i], tarn_strerror(error));
        CHECK(same(&out, &reference_stream), "seed %d: %zu bytes differ from tarn-encode's %zu",
              (int)seeds[i], out.size, reference_stream.size);
        free(out.bytes);
    }
}

static void decoder_gives_the_program_samples(void) {
    Decoded d;
    CHECK(run(decode_program, path_in_dir("ref.tarn"), path_in_dir("ref.wav")) == 0, "tarn-decode");
    reference_samples = wav_samples(path_in_dir("ref.wav"));
    CHECK(reference_samples.size == 4u * FRAMES, "tarn-decode gave %zu bytes", reference_samples.size);
    d = decode(&reference_stream, 7);
    CHECK(d.end == 0, "end %ld (%s)", d.end, d.message);
    CHECK(same(&d.samples, &reference_samples), "%zu sample bytes differ", d.samples.size);
    free(d.samples.bytes);
}

/* Cut and altered streams end exactly as tarn-decode ends them: the same frames, then an error
 * (tarn-decode fails) or the end (it succeeds). */
static void damaged_streams_end_as_the_program_ends(void) {
    struct { const char *name; size_t cut; long flip; } cases[] = {
        {"cut inside a record", 0, -1},
        {"cut after the first records", 0, -1},
        {"cut by one byte", 0, -1},
        {"cut to a stray byte", 0, -1},
        {"payload byte flipped", 0, 0},
    };
    size_t n = reference_stream.size, i;
    size_t first_block = 12 + 4 + (reference_stream.bytes[12] | reference_stream.bytes[13] << 8);
    first_block += reference_stream.bytes[first_block] | reference_stream.bytes[first_block + 1] << 8;
    cases[0].cut = n * 2 / 3;
    cases[1].cut = first_block;
    cases[2].cut = n - 1;
    cases[3].cut = first_block + 1;
    cases[4].cut = n;
    cases[4].flip = (long)(n / 2);
    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        Buffer stream = {0};
        Buffer expected;
        Decoded d;
        int status;
        append(&stream, reference_stream.bytes, cases[i].cut);
        if (cases[i].flip >= 0) stream.bytes[cases[i].flip] ^= 0x5A;
        write_file(path_in_dir("cut.tarn"), stream.bytes, stream.size);
        status = run(decode_program, path_in_dir("cut.tarn"), path_in_dir("cut.wav"));
        expected = wav_samples(path_in_dir("cut.wav"));
        d = decode(&stream, 100 + i);
        CHECK(same(&d.samples, &expected), "%s: %zu sample bytes, tarn-decode kept %zu",
              cases[i].name, d.samples.size, expected.size);
        CHECK((d.end < 0) == (status != 0), "%s: end %ld, tarn-decode status %d", cases[i].name,
              d.end, status);
        if (d.end < 0) {
            CHECK(TARN_IS_DAMAGED(d.end), "%s: %s", cases[i].name, tarn_strerror((int)d.end));
            CHECK(d.block >= 0 && strstr(d.message, "block") != NULL &&
                  strstr(d.message, tarn_strerror((int)d.end)) != NULL,
                  "%s: block %ld, message \"%s\"", cases[i].name, d.block, d.message);
        }
        free(stream.bytes);
        free(expected.bytes);
        free(d.samples.bytes);
    }
}

static void unusable_headers_are_refused(void) {
    struct { const char *name; size_t size; int offset; uint32_t value; int bytes; int code; } cases[] = {
        {"5 bytes", 5, 0, 0, 0, TARN_ERR_HEADER_SHORT},
        {"empty", 0, 0, 0, 0, TARN_ERR_HEADER_SHORT},
        {"odd half_frame", 12, 10, 255, 2, TARN_ERR_HALF_FRAME},
        {"half_frame 0", 12, 10, 0, 2, TARN_ERR_HALF_FRAME},
        {"half_frame too large", 12, 10, TARN_MAX_HALF_FRAME + 2, 2, TARN_ERR_HALF_FRAME},
        {"bins short of the bands", 12, 4, 2000, 4, TARN_ERR_BANDS},
    };
    size_t i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        unsigned char header[12];
        Buffer stream = {header, cases[i].size, 12};
        tarn_stream_info info;
        Source source = {header, cases[i].size, 0, 5};
        int error = 0, b;
        tarn_decoder *dec;
        memcpy(header, reference_stream.bytes, 12);
        for (b = 0; b < cases[i].bytes; ++b) header[cases[i].offset + b] = (cases[i].value >> (8 * b)) & 255;
        dec = tarn_decoder_create(read_source, &source, &info, &error);
        CHECK(dec == NULL && error == cases[i].code, "%s: error %d (%s)", cases[i].name, error,
              tarn_strerror(error));
        write_file(path_in_dir("bad.tarn"), stream.bytes, stream.size);
        CHECK(run(decode_program, path_in_dir("bad.tarn"), path_in_dir("bad.wav")) != 0,
              "%s: tarn-decode accepted it", cases[i].name);
        tarn_decoder_destroy(dec);
    }
}

/* Misuse of the encoder: each row a call sequence and the code it must end with. */
static int failing_write(void *user, const unsigned char *bytes, size_t length) {
    (void)bytes; (void)length;
    return --*(int *)user < 0 ? -1 : 0;
}

static void encoder_refuses_what_it_cannot_code(void) {
    struct { const char *name; uint32_t rate; int writes_allowed; uint32_t count; uint32_t pushed; int push_code; } cases[] = {
        {"48000 Hz", 48000, 1000, 1000, 0, TARN_ERR_SAMPLE_RATE},
        {"header write fails", 44100, 0, 1000, 0, TARN_ERR_WRITE},
        {"block write fails", 44100, 1, 1000, 1000, TARN_ERR_WRITE},
        {"one frame too many", 44100, 1000, 1000, 1001, TARN_ERR_TOO_MANY_FRAMES},
    };
    size_t i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        int allowed = cases[i].writes_allowed, error = 0, code;
        tarn_encoder *enc = tarn_encoder_create(cases[i].count, cases[i].rate, failing_write, &allowed, &error);
        if (enc == NULL) {
            CHECK(error == cases[i].push_code, "%s: create gave %d", cases[i].name, error);
            continue;
        }
        code = tarn_encoder_push(enc, input, cases[i].pushed);
        CHECK(code == cases[i].push_code, "%s: push gave %d", cases[i].name, code);
        code = tarn_encoder_finish(enc);
        /* a write failure is sticky; a refused excess still lets the encoder finish */
        CHECK(code == (cases[i].push_code == TARN_ERR_WRITE ? TARN_ERR_WRITE : TARN_OK),
              "%s: finish gave %d", cases[i].name, code);
        tarn_encoder_destroy(enc);
    }
}

/* ---- threads ---- */

typedef struct {
    int encoder; /* 1: encode the input, 0: decode the reference stream */
    uint64_t seed;
    int same;
} Job;

static void *run_job(void *arg) {
    Job *job = (Job *)arg;
    int round;
    job->same = 1;
    for (round = 0; round < 2; ++round) {
        if (job->encoder) {
            Buffer out = {0};
            job->same &= encode(input, FRAMES, job->seed + round, &out) == TARN_OK &&
                         same(&out, &reference_stream);
            free(out.bytes);
        } else {
            Decoded d = decode(&reference_stream, job->seed + round);
            job->same &= d.end == 0 && same(&d.samples, &reference_samples);
            free(d.samples.bytes);
        }
    }
    return NULL;
}

static void four_threads_give_the_bytes_of_one(void) {
    Job jobs[4] = {{1, 11, 0}, {1, 12, 0}, {0, 13, 0}, {0, 14, 0}};
    pthread_t threads[4];
    int i;
    for (i = 0; i < 4; ++i) CHECK(pthread_create(&threads[i], NULL, run_job, &jobs[i]) == 0, "thread %d", i);
    for (i = 0; i < 4; ++i) pthread_join(threads[i], NULL);
    for (i = 0; i < 4; ++i) CHECK(jobs[i].same, "thread %d (%s) differs", i, jobs[i].encoder ? "encoder" : "decoder");
}

int main(int argc, char **argv) {
    const char *tmp = getenv("TMPDIR");
    const char *names[] = {"in.wav", "ref.tarn", "ref.wav", "cut.tarn", "cut.wav", "bad.tarn", "bad.wav"};
    size_t i;
    int only_threads = argc == 4 && strcmp(argv[3], "--threads") == 0;
    if (argc < 3) {
        fprintf(stderr, "usage: %s TARN_ENCODE TARN_DECODE [--threads]\n", argv[0]);
        return 2;
    }
    encode_program = argv[1];
    decode_program = argv[2];
    snprintf(dir, sizeof dir, "%s/tarn-api-XXXXXX", tmp != NULL && *tmp != '\0' ? tmp : "/tmp");
    if (mkdtemp(dir) == NULL) return 2;
    CHECK(strcmp(tarn_version(), "") != 0 && strcmp(tarn_strerror(TARN_ERR_RECORD_CUT), tarn_strerror(TARN_ERR_PAYLOAD)) != 0, "messages");
    make_input();
    encoder_gives_the_program_bytes();
    decoder_gives_the_program_samples();
    if (!only_threads) {
        damaged_streams_end_as_the_program_ends();
        unusable_headers_are_refused();
        encoder_refuses_what_it_cannot_code();
    }
    four_threads_give_the_bytes_of_one();
    for (i = 0; i < sizeof names / sizeof names[0]; ++i) remove(path_in_dir(names[i]));
    rmdir(dir);
    free(reference_stream.bytes);
    free(reference_samples.bytes);
    if (failures == 0) printf("all checks passed\n");
    return failures == 0 ? 0 : 1;
}
