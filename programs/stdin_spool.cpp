#include "programs/stdin_spool.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

}  // namespace

int spool_input(int fd, uint64_t limit, bool (*stop)(), FilePtr& spool, WavFile& wav,
                int& refusal) {
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
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;  // the next round asks stop
    if (got < 0) return SPOOL_ERR_FAILED;
    if (got == 0) break;
    const size_t n = static_cast<size_t>(got);
    if (judging) {
      const size_t taken = std::min(n, JUDGED_BYTES - head_length);
      std::memcpy(head + head_length, buffer, taken);
      head_length += taken;
      refusal = check_wav_start(head, head_length, wav);
      if (refusal != WAV_OK) return SPOOL_ERR_REFUSED;
      judging = head_length < JUDGED_BYTES;
    }
    if (n > limit - copied) return SPOOL_ERR_TOO_LARGE;
    bool stopped = false;
    if (!write_all(temp, buffer, n, stop, stopped)) {
      return stopped ? SPOOL_ERR_INTERRUPTED : SPOOL_ERR_FAILED;
    }
    copied += n;
  }
  if (std::fseek(file.get(), 0, SEEK_SET) != 0) return SPOOL_ERR_FAILED;
  spool = std::move(file);
  return SPOOL_OK;
}

}  // namespace tarn
