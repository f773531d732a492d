#pragma once
// Helpers for the PCM tests: anonymous temporary files and hand-built WAV byte images.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "format/byte_order.h"

namespace tarn::test {

struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

// An anonymous temporary file opened for update, holding `bytes`, positioned at offset 0. It
// disappears when closed.
inline FilePtr temp_file_with(const std::vector<uint8_t>& bytes) {
  FilePtr f(std::tmpfile());
  if (f && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f.get());
  if (f) std::fseek(f.get(), 0, SEEK_SET);
  return f;
}

// Everything the file holds; the file position is left at the end.
inline std::vector<uint8_t> file_contents(std::FILE* f) {
  std::fflush(f);
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::vector<uint8_t> bytes(size > 0 ? static_cast<size_t>(size) : 0);
  std::fseek(f, 0, SEEK_SET);
  if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    bytes.clear();
  }
  return bytes;
}

inline void append(std::vector<uint8_t>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}
inline void append_le16(std::vector<uint8_t>& out, uint16_t v) {
  uint8_t b[2];
  store_le16(b, v);
  out.insert(out.end(), b, b + 2);
}
inline void append_le32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  store_le32(b, v);
  out.insert(out.end(), b, b + 4);
}

// The fields of a hand-built WAV header, in file order. The defaults make a valid 16-bit stereo
// 44100 Hz header whose data chunk holds 176400 bytes (44100 frames).
struct WavImage {
  std::string riff_id = "RIFF";
  std::string form = "WAVE";
  std::string fmt_id = "fmt ";
  uint32_t fmt_size = 16;
  uint16_t format_tag = 1;
  uint16_t channels = 2;
  uint32_t rate_hz = 44100;
  uint16_t bits = 16;
  std::vector<uint8_t> fmt_extra;    // bytes after the 16 format bytes (fmt_size - 16 of them)
  std::vector<uint8_t> before_data;  // whole chunks (or any bytes) between fmt and "data"
  bool with_data_header = true;
  uint32_t data_size = 176400;
  std::vector<uint8_t> data;  // the data chunk's body as stored
};

inline std::vector<uint8_t> wav_bytes(const WavImage& w) {
  std::vector<uint8_t> out;
  append(out, w.riff_id);
  append_le32(out, 0);  // RIFF size: never used by the reader
  append(out, w.form);
  append(out, w.fmt_id);
  append_le32(out, w.fmt_size);
  append_le16(out, w.format_tag);
  append_le16(out, w.channels);
  append_le32(out, w.rate_hz);
  append_le32(out, w.rate_hz * w.channels * (w.bits / 8u));
  append_le16(out, static_cast<uint16_t>(w.channels * (w.bits / 8u)));
  append_le16(out, w.bits);
  out.insert(out.end(), w.fmt_extra.begin(), w.fmt_extra.end());
  out.insert(out.end(), w.before_data.begin(), w.before_data.end());
  if (w.with_data_header) {
    append(out, "data");
    append_le32(out, w.data_size);
  }
  out.insert(out.end(), w.data.begin(), w.data.end());
  return out;
}

// A chunk with the given id, stored size and body (no pad byte is added).
inline std::vector<uint8_t> chunk(const std::string& id, uint32_t size,
                                  const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out;
  append(out, id);
  append_le32(out, size);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// Data chunk body of interleaved 16-bit stereo frames.
inline std::vector<uint8_t> stereo_pcm(const std::vector<int16_t>& left,
                                       const std::vector<int16_t>& right) {
  std::vector<uint8_t> out;
  for (size_t n = 0; n < left.size(); ++n) {
    append_le16(out, static_cast<uint16_t>(left[n]));
    append_le16(out, static_cast<uint16_t>(right[n]));
  }
  return out;
}

}  // namespace tarn::test
