#include "programs/cli.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "format/stream_format.h"
#include "programs/file_handle.h"
#include "programs/file_identity.h"
#include "programs/interruption.h"
#include "format/byte_order.h"
#include "programs/wav_reader.h"
#include "programs/wav_writer.h"
#include "tarn/tarn.h"
#include "transform/window.h"

namespace tarn {
namespace {

// Frames moved per call between the files and the library: 16 KiB of PCM. The interruption
// flag is looked at once per call.
constexpr int IO_FRAMES = 4096;

// Results of the file-level encoding (analyse).
constexpr int ENCODE_OK = 0;
constexpr int ENCODE_ERR_NO_MEMORY = -1;   // work storage, tables or transform scratch
constexpr int ENCODE_ERR_WRITE = -2;       // the stream file did not take every byte
constexpr int ENCODE_ERR_INTERRUPTED = -3;  // a signal stopped the run
// push_input's result when the flag was seen: not a library code (those are 0 or negative).
constexpr int PUSH_INTERRUPTED = 1;

bool is_standard_stream(const char* path) { return std::strcmp(path, "-") == 0; }

// How a program runs: where its messages go, whether it shows progress, and whether "-" names
// the standard streams (tarn-encode, tarn-decode) or a file called "-" (tarn).
struct Style {
  std::FILE* console;
  bool quiet;
  bool dashes;
};

struct EncoderClose {
  void operator()(tarn_encoder* e) const { tarn_encoder_destroy(e); }
};
struct DecoderClose {
  void operator()(tarn_decoder* d) const { tarn_decoder_destroy(d); }
};

// An input or output file: a path's file (owned) or a standard stream (not closed here).
struct Endpoint {
  FilePtr owned;
  std::FILE* file = nullptr;
  bool seekable = true;
};

// How an endpoint is opened: for reading, or created for writing through a stream buffer, or
// created for writing without one (every fwrite reaches the file at once, so the items it
// reports are the items the file took; for the output WAV, written in large blocks anyway).
enum class Access { READ, WRITE, WRITE_DIRECT };

// Opens path for reading, or creates it for writing; "-" stands for standard input or output.
// file is null when the path cannot be opened or created.
Endpoint open_endpoint(const char* path, Access access, const Style& style) {
  Endpoint e;
  const bool output = access != Access::READ;
  if (style.dashes && is_standard_stream(path)) {
    e.file = output ? stdout : stdin;
    e.seekable = std::fseek(e.file, 0, SEEK_CUR) == 0;
    // An output is rewritten in place (the WAV's header, its length cut to the frames it holds)
    // only when it is ours alone: a file opened for appending, or standing past other bytes,
    // is written through like a pipe.
    if (output && e.seekable) {
      const int flags = fcntl(fileno(e.file), F_GETFL);
      e.seekable = std::ftell(e.file) == 0 && flags != -1 && (flags & O_APPEND) == 0;
    }
  } else if (output) {
    e.owned = access == Access::WRITE ? create_for_writing(path) : create_for_direct_writing(path);
    e.file = e.owned.get();
  } else {
    e.owned = open_for_reading(path);
    e.file = e.owned.get();
  }
  return e;
}

// Flushes and closes an output; false when any write to it failed.
bool finish_output(Endpoint& out) {
  if (out.owned) return close_output(std::move(out.owned));
  return std::fflush(out.file) == 0 && std::ferror(out.file) == 0;
}

// The progress line on standard error: shown only when stderr is a terminal, the run is not
// quiet and the audio is longer than PROGRESS_MIN_SECONDS; redrawn at most every quarter second.
constexpr double PROGRESS_MIN_SECONDS = 10.0;
struct Progress {
  bool on = false;
  uint32_t total = 0;
  double rate = 44100.0;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point drawn;
};

Progress start_progress(bool quiet, uint32_t total, uint32_t rate) {
  Progress p;
  p.total = total;
  p.rate = rate > 0 ? rate : 44100.0;
  p.on = !quiet && isatty(2) && total / p.rate > PROGRESS_MIN_SECONDS;
  p.start = p.drawn = std::chrono::steady_clock::now();
  return p;
}

void show_progress(Progress& p, uint64_t frames) {
  if (!p.on) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - p.drawn < std::chrono::milliseconds(250) && frames < p.total) return;
  p.drawn = now;
  const double seconds = frames / p.rate;
  const double elapsed = std::chrono::duration<double>(now - p.start).count();
  const int minutes = static_cast<int>(seconds / 60);
  std::fprintf(stderr, "\r%5.1f%%  %d:%04.1f  %.1fx real time ", 100.0 * frames / p.total,
               minutes, seconds - 60.0 * minutes, elapsed > 0 ? seconds / elapsed : 0.0);
}

void end_progress(const Progress& p) {
  if (p.on) std::fprintf(stderr, "\r%*s\r", 40, "");
}

// Copies standard input into an anonymous temporary file (its name is removed as soon as it is
// created, so it goes with the process however that ends) and rewinds it: the WAV reader seeks,
// and the stream header needs the frame count before the first block.
FilePtr spool_standard_input() {
  const char* dir = std::getenv("TMPDIR");
  std::string name = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/tarn-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) return nullptr;
  unlink(name.c_str());
  FilePtr spool(fdopen(fd, "wb+"));
  if (!spool) {
    close(fd);
    return nullptr;
  }
  uint8_t buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
    if (std::fwrite(buffer, 1, got, spool.get()) != got) return nullptr;
  }
  if (std::ferror(stdin) || std::fflush(spool.get()) != 0 || std::fseek(spool.get(), 0, SEEK_SET) != 0) {
    return nullptr;
  }
  return spool;
}

// A spooled WAV may declare any data size (a writer into a pipe cannot fill it in; 0 and
// 0xFFFFFFFF are the usual placeholders): its frame count becomes the whole frames the rest of
// the input holds, unless it declares fewer and more than 0.
void clamp_to_spooled_data(WavFile& wav) {
  const long data_start = std::ftell(wav.file);
  if (data_start < 0 || std::fseek(wav.file, 0, SEEK_END) != 0) return;
  const long end = std::ftell(wav.file);
  std::fseek(wav.file, data_start, SEEK_SET);
  const uint64_t frames = end > data_start ? static_cast<uint64_t>(end - data_start) / 4 : 0;
  if (wav.sample_count == 0 || wav.sample_count > frames) {
    wav.sample_count = static_cast<uint32_t>(frames);
  }
}

// Opens the input WAV ("-": standard input, spooled), takes the start time and validates the
// header: prints the format report or the matching error. Returns 0 for an accepted input of at
// least MIN_INPUT_SAMPLES frames.
int open_and_check_input(const char* path, const Style& style, FilePtr& file, WavFile& wav,
                         std::time_t& start) {
  std::FILE* console = style.console;
  const bool piped = style.dashes && is_standard_stream(path);
  file = piped ? spool_standard_input() : open_for_reading(path);
  if (!file) {
    std::fprintf(console, "Error, cannot open %s\n", path);
    return -1;
  }
  wav.file = file.get();
  start = std::time(nullptr);
  const int header = read_wav_header(wav);
  if (header == WAV_OK && piped) clamp_to_spooled_data(wav);
  switch (header) {
    case WAV_OK:
      std::fprintf(console,
                   "Sampling rate: %d\nChannels: %d\nBits per sample: %d\nSamples: %d, Length %fs\n\n",
                   wav.sample_rate, wav.channel_count, wav.bits_per_sample,
                   static_cast<int>(wav.sample_count),
                   static_cast<double>(wav.sample_count) / wav.sample_rate);
      break;
    case WAV_ERR_NOT_WAVE:
      std::fprintf(console, "%s is not a WAV file\n", path);
      return -1;
    case WAV_ERR_NOT_PCM:
      std::fprintf(console, "%s is not a PCM file\n", path);
      return -1;
    case WAV_ERR_UNSUPPORTED:
      std::fprintf(console, "Sampling rate: %d\nChannels: %d\nBits per sample: %d\nSamples: %d\n",
                   wav.sample_rate, wav.channel_count, wav.bits_per_sample,
                   static_cast<int>(wav.sample_count));
      std::fprintf(console, "Support limited to 44100Hz, 16 bits, Stereo\n");
      return -1;
    default:
      std::fprintf(console, "Unknown error\n");
      return -1;
  }
  if (wav.sample_count < MIN_INPUT_SAMPLES) {
    std::fprintf(console, "File is too small, at least %d samples are required\n",
                 static_cast<int>(MIN_INPUT_SAMPLES));
    return -1;
  }
  return 0;
}

int write_to_file(void* user, const unsigned char* bytes, size_t length) {
  return std::fwrite(bytes, 1, length, static_cast<std::FILE*>(user)) == length ? 0 : -1;
}

// A read error ends the stream, as a short read does.
long read_from_file(void* user, unsigned char* bytes, size_t capacity) {
  return static_cast<long>(std::fread(bytes, 1, capacity, static_cast<std::FILE*>(user)));
}

// Pushes the input's frames (up to its sample_count, or as far as the file goes) and finishes.
// An interruption stops it before the next piece, without finishing: the stream then holds the
// whole blocks written so far (PUSH_INTERRUPTED).
int push_input(tarn_encoder* enc, WavFile& wav, Progress& progress) {
  uint8_t bytes[4 * IO_FRAMES];
  int16_t frames[2 * IO_FRAMES];
  for (;;) {
    if (interrupted()) return PUSH_INTERRUPTED;
    const int got = read_stereo_frames(wav, bytes, IO_FRAMES);
    for (int i = 0; i < 2 * got; ++i) frames[i] = static_cast<int16_t>(load_le16(bytes + 2 * i));
    const int status = tarn_encoder_push(enc, frames, static_cast<size_t>(got));
    if (status != TARN_OK) return status;
    show_progress(progress, wav.samples_done);
    if (got < IO_FRAMES) break;
  }
  return tarn_encoder_finish(enc);
}

void print_encoder_stats(const tarn_encoder* enc, const WavFile& wav, std::FILE* console) {
  tarn_encoder_stats stats;
  tarn_encoder_get_stats(enc, &stats);
  const int32_t left = static_cast<int32_t>(stats.payload_bytes[0]);
  const int32_t right = static_cast<int32_t>(stats.payload_bytes[1]);
  const int blocks = static_cast<int>(stats.block_count);
  // S counts the header and every payload byte, not the two length words of each block.
  const uint32_t stream_bytes = static_cast<uint32_t>(left + right + STREAM_HEADER_BYTES);
  const int coefficients = blocks * FRAME_SIZE / 2;
  const double kbps = (static_cast<double>(stream_bytes) * 8) /
                      (static_cast<double>(wav.sample_count) * 1000 / wav.sample_rate);
  std::fprintf(console, "Left channel, %d coefficients, %d bytes used\n", coefficients, left);
  std::fprintf(console, "Right channel, %d coefficients, %d bytes used\n", coefficients, right);
  std::fprintf(console, "File size: %d bytes %.4fkbps\n", static_cast<int>(stream_bytes), kbps);
  std::fprintf(console, "End of Analysis, %d blocks\n\n", blocks);
}

// The encoder loop over a file: pushes the input's frames into an encoder that writes to
// stream, finishes, and prints the four statistics lines on success (nothing on failure).
int analyse(WavFile& input, std::FILE* stream, const Style& style) {
  Progress progress =
      start_progress(style.quiet, input.sample_count, static_cast<uint32_t>(input.sample_rate));
  int status = TARN_OK;
  std::unique_ptr<tarn_encoder, EncoderClose> enc(
      tarn_encoder_create(input.sample_count, static_cast<uint32_t>(input.sample_rate),
                          write_to_file, stream, &status));
  if (enc) status = push_input(enc.get(), input, progress);
  end_progress(progress);
  if (status == PUSH_INTERRUPTED) return ENCODE_ERR_INTERRUPTED;
  if (status == TARN_ERR_NO_MEMORY) return ENCODE_ERR_NO_MEMORY;
  if (status != TARN_OK) return ENCODE_ERR_WRITE;
  print_encoder_stats(enc.get(), input, style.console);
  return ENCODE_OK;
}

// Creates the stream file ("-": standard output), runs the encoder loop, closes the input and
// then the stream (the stream is complete on disk only after this close). Returns 0, or -1
// after a message.
int encode_to_stream(FilePtr input, WavFile& wav, const char* stream_path, const Style& style) {
  std::FILE* console = style.console;
  Endpoint stream = open_endpoint(stream_path, Access::WRITE, style);
  if (stream.file == nullptr) {
    std::fprintf(console, "Error, cannot create %s\n", stream_path);
    return -1;
  }
  const int status = analyse(wav, stream.file, style);
  input.reset();
  const bool closed = finish_output(stream);
  if (status == ENCODE_ERR_NO_MEMORY) {
    std::fprintf(console, "Error, out of memory\n");
    return -1;
  }
  if (status == ENCODE_ERR_INTERRUPTED) {
    print_interrupted(console);
    return -1;
  }
  if (status != ENCODE_OK || !closed) {
    std::fprintf(console, "Error, cannot write %s\n", stream_path);
    return -1;
  }
  return 0;
}

// The encoding half shared by tarn and tarn-encode: open and validate the input (the run's clock
// starts once the input is open), then encode it into the stream file.
int encode_file(const char* wav_path, const char* stream_path, const Style& style,
                std::time_t& start) {
  FilePtr input;
  WavFile wav;
  if (open_and_check_input(wav_path, style, input, wav, start) != 0) return -1;
  return encode_to_stream(std::move(input), wav, stream_path, style);
}

// Reports a decoder that could not start; returns the matching DECODE_ERR_*.
int report_unusable_stream(int error, const tarn_stream_info& info, const char* stream_path,
                           std::FILE* console) {
  switch (error) {
    case TARN_ERR_HEADER_SHORT:
      std::fprintf(console, "Error, %s is too short for a stream header\n", stream_path);
      return DECODE_ERR_HEADER;
    case TARN_ERR_HALF_FRAME:
      std::fprintf(console, "Error, %s has an unusable header: half_frame %d (even, 2 to %d)\n",
                   stream_path, static_cast<int>(info.half_frame), TARN_MAX_HALF_FRAME);
      return DECODE_ERR_HEADER;
    case TARN_ERR_BANDS:
      std::fprintf(console,
                   "Error, %s has an unusable header: %d bins at %u Hz do not fill the bands\n",
                   stream_path, static_cast<int>(info.half_frame), info.sample_rate);
      return DECODE_ERR_HEADER;
    default:
      std::fprintf(console, "Error, out of memory\n");
      return DECODE_ERR_NO_MEMORY;
  }
}

// Writes count interleaved frames as 16-bit little-endian PCM; returns the frames written.
uint32_t write_frames(std::FILE* file, const int16_t* frames, long count) {
  uint8_t bytes[4 * IO_FRAMES];
  for (long i = 0; i < 2 * count; ++i) store_le16(bytes + 2 * i, static_cast<uint16_t>(frames[i]));
  return static_cast<uint32_t>(std::fwrite(bytes, 4, static_cast<size_t>(count), file));
}

// Decodes the stream ("-": standard input) into a WAV ("-": standard output). The WAV header
// announces the stream's frame count, at most max_wav_frames. When fewer frames arrive (a
// damaged stream, an interruption, a full disk) the size fields are rewritten to the frames the
// file holds, which an output that cannot seek does not allow; the output is written without a
// stream buffer, so that "End of Synthesis" counts exactly those frames.
int decode_file(const char* stream_path, const char* wav_path, const Style& style) {
  std::FILE* console = style.console;
  Endpoint stream = open_endpoint(stream_path, Access::READ, style);
  if (stream.file == nullptr) {
    std::fprintf(console, "Error, cannot open %s\n", stream_path);
    return DECODE_ERR_OPEN;
  }
  tarn_stream_info info;
  int error = TARN_OK;
  std::unique_ptr<tarn_decoder, DecoderClose> dec(
      tarn_decoder_create(read_from_file, stream.file, &info, &error));
  if (!dec) return report_unusable_stream(error, info, stream_path, console);

  Endpoint output = open_endpoint(wav_path, Access::WRITE_DIRECT, style);
  if (output.file == nullptr) {
    std::fprintf(console, "Error, cannot create %s\n", wav_path);
    return DECODE_ERR_OPEN;
  }
  std::fprintf(console, "File info: %d %d %d %d ", static_cast<int>(info.sample_count),
               static_cast<int>(info.half_frame), static_cast<int>(info.sample_rate),
               static_cast<int>(info.channel_count));
  std::fprintf(console, "%s\n", window_label(static_cast<WindowType>(info.window_type)));

  WavFile wav;
  wav.file = output.file;
  wav.sample_rate = static_cast<int32_t>(info.sample_rate);
  wav.bits_per_sample = 16;
  // The decoder writes 16-bit stereo frames whatever the header's channel byte says; a WAV
  // header with another count would describe sizes and a frame layout that the data lacks.
  wav.channel_count = 2;
  wav.sample_count = std::min(info.sample_count, max_wav_frames(wav));
  // When the stream claims more frames than a WAV can describe, decoding stops once the WAV
  // holds as many as it can (the header's frame count, lowered above).
  const uint32_t stop_at = wav.sample_count < info.sample_count ? wav.sample_count : UINT32_MAX;
  int status = DECODE_OK;
  if (output.seekable) {
    if (write_wav_header(wav) != 0) status = DECODE_ERR_WRITE;
  } else {
    uint8_t header[WAV_HEADER_BYTES];
    pack_wav_header(wav, header);
    wav.samples_done = 0;
    if (std::fwrite(header, sizeof header, 1, wav.file) != 1) status = DECODE_ERR_WRITE;
  }
  Progress progress = start_progress(style.quiet, info.sample_count, info.sample_rate);
  int16_t frames[2 * IO_FRAMES];
  while (status == DECODE_OK && wav.samples_done < stop_at) {
    const size_t wanted = std::min<uint32_t>(IO_FRAMES, stop_at - wav.samples_done);
    const long got = tarn_decoder_read(dec.get(), frames, wanted);
    if (got == 0) break;
    if (got == TARN_ERR_STREAM_SHORT) {
      status = DECODE_ERR_CUT_SHORT;
      break;
    }
    if (got == TARN_ERR_NO_MEMORY) {
      end_progress(progress);
      std::fprintf(console, "Error, out of memory\n");
      status = DECODE_ERR_NO_MEMORY;
      break;
    }
    if (got < 0) {
      end_progress(progress);
      std::fprintf(console, "Error, %s is damaged at block %ld: %s\n", stream_path,
                   tarn_decoder_error_block(dec.get()), tarn_strerror(static_cast<int>(got)));
      status = DECODE_ERR_DAMAGED;
      break;
    }
    wav.samples_done += write_frames(wav.file, frames, got);
    if (std::ferror(wav.file)) {
      status = DECODE_ERR_WRITE;
    } else if (interrupted()) {
      status = DECODE_ERR_INTERRUPTED;
    }
    show_progress(progress, wav.samples_done);
  }
  if (status == DECODE_OK && wav.samples_done == stop_at) {
    status = DECODE_ERR_WAV_LIMIT;
  }
  end_progress(progress);
  if (std::ferror(wav.file)) status = DECODE_ERR_WRITE;
  // A damaged or cut stream, an interruption, a full disk or a lack of memory leave fewer frames
  // than the header announced: it is rewritten to what the file holds. An output that cannot
  // seek (a pipe) keeps the header it was given.
  if ((wav.samples_done < wav.sample_count || status == DECODE_ERR_WRITE) && output.seekable) {
    if (rewrite_wav_sizes(wav) != 0) status = DECODE_ERR_WRITE;
  }
  if (status == DECODE_ERR_NO_MEMORY) return status;
  std::fprintf(console, "End of Synthesis, %d samples\n\n\n", static_cast<int>(wav.samples_done));
  if (!finish_output(output) || status == DECODE_ERR_WRITE) {
    std::fprintf(console, "Error, cannot write %s\n", wav_path);
    return DECODE_ERR_WRITE;
  }
  if (status == DECODE_ERR_INTERRUPTED) print_interrupted(console);
  if (status == DECODE_ERR_CUT_SHORT) {
    std::fprintf(console, "Error, %s is cut short: %u of %u samples\n", stream_path,
                 wav.samples_done, info.sample_count);
  }
  if (status == DECODE_ERR_WAV_LIMIT) {
    std::fprintf(console, "Error, %s stops at %u samples, the most a WAV file can describe\n",
                 wav_path, wav.samples_done);
  }
  return status;
}

// Refuses a run that names one file twice (file_identity.h), before anything is opened: prints
// "Error, A and B are the same file" for the first such pair in argument order. With dashes,
// "-" names the standard stream open on fd 0 for the first path (the input) and fd 1 for the
// second (the output); for tarn it is a file called "-".
bool paths_are_distinct(const char* const* paths, int count, const Style& style) {
  NamedFile files[3];
  for (int i = 0; i < count; ++i) {
    const bool standard = style.dashes && is_standard_stream(paths[i]);
    files[i] = NamedFile{paths[i], standard ? (i == 0 ? 0 : 1) : -1};
  }
  for (int a = 0; a < count; ++a) {
    for (int b = a + 1; b < count; ++b) {
      if (same_file(files[a], files[b])) {
        std::fprintf(style.console, "Error, %s and %s are the same file\n", paths[a], paths[b]);
        return false;
      }
    }
  }
  return true;
}

void print_processing_time(std::time_t start, std::FILE* console) {
  const std::time_t end = std::time(nullptr);
  std::fprintf(console, "\n\nProcessing time: %d seconds\n", static_cast<int>(end - start));
}

// The command line of tarn-encode and tarn-decode: options anywhere, then two paths.
struct Options {
  bool quiet = false;
  bool help = false;
  bool version = false;
  const char* paths[2] = {nullptr, nullptr};
  int path_count = 0;
};

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      o.help = true;
    } else if (std::strcmp(a, "--version") == 0) {
      o.version = true;
    } else if (std::strcmp(a, "-q") == 0 || std::strcmp(a, "--quiet") == 0) {
      o.quiet = true;
    } else {
      if (o.path_count < 2) o.paths[o.path_count] = a;
      ++o.path_count;
    }
  }
  return o;
}

// --help and --version: on standard output, exit status 0. Returns true when one was given.
bool print_help_or_version(const Options& o, const char* program, const char* input,
                           const char* output, const char* what) {
  if (o.help) {
    std::printf(
        "Usage: %s [-q] %s %s\n"
        "%s\n"
        "  -        as either path: standard input or standard output; while the output\n"
        "           is standard output, messages go to standard error\n"
        "  -q, --quiet  no progress line\n"
        "  --help       this text\n"
        "  --version    the version\n",
        program, input, output, what);
    return true;
  }
  if (o.version) {
    std::printf("%s %s\n", program, tarn_version());
    return true;
  }
  return false;
}

}  // namespace

int run_synthesis(const char* stream_path, const char* wav_path) {
  return decode_file(stream_path, wav_path, Style{stdout, true, false});
}

int tarn_main(int argc, char** argv) {
  if (argc != 4) {
    std::printf("Syntax:\n %s input.wav output.tarn output.wav\n", argv[0]);
    return -1;
  }
  const Style style{stdout, true, false};
  if (!paths_are_distinct(argv + 1, 3, style)) return -1;
  catch_interruptions();
  std::time_t start = 0;
  if (encode_file(argv[1], argv[2], style, start) != 0) return -1;
  if (interrupted()) {
    print_interrupted(stdout);
    return -1;
  }
  if (run_synthesis(argv[2], argv[3]) != DECODE_OK) return -1;
  print_processing_time(start, stdout);
  return 0;
}

int tarn_encode_main(int argc, char** argv) {
  const Options o = parse_options(argc, argv);
  if (print_help_or_version(o, argv[0], "input.wav", "output.tarn",
                            "Encodes a 44100 Hz 16-bit stereo WAV file into a tarn stream.")) {
    return 0;
  }
  if (o.path_count != 2) {
    std::printf("Syntax:\n %s input.wav output.tarn\n", argv[0]);
    return -1;
  }
  const Style style{is_standard_stream(o.paths[1]) ? stderr : stdout, o.quiet, true};
  if (!paths_are_distinct(o.paths, 2, style)) return -1;
  catch_interruptions();
  std::time_t start = 0;
  if (encode_file(o.paths[0], o.paths[1], style, start) != 0) return -1;
  print_processing_time(start, style.console);
  return 0;
}

int tarn_decode_main(int argc, char** argv) {
  const Options o = parse_options(argc, argv);
  if (print_help_or_version(o, argv[0], "input.tarn", "output.wav",
                            "Decodes a tarn stream into a 16-bit stereo WAV file.")) {
    return 0;
  }
  if (o.path_count != 2) {
    std::printf("Syntax:\n %s input.tarn output.wav\n", argv[0]);
    return -1;
  }
  const Style style{is_standard_stream(o.paths[1]) ? stderr : stdout, o.quiet, true};
  if (!paths_are_distinct(o.paths, 2, style)) return -1;
  catch_interruptions();
  const std::time_t start = std::time(nullptr);
  if (decode_file(o.paths[0], o.paths[1], style) != DECODE_OK) return -1;
  print_processing_time(start, style.console);
  return 0;
}

}  // namespace tarn
