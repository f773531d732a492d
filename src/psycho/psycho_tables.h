#pragma once
// Per-bin psychoacoustic tables and the partition of the bins into NUM_BANDS coding bands, for
// (bin_count, half_rate): bin i stands for i * half_rate / bin_count Hz, and band b holds the
// consecutive bins whose Bark value lies in [b, b + 1).
//
// Both are plain values that their owner builds and then only reads: the encoder builds a
// PsychoTables (tables and partition, and the masking pass's spreading tables) once per run, the
// decoder only the BandTable (band_partition).

#include <array>
#include <cstdint>
#include <memory>

namespace tarn {

constexpr int NUM_BANDS = 25;

constexpr int PSYCHO_OK = 0;
constexpr int PSYCHO_ERR_NO_MEMORY = -1;  // a per-bin array could not be allocated
constexpr int PSYCHO_ERR_BIN_COUNT = -2;  // bin_count <= 0: nothing built
constexpr int PSYCHO_ERR_PARTITION = -3;  // tables built, but the bins ran out before band 24;
                                          // the bands not reached are marked empty

struct BandEntry {
  int32_t first;  // first bin of the band, inclusive
  int32_t last;   // last bin, inclusive; last = first - 1 for an empty band
};

struct BandTable {
  std::array<BandEntry, NUM_BANDS> bands{};  // band 0 .. 24
  int32_t bin_count = 0;                     // bin count of the build
  bool complete = false;                     // the build's bins reached band 24
};

// The tables of one build. Everything here is fixed by (bin_count, half_rate) and only read
// after psycho_init; the masking pass's per-call arrays live in a MaskingWork (masking.h).
struct PsychoTables {
  std::unique_ptr<double[]> bark;           // critical-band rate of each bin, Bark
  std::unique_ptr<double[]> abs_threshold;  // threshold in quiet, dB, halved, at most 75
  BandTable band_table;                     // the partition of the bins into bands
  // The spreading function S(p, k), dB, for every bin p of the bands as a masker and every bin k
  // of its range: spreading[row[p] + k]. Null when the ranges would need more than
  // MAX_SPREADING_ENTRIES (masking.h); the pass then evaluates S per masker.
  std::unique_ptr<double[]> spreading;
  std::unique_ptr<int32_t[]> row;  // per bin: offset of its row, -1 outside the bands
  // The run of bins a masker can raise, ready for whole levels: for bin p of the bands and
  // L = 0 .. REACH_LEVELS - 1, reach[(p * REACH_LEVELS + L) * 2] and [... + 1] are lo and hi,
  // the run [lo, hi) of a masker of level L (masking_tables.cpp). Null without the spreading
  // table, or for bin counts above 65535; the pass then takes a masker's whole range.
  std::unique_ptr<uint16_t[]> reach;
};

// The band partition alone, for (bin_count, half_rate); allocates nothing. Returns PSYCHO_OK,
// PSYCHO_ERR_BIN_COUNT (every band empty at bin 0) or PSYCHO_ERR_PARTITION.
int band_partition(int bin_count, int half_rate, BandTable& out);

// Builds every table of t for bin_count bins up to half_rate Hz, releasing an earlier build of t
// first. Returns PSYCHO_OK, PSYCHO_ERR_NO_MEMORY (t then holds no arrays and an all-empty
// partition), PSYCHO_ERR_BIN_COUNT or PSYCHO_ERR_PARTITION.
int psycho_init(PsychoTables& t, int bin_count, int half_rate);
// Releases the arrays of t; its BandTable keeps its contents.
void psycho_free(PsychoTables& t);

// Bins in band (0 .. NUM_BANDS - 1) of t; 0 for an empty band. Inline: the coders ask per band
// and per block.
inline int band_width(const BandTable& t, int band) {
  const BandEntry& e = t.bands[band];
  return e.last - e.first + 1;
}
inline void band_edges(const BandTable& t, int band, int& first, int& last) {
  const BandEntry& e = t.bands[band];
  first = e.first;
  last = e.last;
}

}  // namespace tarn
