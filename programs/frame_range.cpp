#include "programs/frame_range.h"

namespace tarn {
namespace {

// Positions beyond any WAV or stream (2^40 frames is over 290 days at 44100 Hz) are refused
// before any product can overflow.
constexpr uint64_t MAX_POSITION = uint64_t{1} << 40;
constexpr int MAX_DECIMALS = 9;

// Reads a run of decimal digits at p; false when there is none or it passes MAX_POSITION.
bool read_digits(const char*& p, uint64_t& value, int& count) {
  value = 0;
  count = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > MAX_POSITION) return false;
    ++p;
    ++count;
  }
  return count > 0;
}

}  // namespace

bool parse_frame_position(const char* text, uint32_t rate, uint64_t& frame) {
  const char* p = text;
  uint64_t first = 0;
  int digits = 0;
  if (!read_digits(p, first, digits)) return false;
  if (*p == '\0') {  // a frame count
    frame = first;
    return true;
  }
  uint64_t minutes = 0;
  uint64_t seconds = first;
  if (*p == ':') {
    ++p;
    minutes = first;
    if (!read_digits(p, seconds, digits) || seconds >= 60) return false;
  }
  uint64_t fraction = 0;
  int decimals = 0;
  if (*p == '.') {
    ++p;
    if (!read_digits(p, fraction, decimals) || decimals > MAX_DECIMALS) return false;
  }
  if (*p != '\0') return false;
  uint64_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  const uint64_t whole_seconds = minutes * 60 + seconds;
  if (whole_seconds > MAX_POSITION / rate) return false;
  // The fraction's frames in integers: fraction / scale seconds, times rate, rounded down.
  frame = whole_seconds * rate + fraction * rate / scale;
  return true;
}

}  // namespace tarn
