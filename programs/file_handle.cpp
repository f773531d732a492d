#include "programs/file_handle.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace tarn {

namespace {

// Stream buffer of every file the programs open: the audio moves through in 16 KiB blocks
// (pcm), which a 64 KiB buffer turns into a quarter of the system calls of the default 4 KiB.
constexpr size_t FILE_BUFFER_BYTES = 1 << 16;

FilePtr buffered(std::FILE* file) {
  if (file) std::setvbuf(file, nullptr, _IOFBF, FILE_BUFFER_BYTES);
  return FilePtr(file);
}

// Creates or truncates path ("wb+"), then sets its buffering: _IOFBF with FILE_BUFFER_BYTES, or
// _IONBF for none. Null for a folder, as for open_for_reading.
FilePtr create_with_buffer(const char* path, int mode) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return nullptr;
  std::FILE* file = std::fopen(path, "wb+");
  if (file) std::setvbuf(file, nullptr, mode, mode == _IONBF ? 0 : FILE_BUFFER_BYTES);
  return FilePtr(file);
}

}  // namespace

FilePtr open_for_reading(const char* path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return nullptr;
  return buffered(std::fopen(path, "rb"));
}

FilePtr create_for_writing(const char* path) { return create_with_buffer(path, _IOFBF); }

FilePtr create_for_direct_writing(const char* path) { return create_with_buffer(path, _IONBF); }

bool close_output(FilePtr file) {
  if (!file) return false;
  const bool flushed = std::fflush(file.get()) == 0 && std::ferror(file.get()) == 0;
  const bool closed = std::fclose(file.release()) == 0;
  return flushed && closed;
}

size_t write_fully(int fd, const uint8_t* bytes, size_t n, bool (*stop)(), bool& failed) {
  size_t done = 0;
  while (done < n) {
    const ssize_t put = write(fd, bytes + done, n - done);
    if (put > 0) {
      done += static_cast<size_t>(put);
      if (done < n && stop()) break;
    } else if (put < 0 && errno == EINTR) {
      if (stop()) break;
    } else {
      failed = true;
      break;
    }
  }
  return done;
}

}  // namespace tarn
