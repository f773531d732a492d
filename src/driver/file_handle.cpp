#include "driver/file_handle.h"

#include <filesystem>
#include <system_error>

namespace tarn {

FilePtr open_for_reading(const char* path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return nullptr;
  return FilePtr(std::fopen(path, "rb"));
}

FilePtr create_for_writing(const char* path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return nullptr;
  return FilePtr(std::fopen(path, "wb+"));
}

bool close_output(FilePtr file) {
  if (!file) return false;
  const bool flushed = std::fflush(file.get()) == 0 && std::ferror(file.get()) == 0;
  const bool closed = std::fclose(file.release()) == 0;
  return flushed && closed;
}

}  // namespace tarn
