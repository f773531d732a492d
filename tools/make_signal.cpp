// tarn-make-signal: synthesises the demo input, a short stereo piece of music, as a 44.1 kHz
// 16-bit stereo WAV. The piece is fully determined by its length: the same command always
// writes the same bytes, so it also serves as a reproducible long input for benchmarks.
//
//   tarn-make-signal OUT.wav              6 seconds
//   tarn-make-signal --seconds S OUT.wav  S seconds (1 to 7200)
//
// Content: a four-chord progression as a soft pad (root and third on the left, fifth and octave
// on the right), a pentatonic melody that moves between the channels, and percussion: a kick on
// beats one and three in both channels, noise bursts on the off-beats, louder on the right.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "format/byte_order.h"

namespace {

constexpr int RATE_HZ = 44100;
constexpr double TWO_PI = 6.283185307179586;
constexpr double BEAT_S = 0.5;                 // 120 beats per minute
constexpr double CHORD_S = 4 * BEAT_S;         // one chord per bar
constexpr double MELODY_NOTE_S = BEAT_S / 2;   // eighth notes

// MIDI note numbers of the chord roots: C, G, A minor, F (one octave below middle C).
constexpr int CHORD_ROOT[4] = {48, 55, 57, 53};
constexpr bool CHORD_MINOR[4] = {false, false, true, false};
// C major pentatonic over two octaves, from middle C.
constexpr int MELODY_SCALE[10] = {60, 62, 64, 67, 69, 72, 74, 76, 79, 81};

double note_hz(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

// A soft tone: fundamental plus two weaker harmonics.
double pad_voice(double hz, double t) {
  return std::sin(TWO_PI * hz * t) + 0.3 * std::sin(TWO_PI * 2 * hz * t) +
         0.1 * std::sin(TWO_PI * 3 * hz * t);
}

// Deterministic pseudo-random numbers (64-bit linear congruential generator).
struct Lcg {
  uint64_t state;
};
uint32_t next_random(Lcg& r) {
  r.state = r.state * 6364136223846793005ull + 1442695040888963407ull;
  return static_cast<uint32_t>(r.state >> 33);
}
double next_noise(Lcg& r) { return next_random(r) / 2147483648.0 - 1.0; }  // [-1, 1)

struct Sample {
  double left;
  double right;
};

Sample synthesise(uint64_t n, Lcg& noise) {
  const double t = static_cast<double>(n) / RATE_HZ;
  Sample s{0.0, 0.0};

  const int bar = static_cast<int>(t / CHORD_S);
  const int chord = bar % 4;
  const double in_bar = t - bar * CHORD_S;
  const double swell = 0.6 + 0.4 * std::sin(TWO_PI * in_bar / CHORD_S / 2);
  const int root = CHORD_ROOT[chord];
  const int third = root + (CHORD_MINOR[chord] ? 3 : 4);
  s.left += 0.10 * swell * (pad_voice(note_hz(root), t) + pad_voice(note_hz(third), t));
  s.right += 0.10 * swell * (pad_voice(note_hz(root + 7), t) + pad_voice(note_hz(root + 12), t));

  // Melody: the note index is a fixed function of the note number, so any sample can be made
  // without running state.
  const uint64_t note = static_cast<uint64_t>(t / MELODY_NOTE_S);
  Lcg pick{note * 2654435761ull + 17};
  const int degree = static_cast<int>(next_random(pick) % 10);
  const double in_note = t - note * MELODY_NOTE_S;
  const double envelope = std::exp(-in_note * 6.0) * std::fmin(1.0, in_note * 200.0);
  const double melody = 0.25 * envelope * pad_voice(note_hz(MELODY_SCALE[degree]), t);
  const double pan = 0.5 + 0.4 * std::sin(TWO_PI * t / 8.0);  // drifts between the channels
  s.left += (1.0 - pan) * melody;
  s.right += pan * melody;

  // Percussion.
  const int beat = static_cast<int>(t / BEAT_S);
  const double in_beat = t - beat * BEAT_S;
  if (beat % 2 == 0) {  // kick: a falling sine, 150 Hz down to about 50 Hz
    const double kick = 0.35 * std::exp(-in_beat * 18.0) *
                        std::sin(TWO_PI * (50.0 * in_beat + 100.0 * (1 - std::exp(-in_beat * 30.0)) / 30.0));
    s.left += kick;
    s.right += kick;
  }
  const double half_beat = in_beat - BEAT_S / 2;
  const double burst = next_noise(noise);
  if (half_beat >= 0) {  // off-beat noise bursts
    const double hat = std::exp(-half_beat * 60.0) * burst;
    s.left += 0.08 * hat;
    s.right += 0.16 * hat;
  }
  return s;
}

int16_t to_pcm16(double x) {
  double v = std::round(x * 32767.0);
  if (v > 32767.0) v = 32767.0;
  if (v < -32768.0) v = -32768.0;
  return static_cast<int16_t>(v);
}

int write_piece(const char* path, uint32_t frames) {
  std::FILE* out = std::fopen(path, "wb");
  if (!out) {
    std::printf("Error, cannot create %s\n", path);
    return 1;
  }
  uint8_t header[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
  const uint32_t data_bytes = frames * 4;
  tarn::store_le32(header + 4, data_bytes + 36);
  tarn::store_le32(header + 16, 16);
  tarn::store_le16(header + 20, 1);  // integer PCM
  tarn::store_le16(header + 22, 2);
  tarn::store_le32(header + 24, RATE_HZ);
  tarn::store_le32(header + 28, RATE_HZ * 4);
  tarn::store_le16(header + 32, 4);
  tarn::store_le16(header + 34, 16);
  std::memcpy(header + 36, "data", 4);
  tarn::store_le32(header + 40, data_bytes);
  bool ok = std::fwrite(header, sizeof header, 1, out) == 1;

  Lcg noise{12345};
  std::vector<uint8_t> chunk;
  chunk.reserve(4 * 4096);
  for (uint32_t n = 0; n < frames && ok; ++n) {
    const Sample s = synthesise(n, noise);
    uint8_t frame[4];
    tarn::store_le16(frame, static_cast<uint16_t>(to_pcm16(s.left)));
    tarn::store_le16(frame + 2, static_cast<uint16_t>(to_pcm16(s.right)));
    chunk.insert(chunk.end(), frame, frame + 4);
    if (chunk.size() == chunk.capacity() || n + 1 == frames) {
      ok = std::fwrite(chunk.data(), 1, chunk.size(), out) == chunk.size();
      chunk.clear();
    }
  }
  ok = std::fclose(out) == 0 && ok;
  if (!ok) {
    std::printf("Error, cannot write %s\n", path);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 6.0;
  const char* path = nullptr;
  if (argc == 2) {
    path = argv[1];
  } else if (argc == 4 && std::strcmp(argv[1], "--seconds") == 0) {
    seconds = std::atof(argv[2]);
    path = argv[3];
  }
  if (path == nullptr || !(seconds >= 1.0 && seconds <= 7200.0)) {
    std::printf("Syntax:\n %s [--seconds S] output.wav   (S from 1 to 7200, default 6)\n",
                argv[0]);
    return 1;
  }
  return write_piece(path, static_cast<uint32_t>(seconds * RATE_HZ));
}
