/* Every allocation the library makes may fail: the call that made it returns TARN_ERR_NO_MEMORY
 * (or a handle is not made, with that error), the process goes on, and the next attempt with
 * memory to spare gives the usual bytes. FFTW's planning is included.
 *
 * This program replaces the C allocator (malloc, calloc, realloc and the aligned ones, which
 * operator new and FFTW's allocator use) with one that can fail the Nth call from a point on.
 * One scenario (encode a short signal, decode the stream) runs with the Nth allocation failing,
 * for N = 1, 2, ... until the scenario makes fewer than N allocations:
 *   cold: each N in a fresh child process, before the process has made any FFT plan, so that
 *         the failures land in FFTW's planner too;
 *   warm: in this process, after one full scenario has made the plans.
 * After each failure the scenario runs again without one and must give the reference stream
 * and decoded frames, bit for bit (a planner left in a wrong state would plan differently).
 *
 * Linked statically against the codec; built only with the pinned FFTW, whose planner returns a
 * failed allocation to the library (with the system's FFTW, the planner stops the process). */
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tarn/tarn.h>

/* ---- the failing allocator ---- */
extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *p, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);

/* While positive, counts down at every allocation; the one that brings it to 0 fails. */
static long countdown = 0;
static int injected = 0; /* set when an allocation was failed */

static int fail_this_one(void) {
    if (countdown > 0 && --countdown == 0) {
        injected = 1;
        return 1;
    }
    return 0;
}
void *malloc(size_t size) { return fail_this_one() ? NULL : __libc_malloc(size); }
void *calloc(size_t count, size_t size) {
    return fail_this_one() ? NULL : __libc_calloc(count, size);
}
void *realloc(void *p, size_t size) { return fail_this_one() ? NULL : __libc_realloc(p, size); }
void *memalign(size_t alignment, size_t size) {
    return fail_this_one() ? NULL : __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void **p, size_t alignment, size_t size) {
    if (fail_this_one()) return ENOMEM;
    *p = __libc_memalign(alignment, size);
    return *p ? 0 : ENOMEM;
}

/* ---- the scenario ---- */
#define FRAMES 3000 /* 13 blocks: a partial last block and the encoder's silent tail */
static int16_t input[2 * FRAMES];
static unsigned char stream[1 << 16];
static size_t stream_length, stream_read;

static int to_stream(void *user, const unsigned char *bytes, size_t length) {
    (void)user;
    if (length > sizeof stream - stream_length) return -1;
    memcpy(stream + stream_length, bytes, length);
    stream_length += length;
    return 0;
}
static long from_stream(void *user, unsigned char *bytes, size_t capacity) {
    (void)user;
    size_t n = stream_length - stream_read;
    if (n > capacity) n = capacity;
    memcpy(bytes, stream + stream_read, n);
    stream_read += n;
    return (long)n;
}

typedef struct {
    uint64_t stream_hash, pcm_hash; /* FNV-1a of the stream and of the decoded frames */
    long frames;
} Result;

static uint64_t fnv(uint64_t h, const void *bytes, size_t n) {
    const unsigned char *b = bytes;
    for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211u;
    return h;
}

/* Encodes the input in pushes of 700 frames and decodes the stream. Returns TARN_OK or the first
 * error any call gave. */
static int scenario(Result *r) {
    int error = TARN_OK;
    stream_length = stream_read = 0;
    tarn_encoder *enc = tarn_encoder_create(FRAMES, 44100, to_stream, NULL, &error);
    if (!enc) return error;
    for (size_t at = 0; at < FRAMES && error == TARN_OK; at += 700) {
        const size_t n = FRAMES - at < 700 ? FRAMES - at : 700;
        error = tarn_encoder_push(enc, input + 2 * at, n);
    }
    if (error == TARN_OK) error = tarn_encoder_finish(enc);
    tarn_encoder_destroy(enc);
    if (error != TARN_OK) return error;
    r->stream_hash = fnv(14695981039346656037u, stream, stream_length);

    tarn_decoder *dec = tarn_decoder_create(from_stream, NULL, NULL, &error);
    if (!dec) return error;
    int16_t frames[2 * 1024];
    long got;
    r->pcm_hash = 14695981039346656037u;
    r->frames = 0;
    while ((got = tarn_decoder_read(dec, frames, 1024)) > 0) {
        r->pcm_hash = fnv(r->pcm_hash, frames, 4 * (size_t)got);
        r->frames += got;
    }
    tarn_decoder_destroy(dec);
    return got < 0 ? (int)got : TARN_OK;
}

static Result reference;

/* The scenario with the nth allocation failing, then again without a failure. Returns 0 when it
 * held, 1 when the scenario made fewer than n allocations, -1 (after a message) on a fault. */
static int try_failing(long n, const char *mode) {
    Result r;
    countdown = n;
    injected = 0;
    const int status = scenario(&r);
    countdown = 0;
    if (!injected) return status == TARN_OK ? 1 : (printf("%s: no failure injected, got %d\n", mode, status), -1);
    if (status == TARN_OK && (r.stream_hash != reference.stream_hash || r.pcm_hash != reference.pcm_hash)) {
        printf("%s: allocation %ld failed unreported and changed the output\n", mode, n);
        return -1;
    }
    if (status != TARN_OK && status != TARN_ERR_NO_MEMORY) {
        printf("%s: allocation %ld failed, reported as %d (%s)\n", mode, n, status, tarn_strerror(status));
        return -1;
    }
    if (scenario(&r) != TARN_OK || r.stream_hash != reference.stream_hash ||
        r.pcm_hash != reference.pcm_hash || r.frames != reference.frames) {
        printf("%s: after allocation %ld failed, the next run gives other output\n", mode, n);
        return -1;
    }
    return 0;
}

int main(void) {
    uint32_t x = 12345;
    for (int i = 0; i < 2 * FRAMES; ++i) { /* noise under a slow sweep, left and right apart */
        x = x * 1664525u + 1013904223u;
        input[i] = (int16_t)((int32_t)(x >> 20) - 2048 + (i % 2 ? 1 : -1) * ((i * (i / 64)) % 9000));
    }

    /* The reference, from a child, so that this process stays cold. */
    int fds[2];
    if (pipe(fds) != 0) return perror("pipe"), 1;
    pid_t pid = fork();
    if (pid == 0) {
        Result r;
        const int status = scenario(&r);
        _exit(status == TARN_OK && write(fds[1], &r, sizeof r) == (ssize_t)sizeof r ? 0 : 1);
    }
    int wstatus;
    if (pid < 0 || waitpid(pid, &wstatus, 0) != pid || !WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0 ||
        read(fds[0], &reference, sizeof reference) != (ssize_t)sizeof reference) {
        printf("the reference scenario failed\n");
        return 1;
    }
    if (reference.frames != FRAMES) return printf("reference decoded %ld frames\n", reference.frames), 1;

    long cold = 0;
    for (long n = 1;; ++n) {
        pid = fork();
        if (pid == 0) {
            const int held = try_failing(n, "cold");
            fflush(stdout);
            _exit(held == 1 ? 10 : held == 0 ? 0 : 1);
        }
        if (pid < 0 || waitpid(pid, &wstatus, 0) != pid) return perror("fork"), 1;
        if (WIFSIGNALED(wstatus)) {
            printf("cold: allocation %ld failed and the process died of signal %d\n", n, WTERMSIG(wstatus));
            return 1;
        }
        if (WEXITSTATUS(wstatus) == 10) break;
        if (WEXITSTATUS(wstatus) != 0) return 1;
        cold = n;
    }

    Result r;
    if (scenario(&r) != TARN_OK || r.stream_hash != reference.stream_hash) return printf("warm-up failed\n"), 1;
    long warm = 0;
    for (long n = 1;; ++n) {
        const int held = try_failing(n, "warm");
        if (held < 0) return 1;
        if (held == 1) break;
        warm = n;
    }
    if (warm >= cold) return printf("warm run made %ld allocations, cold %ld: were the plans made?\n", warm, cold), 1;
    printf("every allocation failed once: %ld cold (FFT planning included), %ld warm\n", cold, warm);
    return 0;
}
