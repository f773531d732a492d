#include "programs/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "format/stream_format.h"
#include "programs/file_handle.h"
#include "programs/file_identity.h"
#include "programs/frame_range.h"
#include "programs/interruption.h"
#include "programs/process_setup.h"
#include "programs/stdin_spool.h"
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
// The input gave fewer frames than its header check counted (it was cut while being read, or a
// read failed): "Error, cannot read PATH".
constexpr int ENCODE_ERR_READ = -4;
// Standard input goes on past the most a WAV file can hold (MAX_WAV_FILE_BYTES).
constexpr int ENCODE_ERR_TOO_LARGE = -5;
// push_input's results when the flag was seen or the input came short: not library codes
// (those are 0 or negative).
constexpr int PUSH_INTERRUPTED = 1;
constexpr int PUSH_READ_FAILED = 2;

bool is_standard_stream(const char* path) { return std::strcmp(path, "-") == 0; }

// How a program runs: where its messages go, whether it shows progress, and whether "-" names
// the standard streams (tarn-encode, tarn-decode) or a file called "-" (tarn). stdout_alias is
// an output path that names the file open on standard output ("/dev/stdout" into a pipe), which
// is written as "-" is; streams tells which standard streams were closed at the start.
struct Style {
  std::FILE* console;
  bool quiet;
  bool dashes;
  const char* stdout_alias = nullptr;
  StandardStreams streams = {};
};

bool names_standard_input(const char* path, const Style& style) {
  return style.dashes && is_standard_stream(path);
}

bool names_standard_output(const char* path, const Style& style) {
  return style.dashes && (is_standard_stream(path) || path == style.stdout_alias);
}

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
  if (output ? names_standard_output(path, style) : names_standard_input(path, style)) {
    // A standard stream that was closed at the start holds /dev/null: nothing to read or write.
    if (output ? style.streams.output_closed : style.streams.input_closed) {
      errno = EBADF;
      return e;
    }
    e.file = output ? stdout : stdin;
    // Without a stream buffer every fwrite reaches the pipe or file at once, so the frames it
    // reports are the frames written (set before any other use of the stream).
    if (access == Access::WRITE_DIRECT) std::setvbuf(stdout, nullptr, _IONBF, 0);
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
    // A FIFO or a device named by its path is written through like a pipe.
    e.seekable = e.file != nullptr && std::fseek(e.file, 0, SEEK_CUR) == 0;
  } else {
    e.owned = open_for_reading(path);
    e.file = e.owned.get();
  }
  return e;
}

// Reports a path that could not be opened or created (what: "open" or "create"), given the
// errno of the failure: an interruption (the open of a FIFO cut short by a signal), a lack of
// memory (no room for the stream's buffer), or the path itself. Returns the matching
// DECODE_ERR_*.
int report_open_failure(std::FILE* console, const char* what, const char* path, int error) {
  if (interrupted()) {
    print_interrupted(console);
    return DECODE_ERR_INTERRUPTED;
  }
  if (error == ENOMEM) {
    std::fprintf(console, "Error, out of memory\n");
    return DECODE_ERR_NO_MEMORY;
  }
  std::fprintf(console, "Error, cannot %s %s\n", what, path);
  return DECODE_ERR_OPEN;
}

// Flushes and closes an output; false when any write to it failed.
bool finish_output(Endpoint& out) {
  if (out.owned) return close_output(std::move(out.owned));
  return std::fflush(out.file) == 0 && std::ferror(out.file) == 0;
}

// The progress line on standard error: shown only when stderr is a terminal, the run is not
// quiet and the audio is longer than PROGRESS_MIN_SECONDS; redrawn at most every quarter second.
// Audio of unknown length (total 0: standard input read as it arrives) shows no percentage, and
// its line appears once PROGRESS_MIN_SECONDS of it have passed.
constexpr double PROGRESS_MIN_SECONDS = 10.0;
struct Progress {
  bool on = false;
  uint32_t total = 0;  // frames, 0 when not known
  double rate = 44100.0;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point drawn;
};

Progress start_progress(bool quiet, uint32_t total, uint32_t rate) {
  Progress p;
  p.total = total;
  p.rate = rate > 0 ? rate : 44100.0;
  p.on = !quiet && isatty(2) && (total == 0 || total / p.rate > PROGRESS_MIN_SECONDS);
  p.start = p.drawn = std::chrono::steady_clock::now();
  return p;
}

void show_progress(Progress& p, uint64_t frames) {
  if (!p.on || (p.total == 0 && frames / p.rate <= PROGRESS_MIN_SECONDS)) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - p.drawn < std::chrono::milliseconds(250) && (p.total == 0 || frames < p.total)) return;
  p.drawn = now;
  const double seconds = frames / p.rate;
  const double elapsed = std::chrono::duration<double>(now - p.start).count();
  const int minutes = static_cast<int>(seconds / 60);
  if (p.total > 0) std::fprintf(stderr, "\r%5.1f%%", 100.0 * frames / p.total);
  if (p.total == 0) std::fprintf(stderr, "\r");
  std::fprintf(stderr, "  %d:%04.1f  %.1fx real time ", minutes, seconds - 60.0 * minutes,
               elapsed > 0 ? seconds / elapsed : 0.0);
}

void end_progress(const Progress& p) {
  if (p.on) std::fprintf(stderr, "\r%*s\r", 40, "");
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

// Prints the format report for an accepted header (WAV_OK), or the message of its refusal.
// Returns 0 for WAV_OK, -1 otherwise.
int report_header(int header, const char* path, const WavFile& wav, std::FILE* console) {
  switch (header) {
    case WAV_OK:
      std::fprintf(console,
                   "Sampling rate: %d\nChannels: %d\nBits per sample: %d\nSamples: %d, Length %fs\n\n",
                   wav.sample_rate, wav.channel_count, wav.bits_per_sample,
                   static_cast<int>(wav.sample_count),
                   static_cast<double>(wav.sample_count) / wav.sample_rate);
      return 0;
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
    case WAV_ERR_STOPPED:
      print_interrupted(console);
      return -1;
    default:
      std::fprintf(console, "Unknown error\n");
      return -1;
  }
}

// "File is too small" for an accepted input of fewer than MIN_INPUT_SAMPLES frames; 0 otherwise.
int check_length(const WavFile& wav, std::FILE* console) {
  if (wav.sample_count >= MIN_INPUT_SAMPLES) return 0;
  std::fprintf(console, "File is too small, at least %d samples are required\n",
               static_cast<int>(MIN_INPUT_SAMPLES));
  return -1;
}

// Opens the input WAV ("-": standard input, spooled after the bytes already held from it in
// `held`, when given), takes the start time and validates the header: prints the format report
// or the matching error. Returns 0 for an accepted input of at least MIN_INPUT_SAMPLES frames.
int open_and_check_input(const char* path, const Style& style, FilePtr& file, WavFile& wav,
                         std::time_t& start, const HeldInput* held = nullptr) {
  std::FILE* console = style.console;
  const bool piped = names_standard_input(path, style);
  int header = WAV_OK;
  if (piped) {
    errno = 0;
    const int spooled =
        style.streams.input_closed
            ? SPOOL_ERR_FAILED
            : spool_input(0, MAX_WAV_FILE_BYTES, interrupted, file, wav, header,
                          held != nullptr ? held->data.get() : nullptr,
                          held != nullptr ? held->length : 0);
    if (spooled == SPOOL_ERR_INTERRUPTED) {
      print_interrupted(console);
      return -1;
    }
    if (spooled == SPOOL_ERR_TOO_LARGE) {
      std::fprintf(console, "Error, %s holds more than a WAV file can describe\n", path);
      return -1;
    }
    if (spooled == SPOOL_ERR_FAILED) file.reset();
  } else {
    file = open_for_reading(path);
  }
  if (!file && header == WAV_OK) {
    report_open_failure(console, "open", path, errno);
    return -1;
  }
  start = std::time(nullptr);
  if (file) {
    wav.file = file.get();
    header = read_wav_header(wav, interrupted);
    if (header == WAV_OK && piped) clamp_to_spooled_data(wav);
  }
  if (report_header(header, path, wav, console) != 0) return -1;
  return check_length(wav, console);
}

// A read error ends the stream, as a short read does.
long read_from_file(void* user, unsigned char* bytes, size_t capacity) {
  return static_cast<long>(std::fread(bytes, 1, capacity, static_cast<std::FILE*>(user)));
}

// Pushes the input's frames (up to its sample_count) and finishes. An interruption stops it
// before the next piece, without finishing: the stream then holds the whole blocks written so
// far (PUSH_INTERRUPTED). So does an input that gives fewer frames than sample_count, which the
// header check counted in the file (PUSH_READ_FAILED): it was cut while being read, or a read
// failed, and silence must not stand in for the frames it lost.
int push_input(tarn_encoder* enc, WavFile& wav, Progress& progress) {
  uint8_t bytes[4 * IO_FRAMES];
  int16_t frames[2 * IO_FRAMES];
  for (;;) {
    if (interrupted()) return PUSH_INTERRUPTED;
    const int got = read_stereo_frames(wav, bytes, IO_FRAMES);
    if (got < IO_FRAMES && wav.samples_done < wav.sample_count) return PUSH_READ_FAILED;
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

// The encoder loop over a file: pushes the input's frames into an encoder that writes through
// `write`, finishes, and prints the four statistics lines on success (nothing on failure).
int analyse(WavFile& input, tarn_write_fn write, void* user, const Style& style) {
  Progress progress =
      start_progress(style.quiet, input.sample_count, static_cast<uint32_t>(input.sample_rate));
  int status = TARN_OK;
  std::unique_ptr<tarn_encoder, EncoderClose> enc(
      tarn_encoder_create(input.sample_count, static_cast<uint32_t>(input.sample_rate),
                          write, user, &status));
  if (enc) status = push_input(enc.get(), input, progress);
  end_progress(progress);
  if (status == PUSH_INTERRUPTED) return ENCODE_ERR_INTERRUPTED;
  if (status == PUSH_READ_FAILED) return ENCODE_ERR_READ;
  if (status == TARN_ERR_NO_MEMORY) return ENCODE_ERR_NO_MEMORY;
  if (status != TARN_OK) return ENCODE_ERR_WRITE;
  print_encoder_stats(enc.get(), input, style.console);
  return ENCODE_OK;
}

// The stream's file, opened only when the first block's bytes arrive: until then the encoder
// has written no more than the stream header, which waits here. An existing file therefore
// keeps its bytes when the run fails before it has a block to put there (no memory for the
// encoder, an interruption, an input cut short at once).
// The sink keeps its own buffer of SINK_BUFFER_BYTES and writes it with write_fully: a signal
// then ends a write blocked on a stalled consumer at once, where stdio would write again.
constexpr size_t SINK_BUFFER_BYTES = 1 << 16;
struct StreamSink {
  const char* path = nullptr;
  const Style* style = nullptr;
  Endpoint endpoint;
  size_t used = 0;  // bytes waiting in buffer (before the file is open: the stream header)
  bool open_failed = false;
  int open_errno = 0;  // why the open failed
  bool write_failed = false;
  // Where the write calls (the header, each block's two records) end in the buffer: bit i of
  // ends marks offset i, the last of them is last_end (0: none).
  uint64_t ends[SINK_BUFFER_BYTES / 64 + 1] = {};
  size_t last_end = 0;
  off_t whole_end = 0;  // where the file's whole blocks end, as far as written
  uint8_t buffer[SINK_BUFFER_BYTES];
};

// Writes the buffered bytes to the open file; false when it did not take them all. A file of
// ours (not standard output, which may hold other bytes) that took only part of them is cut
// back to the end of its last whole block, so that a full disk or a signal leaves a stream of
// whole blocks.
bool flush_sink(StreamSink& sink) {
  const int fd = fileno(sink.endpoint.file);
  const off_t at = lseek(fd, 0, SEEK_CUR);  // -1 for a pipe
  const size_t put = write_fully(fd, sink.buffer, sink.used, interrupted, sink.write_failed);
  const bool whole = put == sink.used && !sink.write_failed;
  size_t end = whole ? sink.last_end : put;
  while (end > 0 && (sink.ends[end / 64] >> (end % 64) & 1) == 0) --end;
  if (at >= 0 && end > 0) sink.whole_end = at + static_cast<off_t>(end);
  if (!whole && at >= 0 && sink.endpoint.owned) (void)!ftruncate(fd, sink.whole_end);
  std::memset(sink.ends, 0, (sink.used / 64 + 1) * sizeof sink.ends[0]);
  sink.used = 0;
  sink.last_end = 0;
  return whole;
}

// Marks the end of a write call at the buffer's current end.
void mark_end(StreamSink& sink) {
  sink.ends[sink.used / 64] |= uint64_t{1} << (sink.used % 64);
  sink.last_end = sink.used;
}

// Opens the sink's file; the bytes waiting for it stay in the buffer. False when it fails.
bool open_sink(StreamSink& sink) {
  sink.endpoint = open_endpoint(sink.path, Access::WRITE, *sink.style);
  sink.open_failed = sink.endpoint.file == nullptr;
  if (sink.open_failed) sink.open_errno = errno;
  return !sink.open_failed;
}

int write_to_sink(void* user, const unsigned char* bytes, size_t length) {
  StreamSink& sink = *static_cast<StreamSink*>(user);
  if (sink.endpoint.file == nullptr) {
    if (sink.open_failed) return -1;
    if (sink.used + length <= STREAM_HEADER_BYTES) {
      std::memcpy(sink.buffer + sink.used, bytes, length);
      sink.used += length;
      mark_end(sink);
      return 0;
    }
    if (!open_sink(sink)) return -1;
  }
  while (length > 0) {
    if (sink.used == SINK_BUFFER_BYTES && !flush_sink(sink)) return -1;
    const size_t taken = std::min(length, SINK_BUFFER_BYTES - sink.used);
    std::memcpy(sink.buffer + sink.used, bytes, taken);
    sink.used += taken;
    bytes += taken;
    length -= taken;
  }
  mark_end(sink);
  return 0;
}

// Moves the sink's write position to `offset` bytes from the stream's start (the seekable
// encoder rewriting its header when it finishes): the bytes waiting are written first, and the
// file is opened first when it is not yet. 0 on success, -1 on failure.
int seek_sink(void* user, uint64_t offset) {
  StreamSink& sink = *static_cast<StreamSink*>(user);
  if (sink.endpoint.file == nullptr && (sink.open_failed || !open_sink(sink))) return -1;
  if (!flush_sink(sink)) return -1;
  const off_t to = static_cast<off_t>(offset);
  return lseek(fileno(sink.endpoint.file), to, SEEK_SET) == to ? 0 : -1;
}

// Makes the stream's sink (64 KiB: kept off the stack's small frames, and its lack is a lack of
// memory); prints "Error, out of memory" when it cannot.
std::unique_ptr<StreamSink> make_sink(const char* stream_path, const Style& style) {
  std::unique_ptr<StreamSink> sink(new (std::nothrow) StreamSink());
  if (!sink) {
    std::fprintf(style.console, "Error, out of memory\n");
    return sink;
  }
  sink->path = stream_path;
  sink->style = &style;
  return sink;
}

// The end of an encode: gives a stream with no block its file (none can come from an accepted
// input), writes the bytes waiting and closes the stream (complete on disk only after this
// close), then reports the first failure. Returns 0, or -1 after a message.
int close_stream(int status, StreamSink& sink, const char* wav_path, const char* stream_path,
                 std::FILE* console) {
  if (status == ENCODE_OK && sink.endpoint.file == nullptr && !open_sink(sink)) {
    status = ENCODE_ERR_WRITE;
  }
  bool closed = true;
  if (sink.endpoint.file != nullptr) {
    const SignalHold hold;
    const bool flushed = flush_sink(sink);
    closed = finish_output(sink.endpoint) && flushed;
  }
  // A signal makes a blocked open or write fail: it is the interruption that is reported.
  if (status == ENCODE_ERR_INTERRUPTED || (status != ENCODE_OK && interrupted())) {
    print_interrupted(console);
    return -1;
  }
  if (sink.open_failed) {
    report_open_failure(console, "create", stream_path, sink.open_errno);
    return -1;
  }
  if (status == ENCODE_ERR_NO_MEMORY) {
    std::fprintf(console, "Error, out of memory\n");
    return -1;
  }
  if (status == ENCODE_ERR_READ) {
    std::fprintf(console, "Error, cannot read %s\n", wav_path);
    return -1;
  }
  if (status == ENCODE_ERR_TOO_LARGE) {
    std::fprintf(console, "Error, %s holds more than a WAV file can describe\n", wav_path);
    return -1;
  }
  if (status != ENCODE_OK || !closed) {
    std::fprintf(console, "Error, cannot write %s\n", stream_path);
    return -1;
  }
  return 0;
}

// Runs the encoder loop into the stream file ("-": standard output), closes the input and then
// the stream. Returns 0, or -1 after a message.
int encode_to_stream(FilePtr input, WavFile& wav, const char* wav_path, const char* stream_path,
                     const Style& style) {
  std::unique_ptr<StreamSink> sink = make_sink(stream_path, style);
  if (!sink) return -1;
  const int status = analyse(wav, write_to_sink, sink.get(), style);
  input.reset();
  return close_stream(status, *sink, wav_path, stream_path, style.console);
}

// Standard input read as it arrives, for the seekable encoder: the frames its data size declares
// (0: every frame up to the end), those passed on so far, and the bytes read in all.
struct PipedAudio {
  uint32_t declared = 0;
  uint32_t frames = 0;
  uint64_t bytes = 0;
  bool ended = false;  // the input's end has been read
};

// Whether more frames are to be read: the input goes on and has not given all it declares.
bool wants_frames(const PipedAudio& audio) {
  return !audio.ended && (audio.declared == 0 || audio.frames < audio.declared);
}

// How many of `available` whole frames belong to the audio (none past the declared count).
uint32_t frames_taken(const PipedAudio& audio, uint64_t available) {
  const uint64_t most =
      audio.declared == 0 ? UINT32_MAX - audio.frames : audio.declared - audio.frames;
  return static_cast<uint32_t>(std::min(available, most));
}

// Reads the rest of standard input after the audio (the chunks after the data), so that the
// input is read to its end as a file's copy would be; the same limit on its length applies.
// ENCODE_OK, ENCODE_ERR_READ, ENCODE_ERR_TOO_LARGE or ENCODE_ERR_INTERRUPTED.
int drain_input(PipedAudio& audio) {
  uint8_t scratch[1 << 14];
  while (!audio.ended) {
    if (interrupted()) return ENCODE_ERR_INTERRUPTED;
    const long got = read_arrived(0, scratch, sizeof scratch, interrupted);
    if (got == SPOOL_ERR_INTERRUPTED) return ENCODE_ERR_INTERRUPTED;
    if (got < 0) return ENCODE_ERR_READ;
    audio.ended = got == 0;
    audio.bytes += static_cast<uint64_t>(got);
    if (audio.bytes > MAX_WAV_FILE_BYTES) return ENCODE_ERR_TOO_LARGE;
  }
  return ENCODE_OK;
}

// The ENCODE_* result of a library call's code.
int encode_status(int code) {
  if (code == TARN_OK) return ENCODE_OK;
  return code == TARN_ERR_NO_MEMORY ? ENCODE_ERR_NO_MEMORY : ENCODE_ERR_WRITE;
}

// Pushes `count` frames of 16-bit little-endian PCM from bytes, in pieces of IO_FRAMES. An
// ENCODE_* result.
int push_pcm(tarn_encoder* enc, const uint8_t* bytes, uint32_t count, PipedAudio& audio,
             Progress& progress) {
  int16_t frames[2 * IO_FRAMES];
  while (count > 0) {
    const uint32_t piece = std::min<uint32_t>(count, IO_FRAMES);
    for (uint32_t i = 0; i < 2 * piece; ++i) {
      frames[i] = static_cast<int16_t>(load_le16(bytes + 2 * i));
    }
    const int status = tarn_encoder_push(enc, frames, piece);
    if (status != TARN_OK) return encode_status(status);
    audio.frames += piece;
    show_progress(progress, audio.frames);
    bytes += 4 * static_cast<size_t>(piece);
    count -= piece;
  }
  return TARN_OK;
}

// Reads the audio from standard input and pushes it as it arrives, after the `carry` bytes of a
// frame begun in `partial`, until the input ends or has given the frames it declares; then
// reads the input to its end. An ENCODE_* result.
int push_piped(tarn_encoder* enc, PipedAudio& audio, const uint8_t* partial, size_t carry,
               Progress& progress) {
  constexpr size_t READ_BYTES = 1 << 16;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[READ_BYTES + 4]);
  if (!buffer) return ENCODE_ERR_NO_MEMORY;
  std::memcpy(buffer.get(), partial, carry);
  while (wants_frames(audio)) {
    if (interrupted()) return ENCODE_ERR_INTERRUPTED;
    const long got = read_arrived(0, buffer.get() + carry, READ_BYTES, interrupted);
    if (got == SPOOL_ERR_INTERRUPTED) return ENCODE_ERR_INTERRUPTED;
    if (got < 0) return ENCODE_ERR_READ;
    audio.ended = got == 0;
    audio.bytes += static_cast<uint64_t>(got);
    if (audio.bytes > MAX_WAV_FILE_BYTES) return ENCODE_ERR_TOO_LARGE;
    const size_t held = carry + static_cast<size_t>(got);
    const uint32_t count = frames_taken(audio, held / 4);
    const int status = push_pcm(enc, buffer.get(), count, audio, progress);
    if (status != ENCODE_OK) return status;
    carry = held - 4 * static_cast<size_t>(count);
    if (carry >= 4) carry = 0;  // past the declared frames: not audio
    std::memmove(buffer.get(), buffer.get() + held - carry, carry);
  }
  return drain_input(audio);
}

// The stream of a WAV on standard input, written straight into a regular file by the seekable
// encoder: no copy of the audio is made. The first MIN_INPUT_SAMPLES frames are held in memory
// before the stream file is made, so that a shorter input is refused with no file left behind.
// The format report states the final frame count, so it is printed once the input has ended
// (and the console text is that of a copied input, only later); a run that fails before
// (an interruption, a full disk, a read error, an input longer than a WAV) prints its error
// alone, and the stream holds the whole blocks written. `held` holds the input's first bytes,
// its header judged WAV_OK with the data's body at data_offset; wav has its format and the
// declared frame count.
int encode_piped(HeldInput& held, size_t data_offset, WavFile& wav, const char* wav_path,
                 const char* stream_path, const Style& style) {
  std::FILE* console = style.console;
  PipedAudio audio;
  audio.declared = wav.sample_count;
  int status = hold_input(0, data_offset + 4 * static_cast<size_t>(MIN_INPUT_SAMPLES),
                          interrupted, held);
  audio.ended = held.ended;
  audio.bytes = held.length;
  if (status == SPOOL_ERR_INTERRUPTED) {
    print_interrupted(console);
    return -1;
  }
  if (status == SPOOL_ERR_NO_MEMORY) {
    std::fprintf(console, "Error, out of memory\n");
    return -1;
  }
  if (status != SPOOL_OK) {
    std::fprintf(console, "Error, cannot read %s\n", wav_path);
    return -1;
  }
  const uint32_t first = frames_taken(audio, (held.length - data_offset) / 4);
  if (first < MIN_INPUT_SAMPLES) {
    // All the audio is here: the input is refused once it has been read to its end.
    const int drained = drain_input(audio);
    if (drained != ENCODE_OK) {
      // A sink never opened, for close_stream's messages: no file is made.
      std::unique_ptr<StreamSink> none = make_sink(stream_path, style);
      return none ? close_stream(drained, *none, wav_path, stream_path, console) : -1;
    }
    wav.sample_count = first;
    report_header(WAV_OK, wav_path, wav, console);
    return check_length(wav, console);
  }

  std::unique_ptr<StreamSink> sink = make_sink(stream_path, style);
  if (!sink) return -1;
  Progress progress = start_progress(style.quiet, 0, static_cast<uint32_t>(wav.sample_rate));
  int error = TARN_OK;
  std::unique_ptr<tarn_encoder, EncoderClose> enc(tarn_encoder_create_seekable(
      static_cast<uint32_t>(wav.sample_rate), write_to_sink, seek_sink, sink.get(), &error));
  status = enc ? push_pcm(enc.get(), held.data.get() + data_offset, first, audio, progress)
               : encode_status(error);
  if (status == ENCODE_OK) {
    // The rest of the held bytes: a frame begun, or what follows the declared frames.
    const size_t rest = held.length - data_offset - 4 * static_cast<size_t>(first);
    const size_t carry = wants_frames(audio) ? rest : 0;
    uint8_t partial[4];
    std::memcpy(partial, held.data.get() + held.length - carry, carry);
    held = HeldInput();
    status = push_piped(enc.get(), audio, partial, carry, progress);
  }
  end_progress(progress);
  if (status == ENCODE_OK) {
    wav.sample_count = audio.frames;
    report_header(WAV_OK, wav_path, wav, console);
    status = encode_status(tarn_encoder_finish(enc.get()));
  }
  if (status == ENCODE_OK) print_encoder_stats(enc.get(), wav, console);
  return close_stream(status, *sink, wav_path, stream_path, console);
}

// Whether a piped input can be encoded as it arrives into the stream's path: the seekable
// encoder rewrites the stream header at the end, so the path must name a regular file (or
// nothing yet), not standard output, a FIFO or a device.
bool output_can_seek(const char* path, const Style& style) {
  if (names_standard_output(path, style)) return false;
  struct stat info;
  if (stat(path, &info) != 0) return errno == ENOENT;
  return S_ISREG(info.st_mode);
}

// Bytes of standard input held in memory while its header is judged: a header that needs more
// (a long chunk before the data, an odd chunk without its pad byte) is read from a temporary
// copy of the whole input instead.
constexpr size_t PIPED_HEADER_BYTES = 1 << 20;

// tarn-encode - out.tarn: the header is read from the bytes held in memory and the audio is
// encoded as it arrives (encode_piped); when the header needs more than PIPED_HEADER_BYTES, the
// input is copied as for a stream into a pipe.
int encode_from_pipe(const char* wav_path, const char* stream_path, const Style& style,
                     std::time_t& start) {
  std::FILE* console = style.console;
  HeldInput held;
  WavFile wav;
  int header = WAV_OK;
  size_t data_offset = 0;
  errno = 0;
  const int read = read_piped_header(0, PIPED_HEADER_BYTES, interrupted, held, wav, header,
                                     data_offset);
  if (read == SPOOL_UNDECIDED) {
    FilePtr input;
    if (open_and_check_input(wav_path, style, input, wav, start, &held) != 0) return -1;
    held = HeldInput();
    return encode_to_stream(std::move(input), wav, wav_path, stream_path, style);
  }
  if (read == SPOOL_ERR_INTERRUPTED) {
    print_interrupted(console);
    return -1;
  }
  if (read == SPOOL_ERR_NO_MEMORY) {
    std::fprintf(console, "Error, out of memory\n");
    return -1;
  }
  if (read != SPOOL_OK) {
    report_open_failure(console, "open", wav_path, errno);
    return -1;
  }
  start = std::time(nullptr);
  if (header != WAV_OK) return report_header(header, wav_path, wav, console);
  return encode_piped(held, data_offset, wav, wav_path, stream_path, style);
}

// The encoding half shared by tarn and tarn-encode: open and validate the input (the run's clock
// starts once the input is open), then encode it into the stream file.
int encode_file(const char* wav_path, const char* stream_path, const Style& style,
                std::time_t& start) {
  if (names_standard_input(wav_path, style) && !style.streams.input_closed &&
      output_can_seek(stream_path, style)) {
    return encode_from_pipe(wav_path, stream_path, style, start);
  }
  FilePtr input;
  WavFile wav;
  if (open_and_check_input(wav_path, style, input, wav, start) != 0) return -1;
  return encode_to_stream(std::move(input), wav, wav_path, stream_path, style);
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

// Writes count interleaved frames as 16-bit little-endian PCM straight to the file's descriptor
// (the stream has no buffer); returns the whole frames written. A failed write sets failed; an
// interruption ends the call early.
uint32_t write_frames(std::FILE* file, const int16_t* frames, long count, bool& failed) {
  uint8_t bytes[4 * IO_FRAMES];
  for (long i = 0; i < 2 * count; ++i) store_le16(bytes + 2 * i, static_cast<uint16_t>(frames[i]));
  const size_t put =
      write_fully(fileno(file), bytes, 4 * static_cast<size_t>(count), interrupted, failed);
  return static_cast<uint32_t>(put / 4);
}

// True when path names a file whose bytes a run could destroy: a regular file that holds some.
// Not "-" or its alias (the shell has already opened standard output), not a device or pipe.
bool holds_user_bytes(const char* path, const Style& style) {
  struct stat info;
  return !names_standard_output(path, style) && stat(path, &info) == 0 && S_ISREG(info.st_mode) &&
         info.st_size > 0;
}

// Prints the stream header's fields (unsigned, as the header stores them) and its window.
void print_file_info(const tarn_stream_info& info, std::FILE* console) {
  std::fprintf(console, "File info: %u %u %u %u ", info.sample_count, info.half_frame,
               info.sample_rate, info.channel_count);
  std::fprintf(console, "%s\n", window_label(static_cast<WindowType>(info.window_type)));
}

// The end of a decode that produced no frame for an output that already holds bytes: the output
// is left as it was (nothing is there to replace it), and the console tells what happened as a
// decode of no frames would. first is the first tarn_decoder_read's result (< 0), or 0 after an
// interruption.
int end_without_output(long first, const tarn_decoder* dec, const tarn_stream_info& info,
                       const char* stream_path, std::FILE* console) {
  print_file_info(info, console);
  if (first == TARN_ERR_NO_MEMORY) {
    std::fprintf(console, "Error, out of memory\n");
    return DECODE_ERR_NO_MEMORY;
  }
  int status = DECODE_ERR_INTERRUPTED;
  if (!interrupted() && first == TARN_ERR_STREAM_SHORT) {
    status = DECODE_ERR_CUT_SHORT;
  } else if (!interrupted()) {
    std::fprintf(console, "Error, %s is damaged at block %ld: %s\n", stream_path,
                 tarn_decoder_error_block(dec), tarn_strerror(static_cast<int>(first)));
    status = DECODE_ERR_DAMAGED;
  }
  std::fprintf(console, "End of Synthesis, 0 samples\n\n\n");
  if (status == DECODE_ERR_INTERRUPTED) print_interrupted(console);
  if (status == DECODE_ERR_CUT_SHORT) {
    std::fprintf(console, "Error, %s is cut short: 0 of %u samples\n", stream_path,
                 info.sample_count);
  }
  return status;
}

int seek_file(void* user, uint64_t offset) {
  return fseeko(static_cast<std::FILE*>(user), static_cast<off_t>(offset), SEEK_SET);
}

// Turns --skip and --until into frames of the stream: until at most sample_count, skip at most
// until. Returns DECODE_OK, or DECODE_ERR_RANGE after a message.
int resolve_range(const FrameRange& range, const tarn_stream_info& info, const char* stream_path,
                  std::FILE* console, uint64_t& skip, uint64_t& until) {
  if (range.until_text != nullptr) {
    if (!parse_frame_position(range.until_text, info.sample_rate, until)) {
      std::fprintf(console, "Error, --until=%s is not a frame count or [mm:]ss[.sss]\n",
                   range.until_text);
      return DECODE_ERR_RANGE;
    }
    until = std::min<uint64_t>(until, info.sample_count);
  }
  if (range.skip_text != nullptr) {
    if (!parse_frame_position(range.skip_text, info.sample_rate, skip)) {
      std::fprintf(console, "Error, --skip=%s is not a frame count or [mm:]ss[.sss]\n",
                   range.skip_text);
      return DECODE_ERR_RANGE;
    }
    if (skip > until) {
      std::fprintf(console, "Error, --skip=%s lies beyond the %llu samples of %s%s\n",
                   range.skip_text, static_cast<unsigned long long>(until), stream_path,
                   range.until_text != nullptr ? " up to --until" : "");
      return DECODE_ERR_RANGE;
    }
  }
  return DECODE_OK;
}

// Moves the decoder to frame `skip`: by a seek where the stream can seek, else by decoding and
// dropping the frames before it. Returns 0, or what the decoder said (an error code, or 0 for a
// stream that ended first, which the next read reports).
long skip_frames(tarn_decoder* dec, bool seekable, uint64_t skip, int16_t* frames) {
  if (skip == 0) return 0;
  if (seekable) return tarn_decoder_seek(dec, skip);
  for (uint64_t left = skip; left > 0 && !interrupted();) {
    const long got = tarn_decoder_read(dec, frames, std::min<uint64_t>(IO_FRAMES, left));
    if (got <= 0) return got;
    left -= static_cast<uint64_t>(got);
  }
  return 0;
}

// Decodes the stream ("-": standard input) into a WAV ("-": standard output). The WAV header
// announces the stream's frame count, at most max_wav_frames. When fewer frames arrive (a
// damaged stream, an interruption, a full disk) the size fields are rewritten to the frames the
// file holds, which an output that cannot seek does not allow; the output is written without a
// stream buffer, so that "End of Synthesis" counts exactly those frames. The output is opened
// only once the first frames are decoded, or the decode has ended without any: an output that
// already holds bytes keeps them when the stream fails or the run is interrupted before its
// first frames (a FLAC file given as the stream).
int decode_file(const char* stream_path, const char* wav_path, const Style& style,
                const FrameRange& range = FrameRange{}) {
  std::FILE* console = style.console;
  Endpoint stream = open_endpoint(stream_path, Access::READ, style);
  if (stream.file == nullptr) {
    return report_open_failure(console, "open", stream_path, errno);
  }
  tarn_stream_info info;
  int error = TARN_OK;
  std::unique_ptr<tarn_decoder, DecoderClose> dec(tarn_decoder_create_seekable(
      read_from_file, stream.seekable ? seek_file : nullptr, stream.file, &info, &error));
  if (!dec && interrupted()) {
    print_interrupted(console);
    return DECODE_ERR_INTERRUPTED;
  }
  if (!dec) return report_unusable_stream(error, info, stream_path, console);
  // The frames to write: [skip, until) of the whole decode, all of them without the options.
  uint64_t skip = 0;
  uint64_t until = info.sample_count;
  const int ranged = resolve_range(range, info, stream_path, console, skip, until);
  if (ranged != DECODE_OK) return ranged;
  const bool partial = range.skip_text != nullptr || range.until_text != nullptr;

  WavFile wav;
  wav.sample_rate = static_cast<int32_t>(info.sample_rate);
  wav.bits_per_sample = 16;
  // The decoder writes 16-bit stereo frames whatever the header's channel byte says; a WAV
  // header with another count would describe sizes and a frame layout that the data lacks.
  wav.channel_count = 2;
  const uint64_t wanted = until - skip;
  wav.sample_count = static_cast<uint32_t>(std::min<uint64_t>(wanted, max_wav_frames(wav)));
  // When the stream claims more frames than a WAV can describe, decoding stops once the WAV
  // holds as many as it can (the header's frame count, lowered above). A whole decode reads on
  // past the last frame, so that damage behind it is reported; a range stops at its end.
  const bool wav_limited = wav.sample_count < wanted;
  const uint32_t stop_at = wav_limited || partial ? wav.sample_count : UINT32_MAX;

  int16_t frames[2 * IO_FRAMES];
  long first = skip_frames(dec.get(), stream.seekable, skip, frames);
  if (first == 0 && stop_at > 0) {
    first = tarn_decoder_read(dec.get(), frames, std::min<uint32_t>(IO_FRAMES, stop_at));
  }
  if ((first < 0 || (first == 0 && interrupted())) && holds_user_bytes(wav_path, style)) {
    return end_without_output(first, dec.get(), info, stream_path, console);
  }

  Endpoint output = open_endpoint(wav_path, Access::WRITE_DIRECT, style);
  if (output.file == nullptr) {
    return report_open_failure(console, "create", wav_path, errno);
  }
  print_file_info(info, console);
  wav.file = output.file;
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
  bool first_pending = true;
  bool write_failed = false;
  while (status == DECODE_OK && wav.samples_done < stop_at) {
    const size_t wanted = std::min<uint32_t>(IO_FRAMES, stop_at - wav.samples_done);
    const long got = first_pending ? first : tarn_decoder_read(dec.get(), frames, wanted);
    first_pending = false;
    if (got == 0) {
      // A read cut short by a signal ends the stream early: that is the interruption.
      if (interrupted()) status = DECODE_ERR_INTERRUPTED;
      break;
    }
    if (got == TARN_ERR_STREAM_SHORT) {
      status = interrupted() ? DECODE_ERR_INTERRUPTED : DECODE_ERR_CUT_SHORT;
      break;
    }
    if (got == TARN_ERR_NO_MEMORY) {
      end_progress(progress);
      std::fprintf(console, "Error, out of memory\n");
      status = DECODE_ERR_NO_MEMORY;
      break;
    }
    if (got < 0 && interrupted()) {
      status = DECODE_ERR_INTERRUPTED;
      break;
    }
    if (got < 0) {
      end_progress(progress);
      std::fprintf(console, "Error, %s is damaged at block %ld: %s\n", stream_path,
                   tarn_decoder_error_block(dec.get()), tarn_strerror(static_cast<int>(got)));
      status = DECODE_ERR_DAMAGED;
      break;
    }
    wav.samples_done += write_frames(wav.file, frames, got, write_failed);
    // A write that a signal cut short is the interruption, not a failing disk.
    if (interrupted()) {
      status = DECODE_ERR_INTERRUPTED;
    } else if (write_failed || std::ferror(wav.file)) {
      status = DECODE_ERR_WRITE;
    }
    show_progress(progress, wav.samples_done);
  }
  if (status == DECODE_OK && wav.samples_done == stop_at && wav_limited) {
    status = DECODE_ERR_WAV_LIMIT;
  }
  end_progress(progress);
  const bool failed = write_failed || std::ferror(wav.file);
  if (failed && status != DECODE_ERR_INTERRUPTED) status = DECODE_ERR_WRITE;
  bool finished = true;
  {
    // Finishing the file is short; no signal may cut it between two of its size fields.
    const SignalHold hold;
    // A damaged or cut stream, an interruption, a full disk or a lack of memory leave fewer
    // frames than the header announced: it is rewritten to what the file holds. An output that
    // cannot seek (a pipe) keeps the header it was given.
    if ((wav.samples_done < wav.sample_count || status == DECODE_ERR_WRITE ||
         failed) &&
        output.seekable) {
      if (rewrite_wav_sizes(wav) != 0) status = DECODE_ERR_WRITE;
    }
    if (status != DECODE_ERR_NO_MEMORY) finished = finish_output(output);
  }
  if (status == DECODE_ERR_NO_MEMORY) return status;
  std::fprintf(console, "End of Synthesis, %d samples\n\n\n", static_cast<int>(wav.samples_done));
  if ((!finished && status != DECODE_ERR_INTERRUPTED) || status == DECODE_ERR_WRITE) {
    std::fprintf(console, "Error, cannot write %s\n", wav_path);
    return DECODE_ERR_WRITE;
  }
  if (status == DECODE_ERR_INTERRUPTED) print_interrupted(console);
  if (status == DECODE_ERR_CUT_SHORT) {
    std::fprintf(console, "Error, %s is cut short: %u of %llu samples\n", stream_path,
                 wav.samples_done, static_cast<unsigned long long>(wanted));
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
  FrameRange range;  // tarn-decode only
  const char* paths[2] = {nullptr, nullptr};
  int path_count = 0;
};

Options parse_options(int argc, char** argv) {
  Options o;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (options_ended) {
      if (o.path_count < 2) o.paths[o.path_count] = a;
      ++o.path_count;
    } else if (std::strcmp(a, "--") == 0) {
      // The end of the options: every later argument is a path ("-q", "--help" included).
      options_ended = true;
    } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      o.help = true;
    } else if (std::strcmp(a, "--version") == 0) {
      o.version = true;
    } else if (std::strcmp(a, "-q") == 0 || std::strcmp(a, "--quiet") == 0) {
      o.quiet = true;
    } else if (std::strncmp(a, "--skip=", 7) == 0) {
      o.range.skip_text = a + 7;
    } else if (std::strncmp(a, "--until=", 8) == 0) {
      o.range.until_text = a + 8;
    } else {
      if (o.path_count < 2) o.paths[o.path_count] = a;
      ++o.path_count;
    }
  }
  return o;
}

// --help and --version: on standard output, exit status 0. Returns true when one was given.
bool print_help_or_version(const Options& o, const char* program, const char* input,
                           const char* output, const char* what, const char* more = "") {
  if (o.help) {
    std::printf(
        "Usage: %s [-q]%s [--] %s %s\n"
        "%s\n"
        "  -        as either path: standard input or standard output; while the output\n"
        "           is standard output, messages go to standard error\n"
        "  -q, --quiet  no progress line\n"
        "  --           the end of the options: what follows are the two paths\n"
        "  --help       this text\n"
        "  --version    the version\n"
        "%s",
        program, *more != '\0' ? " [--skip=T] [--until=T]" : "", input, output, what, more);
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

namespace {

// Whether the messages reached the console: every message is written to standard output or
// standard error, and a failed write there (a full disk, a closed pipe) fails the run, as it
// fails a coreutils program, rather than ending it with status 0 and every message lost.
bool console_intact() {
  const bool out = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
  const bool err = std::fflush(stderr) == 0 && std::ferror(stderr) == 0;
  return out && err;
}

// Runs one program's work after prepare_process, with a lack of memory anywhere in it (a
// std::bad_alloc from a string or path) reported as the codec's own lack of memory is, on the
// console given; then fails the run when the console did not take its messages.
template <typename Work>
int run_guarded(std::FILE* console, Work work) {
  int status = -1;
  try {
    status = work();
  } catch (const std::bad_alloc&) {
    std::fprintf(console, "Error, out of memory\n");
    status = -1;
  }
  return console_intact() ? status : -1;
}

// An output path of tarn-encode or tarn-decode that names the pipe, socket or file open on
// standard output (/dev/stdout, /proc/self/fd/1) is written as "-" is: the audio goes to the
// open file and the messages to standard error, rather than both into the same file. A
// terminal or /dev/null stays a path like any other, its messages on standard output.
const char* stdout_alias(const char* path) {
  struct stat info;
  if (is_standard_stream(path) || fstat(1, &info) != 0 || S_ISCHR(info.st_mode)) return nullptr;
  return names_open_file(path, 1) ? path : nullptr;
}

int run_tarn(int argc, char** argv, const StandardStreams& streams) {
  if (argc != 4) {
    std::printf("Syntax:\n %s input.wav output.tarn output.wav\n", argv[0]);
    return -1;
  }
  Style style{stdout, true, false};
  style.streams = streams;
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

// The style of tarn-encode and tarn-decode: messages on standard error while the output is
// standard output.
Style companion_style(const Options& o, const StandardStreams& streams) {
  const char* alias = o.path_count == 2 ? stdout_alias(o.paths[1]) : nullptr;
  const bool to_stdout = o.path_count == 2 && (is_standard_stream(o.paths[1]) || alias);
  Style style{to_stdout ? stderr : stdout, o.quiet, true};
  style.stdout_alias = alias;
  style.streams = streams;
  return style;
}

int run_tarn_encode(char** argv, const Options& o, const Style& style) {
  if (print_help_or_version(o, argv[0], "input.wav", "output.tarn",
                            "Encodes a 44100 Hz 16-bit stereo WAV file into a tarn stream.")) {
    return 0;
  }
  if (o.path_count != 2 || o.range.skip_text != nullptr || o.range.until_text != nullptr) {
    std::printf("Syntax:\n %s [-q] input.wav output.tarn\n", argv[0]);
    return -1;
  }
  if (!paths_are_distinct(o.paths, 2, style)) return -1;
  catch_interruptions();
  std::time_t start = 0;
  if (encode_file(o.paths[0], o.paths[1], style, start) != 0) return -1;
  print_processing_time(start, style.console);
  return 0;
}

int run_tarn_decode(char** argv, const Options& o, const Style& style) {
  if (print_help_or_version(
          o, argv[0], "input.tarn", "output.wav", "Decodes a tarn stream into a 16-bit stereo WAV file.",
          "  --skip=T     start at frame T: a frame count, or a time [mm:]ss[.sss]\n"
          "  --until=T    stop before frame T (same forms); the WAV holds the frames between\n")) {
    return 0;
  }
  if (o.path_count != 2) {
    std::printf("Syntax:\n %s [-q] [--skip=T] [--until=T] input.tarn output.wav\n", argv[0]);
    return -1;
  }
  if (!paths_are_distinct(o.paths, 2, style)) return -1;
  catch_interruptions();
  const std::time_t start = std::time(nullptr);
  if (decode_file(o.paths[0], o.paths[1], style, o.range) != DECODE_OK) return -1;
  print_processing_time(start, style.console);
  return 0;
}

}  // namespace

int tarn_main(int argc, char** argv) {
  const StandardStreams streams = prepare_process();
  return run_guarded(stdout, [&] { return run_tarn(argc, argv, streams); });
}

int tarn_encode_main(int argc, char** argv) {
  const StandardStreams streams = prepare_process();
  const Options o = parse_options(argc, argv);
  const Style style = companion_style(o, streams);
  return run_guarded(style.console, [&] { return run_tarn_encode(argv, o, style); });
}

int tarn_decode_main(int argc, char** argv) {
  const StandardStreams streams = prepare_process();
  const Options o = parse_options(argc, argv);
  const Style style = companion_style(o, streams);
  return run_guarded(style.console, [&] { return run_tarn_decode(argv, o, style); });
}

}  // namespace tarn
