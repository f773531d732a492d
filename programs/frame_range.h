#pragma once
// tarn-decode's --skip=T and --until=T: the first frame written and the frame decoding stops
// before. T is a frame count (digits only) or a time [mm:]ss[.sss], which becomes the frames
// that time spans at the stream's rate, rounded down: 1:30.5 at 44100 Hz is frame 3,991,050.

#include <cstdint>

namespace tarn {

struct FrameRange {
  const char* skip_text = nullptr;   // the option's value as given, null when not given
  const char* until_text = nullptr;
};

// The frame a position names at rate Hz; false for text that is neither form (empty, a sign, a
// letter, seconds of 60 or more after minutes, more than 9 decimals, a value past 2^40 frames).
bool parse_frame_position(const char* text, uint32_t rate, uint64_t& frame);

}  // namespace tarn
