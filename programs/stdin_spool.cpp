#include "programs/stdin_spool.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "programs/wav_reader.h"

namespace tarn {
namespace {

// The header bytes judged while copying: the 36 bytes up to the end of the format fields and
// the 24 of an extensible format's extension.
constexpr size_t JUDGED_BYTES = 60;

// Writes all n bytes to fd; false on a failure, or when a signal interrupts and `stop` is true.
bool write_all(int fd, const uint8_t* bytes, size_t n, bool (*stop)(), bool& stopped) {
  while (n > 0) {
    const ssize_t put = write(fd, bytes, n);
    if (put < 0 && errno == EINTR && !(stopped = stop())) continue;
    if (put <= 0) return false;
    bytes += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

// Reads the held bytes grow by, at least.
constexpr size_t HOLD_STEP_BYTES = 1 << 16;

// The held bytes as a read-only stdio stream (fopencookie), for read_wav_header. beyond tells
// whether a read asked for a byte past them: only then could more input change the reading.
struct HeldReader {
  const uint8_t* bytes;
  size_t length;
  off64_t position;
  bool beyond;
};

ssize_t held_read(void* cookie, char* out, size_t n) {
  HeldReader& r = *static_cast<HeldReader*>(cookie);
  if (n == 0) return 0;
  if (r.position >= static_cast<off64_t>(r.length)) {
    r.beyond = true;
    return 0;
  }
  const size_t taken = std::min(n, r.length - static_cast<size_t>(r.position));
  std::memcpy(out, r.bytes + r.position, taken);
  r.position += static_cast<off64_t>(taken);
  return static_cast<ssize_t>(taken);
}

int held_seek(void* cookie, off64_t* offset, int whence) {
  HeldReader& r = *static_cast<HeldReader*>(cookie);
  off64_t base = 0;
  if (whence == SEEK_CUR) base = r.position;
  if (whence == SEEK_END) {
    // The end of the input is not known while it arrives.
    r.beyond = true;
    base = static_cast<off64_t>(r.length);
  }
  if (*offset < -base) return -1;
  r.position = base + *offset;
  *offset = r.position;
  return 0;
}

// Runs read_wav_header on the held bytes: header gets its result, and for WAV_OK data_offset the
// position of the data chunk's body. SPOOL_OK, or SPOOL_ERR_NO_MEMORY (no stdio stream).
int read_held_header(HeldReader& reader, bool (*stop)(), WavFile& wav, int& header,
                     size_t& data_offset) {
  cookie_io_functions_t io = {held_read, nullptr, held_seek, nullptr};
  FilePtr file(fopencookie(&reader, "rb", io));
  if (!file) return SPOOL_ERR_NO_MEMORY;
  WavFile judged = wav;
  judged.file = file.get();
  header = read_wav_header(judged, stop);
  const long at = std::ftell(file.get());
  if (header == WAV_OK && at < 0) header = WAV_ERR_NOT_WAVE;
  if (header == WAV_OK || header == WAV_ERR_UNSUPPORTED) {
    wav = judged;
    wav.file = nullptr;
  }
  if (header == WAV_OK) data_offset = static_cast<size_t>(at);
  return SPOOL_OK;
}

}  // namespace

long read_arrived(int fd, uint8_t* bytes, size_t n, bool (*stop)()) {
  for (;;) {
    const ssize_t got = read(fd, bytes, n);
    if (got >= 0) return static_cast<long>(got);
    if (errno != EINTR) return SPOOL_ERR_FAILED;
    if (stop()) return SPOOL_ERR_INTERRUPTED;
  }
}

int spool_input(int fd, uint64_t limit, bool (*stop)(), FilePtr& spool, WavFile& wav,
                int& refusal, const uint8_t* prefix, size_t prefix_length) {
  const char* dir = std::getenv("TMPDIR");
  std::string name = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/tarn-XXXXXX";
  const int temp = mkstemp(name.data());
  if (temp < 0) return SPOOL_ERR_FAILED;
  unlink(name.c_str());
  FilePtr file(fdopen(temp, "wb+"));
  if (!file) {
    close(temp);
    return SPOOL_ERR_FAILED;
  }
  uint8_t head[JUDGED_BYTES];
  size_t head_length = 0;
  bool judging = true;
  uint64_t copied = 0;
  uint8_t buffer[1 << 16];
  for (;;) {
    if (stop()) return SPOOL_ERR_INTERRUPTED;
    const uint8_t* arrived = prefix;
    size_t n = prefix_length;
    if (prefix_length > 0) {
      prefix_length = 0;
    } else {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;  // the next round asks stop
      if (got < 0) return SPOOL_ERR_FAILED;
      if (got == 0) break;
      arrived = buffer;
      n = static_cast<size_t>(got);
    }
    if (judging) {
      const size_t taken = std::min(n, JUDGED_BYTES - head_length);
      std::memcpy(head + head_length, arrived, taken);
      head_length += taken;
      refusal = check_wav_start(head, head_length, wav);
      if (refusal != WAV_OK) return SPOOL_ERR_REFUSED;
      judging = head_length < JUDGED_BYTES;
    }
    if (n > limit - copied) return SPOOL_ERR_TOO_LARGE;
    bool stopped = false;
    if (!write_all(temp, arrived, n, stop, stopped)) {
      return stopped ? SPOOL_ERR_INTERRUPTED : SPOOL_ERR_FAILED;
    }
    copied += n;
  }
  if (std::fseek(file.get(), 0, SEEK_SET) != 0) return SPOOL_ERR_FAILED;
  spool = std::move(file);
  return SPOOL_OK;
}

namespace {

// Makes room in held for at least HOLD_STEP_BYTES more bytes (at most `most` in all); false
// when the memory is lacking.
bool make_room(HeldInput& held, size_t most) {
  if (held.capacity - held.length >= HOLD_STEP_BYTES || held.capacity >= most) return true;
  const size_t capacity =
      std::min(most, std::max(2 * held.capacity, held.length + HOLD_STEP_BYTES));
  void* grown = std::realloc(held.data.get(), capacity);
  if (grown == nullptr) return false;
  (void)held.data.release();
  held.data.reset(static_cast<uint8_t*>(grown));
  held.capacity = capacity;
  return true;
}

// One read into held's free room, up to `most` bytes held: SPOOL_OK (held.ended at the end) or
// the read's failure.
int read_into(int fd, size_t most, bool (*stop)(), HeldInput& held) {
  if (stop()) return SPOOL_ERR_INTERRUPTED;
  if (!make_room(held, most)) return SPOOL_ERR_NO_MEMORY;
  const long got =
      read_arrived(fd, held.data.get() + held.length, std::min(held.capacity, most) - held.length,
                   stop);
  if (got < 0) return static_cast<int>(got);
  if (got == 0) held.ended = true;
  held.length += static_cast<size_t>(got);
  return SPOOL_OK;
}

}  // namespace

int hold_input(int fd, size_t wanted, bool (*stop)(), HeldInput& held) {
  while (held.length < wanted && !held.ended) {
    const int status = read_into(fd, wanted, stop, held);
    if (status != SPOOL_OK) return status;
  }
  return SPOOL_OK;
}

int read_piped_header(int fd, size_t bound, bool (*stop)(), HeldInput& held, WavFile& wav,
                      int& header, size_t& data_offset) {
  for (;;) {
    if (!held.ended) {
      if (held.length >= bound) return SPOOL_UNDECIDED;
      const int status = read_into(fd, bound, stop, held);
      if (status != SPOOL_OK) return status;
    }
    header = check_wav_start(held.data.get(), std::min(held.length, JUDGED_BYTES), wav);
    if (header != WAV_OK) return SPOOL_OK;
    // Too few bytes for any judgement yet: read_wav_header needs 36.
    if (held.length < 36 && !held.ended) continue;
    HeldReader reader{held.data.get(), held.length, 0, false};
    const int read = read_held_header(reader, stop, wav, header, data_offset);
    if (read != SPOOL_OK) return read;
    if (header == WAV_ERR_STOPPED) return SPOOL_ERR_INTERRUPTED;
    // A reading that used only bytes held is the reading of the whole input.
    if (!reader.beyond || held.ended) return SPOOL_OK;
  }
}

}  // namespace tarn
