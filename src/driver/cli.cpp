#include "driver/cli.h"

#include <cstdio>
#include <ctime>
#include <initializer_list>

#include "driver/decoder_loop.h"
#include "driver/encoder_loop.h"
#include "driver/file_handle.h"
#include "driver/file_identity.h"
#include "driver/interruption.h"
#include "pcm/wav_reader.h"

namespace tarn {
namespace {

// Opens the input WAV, takes the start time and validates the header: prints the format report
// or the matching error. Returns 0 for an accepted input of at least MIN_INPUT_SAMPLES frames.
int open_and_check_input(const char* path, FilePtr& file, WavFile& wav, std::time_t& start) {
  file = open_for_reading(path);
  if (!file) {
    std::printf("Error, cannot open %s\n", path);
    return -1;
  }
  wav.file = file.get();
  start = std::time(nullptr);
  switch (read_wav_header(wav)) {
    case WAV_OK:
      std::printf("Sampling rate: %d\nChannels: %d\nBits per sample: %d\nSamples: %d, Length %fs\n\n",
                  wav.sample_rate, wav.channel_count, wav.bits_per_sample,
                  static_cast<int>(wav.sample_count),
                  static_cast<double>(wav.sample_count) / wav.sample_rate);
      break;
    case WAV_ERR_NOT_WAVE:
      std::printf("%s is not a WAV file\n", path);
      return -1;
    case WAV_ERR_NOT_PCM:
      std::printf("%s is not a PCM file\n", path);
      return -1;
    case WAV_ERR_UNSUPPORTED:
      std::printf("Sampling rate: %d\nChannels: %d\nBits per sample: %d\nSamples: %d\n",
                  wav.sample_rate, wav.channel_count, wav.bits_per_sample,
                  static_cast<int>(wav.sample_count));
      std::printf("Support limited to 44100Hz, 16 bits, Stereo\n");
      return -1;
    default:
      std::printf("Unknown error\n");
      return -1;
  }
  if (wav.sample_count < MIN_INPUT_SAMPLES) {
    std::printf("File is too small, at least %d samples are required\n",
                static_cast<int>(MIN_INPUT_SAMPLES));
    return -1;
  }
  return 0;
}

// Creates the stream file, runs the encoder loop, closes the input and then the stream (the
// stream is complete on disk only after this close). Returns 0, or -1 after a message.
int encode_to_stream(FilePtr input, WavFile& wav, const char* stream_path) {
  FilePtr stream = create_for_writing(stream_path);
  if (!stream) {
    std::printf("Error, cannot create %s\n", stream_path);
    return -1;
  }
  const int status = run_analysis(wav, stream.get());
  input.reset();
  const bool closed = close_output(std::move(stream));
  if (status == ENCODE_ERR_NO_MEMORY) {
    std::printf("Error, out of memory\n");
    return -1;
  }
  if (status == ENCODE_ERR_INTERRUPTED) {
    print_interrupted();
    return -1;
  }
  if (status != ENCODE_OK || !closed) {
    std::printf("Error, cannot write %s\n", stream_path);
    return -1;
  }
  return 0;
}

// The encoding half shared by tarn and tarn-encode: open and validate the input (the run's clock
// starts once the input is open), then encode it into the stream file.
int encode_file(const char* wav_path, const char* stream_path, std::time_t& start) {
  FilePtr input;
  WavFile wav;
  if (open_and_check_input(wav_path, input, wav, start) != 0) return -1;
  return encode_to_stream(std::move(input), wav, stream_path);
}

// Refuses a run that names one file twice (file_identity.h), before anything is opened:
// prints "Error, A and B are the same file" for the first such pair in argument order.
bool paths_are_distinct(std::initializer_list<const char*> paths) {
  for (auto a = paths.begin(); a != paths.end(); ++a) {
    for (auto b = a + 1; b != paths.end(); ++b) {
      if (same_file(*a, *b)) {
        std::printf("Error, %s and %s are the same file\n", *a, *b);
        return false;
      }
    }
  }
  return true;
}

void print_processing_time(std::time_t start) {
  const std::time_t end = std::time(nullptr);
  std::printf("\n\nProcessing time: %d seconds\n", static_cast<int>(end - start));
}

}  // namespace

int tarn_main(int argc, char** argv) {
  if (argc != 4) {
    std::printf("Syntax:\n %s input.wav output.tarn output.wav\n", argv[0]);
    return -1;
  }
  if (!paths_are_distinct({argv[1], argv[2], argv[3]})) return -1;
  catch_interruptions();
  std::time_t start = 0;
  if (encode_file(argv[1], argv[2], start) != 0) return -1;
  if (interrupted()) {
    print_interrupted();
    return -1;
  }
  if (run_synthesis(argv[2], argv[3]) != DECODE_OK) return -1;
  print_processing_time(start);
  return 0;
}

int tarn_encode_main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("Syntax:\n %s input.wav output.tarn\n", argv[0]);
    return -1;
  }
  if (!paths_are_distinct({argv[1], argv[2]})) return -1;
  catch_interruptions();
  std::time_t start = 0;
  if (encode_file(argv[1], argv[2], start) != 0) return -1;
  print_processing_time(start);
  return 0;
}

int tarn_decode_main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("Syntax:\n %s input.tarn output.wav\n", argv[0]);
    return -1;
  }
  if (!paths_are_distinct({argv[1], argv[2]})) return -1;
  catch_interruptions();
  const std::time_t start = std::time(nullptr);
  if (run_synthesis(argv[1], argv[2]) != DECODE_OK) return -1;
  print_processing_time(start);
  return 0;
}

}  // namespace tarn
