// The library's streaming behaviour against direct computations: the encoder's framing and
// latency, the seekable encoder, the decoder's overlap-add, latency and end of stream, seeking,
// and the faults a client can cause. Everything goes through tarn/tarn.h; the references use the
// codec's stages on whole arrays.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "codec/encoder.h"
#include "codec/pcm16.h"
#include "coding/channel_record.h"
#include "format/byte_order.h"
#include "format/stream_format.h"
#include "psycho/masking.h"
#include "psycho/psycho_tables.h"
#include "tarn/tarn.h"
#include "transform/mdct.h"
#include "transform/power_levels.h"
#include "transform/window.h"

namespace tarn {
namespace {

// A stream in memory, written, read and seeked through the library's callbacks.
struct Memory {
  std::vector<unsigned char> bytes;
  size_t pos = 0;
  size_t bytes_read = 0;   // handed to the decoder so far
  int fail_reads_after = -1;  // reads that succeed before every later one fails; -1: never fail
  int reads = 0;
};

int write_memory(void* user, const unsigned char* b, size_t n) {
  Memory& m = *static_cast<Memory*>(user);
  if (m.pos + n > m.bytes.size()) m.bytes.resize(m.pos + n);
  std::memcpy(m.bytes.data() + m.pos, b, n);
  m.pos += n;
  return 0;
}

long read_memory(void* user, unsigned char* b, size_t n) {
  Memory& m = *static_cast<Memory*>(user);
  if (m.fail_reads_after >= 0 && m.reads++ >= m.fail_reads_after) return -1;
  const size_t k = std::min(n, m.bytes.size() - std::min(m.pos, m.bytes.size()));
  std::memcpy(b, m.bytes.data() + m.pos, k);
  m.pos += k;
  m.bytes_read += k;
  return static_cast<long>(k);
}

int seek_memory(void* user, uint64_t offset) {
  static_cast<Memory*>(user)->pos = static_cast<size_t>(offset);
  return 0;
}

// Interleaved frames: random values with the extremes mixed in, and a quiet stretch.
std::vector<int16_t> test_signal(size_t frames, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<int16_t> s(2 * frames);
  for (size_t i = 0; i < s.size(); ++i) {
    const uint32_t r = gen();
    s[i] = r % 97 == 0 ? -32768 : r % 89 == 0 ? 32767 : static_cast<int16_t>((r >> 8) % 12001 - 6000);
    if (i / 2 % 3000 < 300) s[i] = 0;
  }
  return s;
}

// The stream by the direct rule: block k of an n-frame input codes input frames 256k - 256 ..
// 256k + 255 of each channel, 16-bit value v as v / 32768, zeros outside the input.
std::vector<unsigned char> reference_stream(const std::vector<int16_t>& pcm) {
  const long n = static_cast<long>(pcm.size() / 2);
  StreamHeader header{static_cast<uint32_t>(n), 44100, 2, WINDOW_KBD, HOP_SIZE};
  std::vector<unsigned char> out(STREAM_HEADER_BYTES);
  pack_stream_header(header, out.data());
  PsychoTables psycho;
  MaskingWork masking;
  EXPECT_EQ(psycho_init(psycho, HOP_SIZE, 22050), STATUS_OK);
  EXPECT_EQ(masking_work_init(masking, psycho), STATUS_OK);
  std::vector<double> hann(FRAME_SIZE), kbd(FRAME_SIZE), frame(FRAME_SIZE), coefficients(HOP_SIZE),
      re(HOP_SIZE), im(HOP_SIZE), threshold(HOP_SIZE);
  hann_window(hann.data(), FRAME_SIZE);
  build_coding_window(kbd.data(), FRAME_SIZE, WINDOW_KBD);
  MdctScratch mdct;
  SpectrumScratch spectrum;
  EXPECT_EQ(mdct_init(mdct, FRAME_SIZE), STATUS_OK);
  EXPECT_EQ(spectrum_init(spectrum, FRAME_SIZE), STATUS_OK);
  ChannelFrame packed;
  std::vector<uint8_t> record(MAX_RECORD_BYTES);
  for (long k = 0; k < block_count(static_cast<uint32_t>(n)); ++k) {
    for (int c = 0; c < 2; ++c) {
      for (int j = 0; j < FRAME_SIZE; ++j) {
        const long at = HOP_SIZE * k - HOP_SIZE + j;
        frame[j] = at < 0 || at >= n ? 0.0 : pcm[2 * at + c] / 32768.0;
      }
      mdct_windowed(mdct, frame.data(), kbd.data(), coefficients.data(), FRAME_SIZE);
      windowed_spectrum(spectrum, frame.data(), hann.data(), re.data(), im.data(), FRAME_SIZE);
      masking_threshold(psycho, masking, re.data(), im.data(), HOP_SIZE, threshold.data());
      const int32_t bytes = encode_channel_record(psycho.band_table, coefficients.data(),
                                                  threshold.data(), HOP_SIZE, packed, record.data());
      EXPECT_GT(bytes, 0);
      out.insert(out.end(), record.begin(), record.begin() + bytes);
    }
  }
  return out;
}

// The decoded frames by the direct rule: every block's records decoded and inverse transformed,
// output frame (k - 1)H + i = block k's sample i plus block k - 1's sample H + i, for k >= 1, at
// most sample_count of them. Also the offsets at which the blocks start.
std::vector<int16_t> reference_decode(const std::vector<unsigned char>& stream,
                                      std::vector<size_t>* block_starts = nullptr) {
  const StreamHeader h = unpack_stream_header(stream.data());
  BandTable bands;
  EXPECT_EQ(band_partition(HOP_SIZE, 22050, bands), STATUS_OK);
  std::vector<double> window(FRAME_SIZE), coefficients(HOP_SIZE);
  build_coding_window(window.data(), FRAME_SIZE, h.window_type);
  MdctScratch mdct;
  EXPECT_EQ(mdct_init(mdct, FRAME_SIZE), STATUS_OK);
  std::vector<std::vector<double>> blocks[2];
  size_t at = STREAM_HEADER_BYTES;
  while (at + 2 <= stream.size()) {
    if (block_starts != nullptr) block_starts->push_back(at);
    for (int c = 0; c < 2; ++c) {
      const int32_t bytes = RECORD_LENGTH_BYTES + stream[at] + 256 * stream[at + 1];
      EXPECT_EQ(decode_channel_record(bands, stream.data() + at, bytes, HOP_SIZE,
                                      coefficients.data()),
                STATUS_OK);
      std::vector<double> time(FRAME_SIZE);
      imdct_windowed(mdct, coefficients.data(), window.data(), time.data(), FRAME_SIZE);
      blocks[c].push_back(time);
      at += static_cast<size_t>(bytes);
    }
  }
  std::vector<int16_t> out;
  for (size_t k = 1; k < blocks[0].size(); ++k) {
    for (int i = 0; i < HOP_SIZE && out.size() / 2 < h.sample_count; ++i) {
      for (int c = 0; c < 2; ++c) out.push_back(to_pcm16(blocks[c][k][i] + blocks[c][k - 1][HOP_SIZE + i]));
    }
  }
  return out;
}

// Decodes everything with reads of random sizes; the last result (0 or an error) in *end.
std::vector<int16_t> decode_all(tarn_decoder* dec, std::mt19937& gen, long* end) {
  std::vector<int16_t> out;
  std::vector<int16_t> buffer(2 * 3000);
  long got;
  while ((got = tarn_decoder_read(dec, buffer.data(), 1 + gen() % 3000)) > 0) {
    out.insert(out.end(), buffer.begin(), buffer.begin() + 2 * got);
  }
  *end = got;
  return out;
}

const size_t LENGTHS[] = {0, 1, 255, 256, 257, 1000, 32767, 40017};

// Pushes in pieces of random size: after each, the blocks written are the pushed frames / 256,
// rounded down; the stream equals the direct framing's, and the seekable encoder (length unknown
// until finish) writes the same bytes.
TEST(CodecStream, EncoderFramingLatencyAndUnknownLength) {
  std::mt19937 gen(77);
  for (const size_t n : LENGTHS) {
    SCOPED_TRACE(testing::Message() << n << " frames");
    const std::vector<int16_t> pcm = test_signal(n, static_cast<uint32_t>(n) + 5);
    Memory known, unknown;
    int error = 0;
    tarn_encoder* a = tarn_encoder_create(static_cast<uint32_t>(n), 44100, write_memory, &known, &error);
    tarn_encoder* b = tarn_encoder_create_seekable(44100, write_memory, seek_memory, &unknown, &error);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(load_le32(unknown.bytes.data()), 0xFFFFFFFFu);
    for (size_t pushed = 0; pushed < n;) {
      const size_t piece = std::min<size_t>(n - pushed, gen() % 4 == 0 ? 256 : 1 + gen() % 700);
      ASSERT_EQ(tarn_encoder_push(a, pcm.data() + 2 * pushed, piece), TARN_OK);
      ASSERT_EQ(tarn_encoder_push(b, pcm.data() + 2 * pushed, piece), TARN_OK);
      pushed += piece;
      tarn_encoder_stats stats;
      tarn_encoder_get_stats(a, &stats);
      ASSERT_EQ(stats.block_count, pushed / 256) << "after " << pushed << " frames";
      tarn_encoder_get_stats(b, &stats);
      ASSERT_EQ(stats.block_count, pushed / 256) << "after " << pushed << " frames";
    }
    const int16_t extra[2] = {1, 1};
    EXPECT_EQ(tarn_encoder_push(a, extra, 1), TARN_ERR_TOO_MANY_FRAMES);
    EXPECT_EQ(tarn_encoder_finish(a), TARN_OK);
    EXPECT_EQ(tarn_encoder_finish(b), TARN_OK);
    EXPECT_EQ(tarn_encoder_push(a, extra, 1), TARN_ERR_FINISHED);
    EXPECT_EQ(tarn_encoder_finish(b), TARN_ERR_FINISHED);
    tarn_encoder_destroy(a);
    tarn_encoder_destroy(b);
    const std::vector<unsigned char> want = reference_stream(pcm);
    EXPECT_EQ(known.bytes, want);
    EXPECT_EQ(unknown.bytes, want);
  }
}

// Reads of random sizes give the direct overlap-add's frames; before its first frame the decoder
// has read the header and blocks 0 and 1 only; a stream cut at any block boundary before its
// last block keeps its frames and then says TARN_ERR_STREAM_SHORT.
TEST(CodecStream, DecoderFramesLatencyAndHonestEnd) {
  std::mt19937 gen(78);
  for (const size_t n : LENGTHS) {
    SCOPED_TRACE(testing::Message() << n << " frames");
    Memory m;
    m.bytes = reference_stream(test_signal(n, static_cast<uint32_t>(n) + 5));
    std::vector<size_t> starts;
    const std::vector<int16_t> want = reference_decode(m.bytes, &starts);
    ASSERT_EQ(want.size(), 2 * n);
    int error = 0;
    tarn_decoder* dec = tarn_decoder_create(read_memory, &m, nullptr, &error);
    ASSERT_TRUE(dec);
    if (n > 0) {
      int16_t first[2];
      ASSERT_EQ(tarn_decoder_read(dec, first, 1), 1);
      // The header, block 0 and block 1 (all there is of a stream of two blocks).
      EXPECT_EQ(m.bytes_read, starts.size() > 2 ? starts[2] : m.bytes.size());
      EXPECT_TRUE(first[0] == want[0] && first[1] == want[1]);
    }
    long end = 1;
    std::vector<int16_t> got = decode_all(dec, gen, &end);
    if (n > 0) got.insert(got.begin(), want.begin(), want.begin() + 2);
    EXPECT_EQ(end, 0);
    EXPECT_EQ(got, want);
    tarn_decoder_destroy(dec);

    for (size_t k = 0; k + 1 < starts.size(); k += 1 + starts.size() / 7) {
      Memory cut;
      cut.bytes.assign(m.bytes.begin(), m.bytes.begin() + starts[k]);
      dec = tarn_decoder_create(read_memory, &cut, nullptr, &error);
      ASSERT_TRUE(dec);
      const std::vector<int16_t> part = decode_all(dec, gen, &end);
      EXPECT_EQ(end, TARN_ERR_STREAM_SHORT) << "cut at block " << k;
      EXPECT_EQ(tarn_decoder_read(dec, got.data(), 1), TARN_ERR_STREAM_SHORT);
      ASSERT_EQ(part.size(), 2 * std::min<size_t>(n, k > 0 ? 256 * (k - 1) : 0));
      EXPECT_TRUE(std::equal(part.begin(), part.end(), want.begin()));
      tarn_decoder_destroy(dec);
    }
  }
}

// Seeks to the edges and to random frames, forwards and backwards: the frames read after each
// are the whole decode's from there; seeking needs a seek callback and stays within the stream.
TEST(CodecStream, SeeksGiveTheFramesOfTheWholeDecode) {
  std::mt19937 gen(79);
  const size_t n = 200000;
  Memory m;
  m.bytes = reference_stream(test_signal(n, 11));
  std::vector<size_t> starts;
  const std::vector<int16_t> want = reference_decode(m.bytes, &starts);
  int error = 0;
  tarn_decoder* plain = tarn_decoder_create(read_memory, &m, nullptr, &error);
  EXPECT_EQ(tarn_decoder_seek(plain, 0), TARN_ERR_SEEK);
  tarn_decoder_destroy(plain);
  m.pos = 0;
  tarn_decoder* dec = tarn_decoder_create_seekable(read_memory, seek_memory, &m, nullptr, &error);
  ASSERT_TRUE(dec);
  std::vector<uint64_t> targets = {n, 0, 255, 256, 257, n - 1, 511, 100000, 99999};
  for (int i = 0; i < 30; ++i) targets.push_back(gen() % (n + 1));
  std::vector<int16_t> buffer(2 * 1000);
  for (const uint64_t target : targets) {
    SCOPED_TRACE(testing::Message() << "frame " << target);
    ASSERT_EQ(tarn_decoder_seek(dec, target), TARN_OK);
    const long got = tarn_decoder_read(dec, buffer.data(), 1 + gen() % 1000);
    ASSERT_EQ(got, static_cast<long>(std::min<uint64_t>(n - target, got > 0 ? got : 0)));
    if (target == n) continue;
    ASSERT_GT(got, 0);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 2 * got, want.begin() + 2 * target));
  }
  EXPECT_EQ(tarn_decoder_seek(dec, n + 1), TARN_ERR_ARGUMENT);
  tarn_decoder_destroy(dec);

  // A stream whose last blocks are missing: seeking past its end says so, and seeking back
  // before it reads the frames it holds.
  Memory cut;
  cut.bytes.assign(m.bytes.begin(), m.bytes.begin() + starts[starts.size() / 2]);
  dec = tarn_decoder_create_seekable(read_memory, seek_memory, &cut, nullptr, &error);
  ASSERT_TRUE(dec);
  EXPECT_EQ(tarn_decoder_seek(dec, n - 10), TARN_ERR_STREAM_SHORT);
  ASSERT_EQ(tarn_decoder_seek(dec, 1000), TARN_OK);
  ASSERT_EQ(tarn_decoder_read(dec, buffer.data(), 1000), 1000);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), want.begin() + 2000));
  tarn_decoder_destroy(dec);
}

// What a client can get wrong or meet: a read callback that fails (at the header, and later
// after frames, which come out first), a write callback that fails, a null seek callback. None
// of it prints anything: standard output and standard error stay empty throughout.
TEST(CodecStream, CallbackFaultsAreReportedAndNothingIsPrinted) {
  char name[] = "/tmp/tarn-print-XXXXXX";
  const int capture = mkstemp(name);
  ASSERT_GE(capture, 0);
  unlink(name);
  std::fflush(stdout);
  std::fflush(stderr);
  const int saved_out = dup(1), saved_err = dup(2);
  dup2(capture, 1);
  dup2(capture, 2);

  Memory m;
  m.bytes = reference_stream(test_signal(40000, 3));
  int error = 0;
  m.fail_reads_after = 0;
  EXPECT_EQ(tarn_decoder_create(read_memory, &m, nullptr, &error), nullptr);
  EXPECT_EQ(error, TARN_ERR_READ);
  m = Memory{m.bytes};
  m.fail_reads_after = 40;
  tarn_decoder* dec = tarn_decoder_create(read_memory, &m, nullptr, &error);
  ASSERT_TRUE(dec);
  std::vector<int16_t> buffer(2 * 100000);
  const long first = tarn_decoder_read(dec, buffer.data(), 100000);
  EXPECT_GT(first, 0);
  EXPECT_EQ(tarn_decoder_read(dec, buffer.data(), 100000), TARN_ERR_READ);
  EXPECT_EQ(tarn_decoder_read(dec, buffer.data(), 100000), TARN_ERR_READ);
  EXPECT_EQ(tarn_decoder_error_block(dec), -1);
  tarn_decoder_destroy(dec);

  auto refuse = [](void*, const unsigned char*, size_t) { return -1; };
  EXPECT_EQ(tarn_encoder_create(100, 44100, refuse, nullptr, &error), nullptr);
  EXPECT_EQ(error, TARN_ERR_WRITE);
  EXPECT_EQ(tarn_encoder_create_seekable(44100, write_memory, nullptr, &m, &error), nullptr);
  EXPECT_EQ(error, TARN_ERR_ARGUMENT);
  EXPECT_EQ(tarn_encoder_create(100, 48000, write_memory, &m, &error), nullptr);
  EXPECT_EQ(error, TARN_ERR_SAMPLE_RATE);

  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  EXPECT_EQ(lseek(capture, 0, SEEK_END), 0) << "the library printed something";
  close(capture);
}

}  // namespace
}  // namespace tarn
