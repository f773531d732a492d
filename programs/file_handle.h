#pragma once
// Owning stdio handle: closes the file on every early return. Output files are closed
// explicitly on the success path instead (release() + fclose), because a full disk shows up in
// fclose's result, which a deleter cannot report.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace tarn {

struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

// Opens path for reading without text translation; null when it cannot be opened or names a
// directory (which fopen accepts on POSIX but no read can use).
FilePtr open_for_reading(const char* path);
// Creates or truncates path for reading and writing without text translation ("wb+").
FilePtr create_for_writing(const char* path);
// The same without a stream buffer: every fwrite goes to the file at once, so the items it
// reports written are the items the file took (after a failed write too, when a buffer would
// hold frames that never arrive). For writers that already write in large blocks.
FilePtr create_for_direct_writing(const char* path);
// Flushes and closes an output file; false when any write to it failed or the close did.
bool close_output(FilePtr file);

// Writes n bytes to fd with write(2) and returns how many it took; fewer when a write fails
// (failed is then set) or when `stop` answers true after a signal cut a write short. Unlike
// stdio, which writes the rest of a partial write again and so blocks on a stalled pipe until a
// second signal, this returns to its caller at the first signal that `stop` reports.
size_t write_fully(int fd, const uint8_t* bytes, size_t n, bool (*stop)(), bool& failed);

}  // namespace tarn
