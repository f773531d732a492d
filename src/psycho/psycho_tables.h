#pragma once
// Per-bin psychoacoustic tables for (bin_count, half_rate), with the partition of the bins into
// coding bands (format/band_partition.h) they are built on.
//
// Both are plain values that their owner builds and then only reads: the encoder builds a
// PsychoTables (tables and partition, and the masking pass's spreading tables) once per run, the
// decoder only the BandTable (band_partition).

#include <array>
#include <cstdint>
#include <memory>

#include "format/band_partition.h"

namespace tarn {

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

// Builds every table of t for bin_count bins up to half_rate Hz, releasing an earlier build of t
// first. Returns STATUS_OK, STATUS_NO_MEMORY (t then holds no arrays and an all-empty
// partition), STATUS_SIZE or STATUS_PARTITION.
int psycho_init(PsychoTables& t, int bin_count, int half_rate);
// Releases the arrays of t; its BandTable keeps its contents.
void psycho_free(PsychoTables& t);

}  // namespace tarn
