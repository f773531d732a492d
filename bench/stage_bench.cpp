// Per-block cost of each stage of the encoder and the decoder, on the blocks of a 10-second demo
// piece: every benchmark iteration runs its stage once on one channel's block (both channels for
// frame fetch and overlap-add, which work on the pair), cycling through all blocks of the piece.
//
//   build-bench/bench/tarn-stage-bench [--benchmark_filter=REGEX] [--benchmark_repetitions=N]

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "bench_support.h"
#include "coding/arith_coder.h"
#include "coding/block_coder.h"
#include "format/channel_frame.h"
#include "format/stream_format.h"
#include "programs/wav_reader.h"
#include "codec/pcm16.h"
#include "psycho/masking.h"
#include "psycho/psycho_tables.h"
#include "transform/mdct.h"
#include "transform/power_levels.h"
#include "transform/window.h"

namespace {

using namespace tarn;

constexpr int DEMO_SECONDS = 10;

// The encoder's intermediate results for one channel of one block.
struct BlockData {
  std::vector<double> frame;                   // FRAME_SIZE input samples
  std::array<double, HOP_SIZE> coefficients;   // MDCT
  std::array<double, HOP_SIZE> re, im;         // Hann-windowed spectrum
  std::array<double, HOP_SIZE> threshold;      // masking threshold, dB
  ChannelFrame packed;                         // bit frame
  int payload_length = 0;                      // L
  std::array<uint8_t, CHANNEL_FRAME_BYTES> coded{};  // arithmetic-coded payload
  int coded_length = 0;
};

struct Fixture {
  std::string wav_path;
  std::array<double, FRAME_SIZE> coding_window;
  std::array<double, FRAME_SIZE> analysis_window;
  PsychoTables psycho;
  std::vector<BlockData> blocks;
};

// Runs the encoder's stages once over the demo piece and keeps every intermediate result.
const Fixture& fixture() {
  static Fixture f = [] {
    Fixture x;
    x.wav_path = tarn_bench::demo_wav(DEMO_SECONDS);
    hann_window(x.analysis_window.data(), FRAME_SIZE);
    build_coding_window(x.coding_window.data(), FRAME_SIZE, WINDOW_KBD);
    psycho_init(x.psycho, HOP_SIZE, 22050);
    MdctScratch mdct;
    SpectrumScratch spectrum;
    MaskingWork masking;
    masking_work_init(masking, x.psycho);
    mdct_init(mdct, FRAME_SIZE);
    spectrum_init(spectrum, FRAME_SIZE);
    for (std::vector<double>& frame : tarn_bench::all_frames(x.wav_path)) {
      BlockData b;
      b.frame = std::move(frame);
      mdct_windowed(mdct, b.frame.data(), x.coding_window.data(), b.coefficients.data(),
                    FRAME_SIZE);
      windowed_spectrum(spectrum, b.frame.data(), x.analysis_window.data(), b.re.data(), b.im.data(),
                        FRAME_SIZE);
      masking_threshold(x.psycho, masking, b.re.data(), b.im.data(), HOP_SIZE,
                        b.threshold.data());
      b.payload_length = static_cast<uint16_t>(
          encode_channel_block(x.psycho.band_table, b.coefficients.data(), b.threshold.data(),
                               HOP_SIZE, b.packed.bytes.data()));
      b.coded_length = arith_compress(b.packed.bytes.data() + 2, b.coded.data(), b.payload_length,
                                      CHANNEL_FRAME_BYTES);
      x.blocks.push_back(std::move(b));
    }
    return x;
  }();
  return f;
}

// Block i of the fixture, cycling.
const BlockData& block(size_t i) {
  const Fixture& f = fixture();
  return f.blocks[i % f.blocks.size()];
}

void report_blocks(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}


void BM_Mdct(benchmark::State& state) {
  const Fixture& f = fixture();
  std::array<double, HOP_SIZE> out;
  MdctScratch mdct;
  mdct_init(mdct, FRAME_SIZE);
  size_t i = 0;
  for (auto _ : state) {
    mdct_windowed(mdct, block(i++).frame.data(), f.coding_window.data(), out.data(), FRAME_SIZE);
    benchmark::DoNotOptimize(out.data());
  }
  report_blocks(state);
}
BENCHMARK(BM_Mdct);

void BM_Spectrum(benchmark::State& state) {
  const Fixture& f = fixture();
  std::array<double, HOP_SIZE> re;
  std::array<double, HOP_SIZE> im;
  SpectrumScratch spectrum;
  spectrum_init(spectrum, FRAME_SIZE);
  size_t i = 0;
  for (auto _ : state) {
    windowed_spectrum(spectrum, block(i++).frame.data(), f.analysis_window.data(), re.data(), im.data(),
                      FRAME_SIZE);
    benchmark::DoNotOptimize(re.data());
  }
  report_blocks(state);
}
BENCHMARK(BM_Spectrum);

// Bin levels and the masking threshold from them.
void BM_MaskingThreshold(benchmark::State& state) {
  const Fixture& f = fixture();
  MaskingWork masking;
  masking_work_init(masking, f.psycho);
  std::array<double, HOP_SIZE> out;
  size_t i = 0;
  for (auto _ : state) {
    const BlockData& b = block(i++);
    masking_threshold(f.psycho, masking, b.re.data(), b.im.data(), HOP_SIZE, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  report_blocks(state);
}
BENCHMARK(BM_MaskingThreshold);

// Coefficient levels, bit allocation, scale factors, quantisation and packing.
void BM_AllocateAndPack(benchmark::State& state) {
  fixture();
  ChannelFrame frame;
  size_t i = 0;
  for (auto _ : state) {
    const BlockData& b = block(i++);
    frame.bytes.fill(0);
    benchmark::DoNotOptimize(encode_channel_block(fixture().psycho.band_table,
                                                  b.coefficients.data(), b.threshold.data(),
                                                  HOP_SIZE, frame.bytes.data()));
  }
  report_blocks(state);
}
BENCHMARK(BM_AllocateAndPack);

void BM_ArithEncode(benchmark::State& state) {
  fixture();
  std::array<uint8_t, CHANNEL_FRAME_BYTES> out;
  size_t i = 0;
  for (auto _ : state) {
    const BlockData& b = block(i++);
    benchmark::DoNotOptimize(
        arith_compress(b.packed.bytes.data() + 2, out.data(), b.payload_length, out.size()));
  }
  report_blocks(state);
}
BENCHMARK(BM_ArithEncode);

void BM_ArithDecode(benchmark::State& state) {
  fixture();
  std::array<uint8_t, 4 * HOP_SIZE> out;
  size_t i = 0;
  for (auto _ : state) {
    const BlockData& b = block(i++);
    benchmark::DoNotOptimize(arith_decompress(b.coded.data(), out.data(), b.coded_length,
                                              static_cast<int32_t>(out.size())));
  }
  report_blocks(state);
}
BENCHMARK(BM_ArithDecode);

// Band header, unpacking and dequantisation.
void BM_UnpackAndDequantise(benchmark::State& state) {
  fixture();
  std::array<double, HOP_SIZE> coefficients;
  size_t i = 0;
  for (auto _ : state) {
    const BlockData& b = block(i++);
    uint8_t band_bits[NUM_BANDS];
    unpack_band_bits(b.packed.bytes.data() + 2, band_bits);
    benchmark::DoNotOptimize(decode_channel_block(
        fixture().psycho.band_table, band_bits, b.packed.bytes.data() + 2 + BAND_HEADER_BYTES,
        b.payload_length - BAND_HEADER_BYTES, coefficients.data(), HOP_SIZE));
  }
  report_blocks(state);
}
BENCHMARK(BM_UnpackAndDequantise);

void BM_InverseMdct(benchmark::State& state) {
  const Fixture& f = fixture();
  std::array<double, FRAME_SIZE> out;
  MdctScratch mdct;
  mdct_init(mdct, FRAME_SIZE);
  size_t i = 0;
  for (auto _ : state) {
    imdct_windowed(mdct, block(i++).coefficients.data(), f.coding_window.data(), out.data(),
                   FRAME_SIZE);
    benchmark::DoNotOptimize(out.data());
  }
  report_blocks(state);
}
BENCHMARK(BM_InverseMdct);

// Overlap-add of both channels of a block and the 16-bit conversion of its frames.
void BM_OverlapAdd(benchmark::State& state) {
  std::vector<double> sum[2] = {std::vector<double>(HOP_SIZE), std::vector<double>(HOP_SIZE)};
  std::vector<int16_t> frames(2 * HOP_SIZE);
  size_t i = 0;
  for (auto _ : state) {
    const BlockData& b = block(i++);
    const BlockData& previous = block(i);
    for (int c = 0; c < 2; ++c) {
      for (int k = 0; k < HOP_SIZE; ++k) sum[c][k] = b.frame[k] + previous.frame[HOP_SIZE + k];
    }
    to_pcm16_frames(sum[0].data(), sum[1].data(), frames.data(), HOP_SIZE);
    benchmark::DoNotOptimize(frames.data());
  }
  report_blocks(state);
}
BENCHMARK(BM_OverlapAdd);

}  // namespace

BENCHMARK_MAIN();
