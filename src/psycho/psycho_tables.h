#pragma once
// Per-bin psychoacoustic tables and the partition of the bins into NUM_BANDS coding bands.
// Built once per encoder run and once per decoder run from (bin_count, half_rate); bin i stands
// for i * half_rate / bin_count Hz. Band b holds the consecutive bins whose Bark value lies in
// [b, b + 1). Both tables are process-wide and used from the single processing thread.

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

struct MaskingWork;  // masking_work.h
struct MaskingWorkDelete {
  void operator()(MaskingWork* work) const;
};

struct PsychoTables {
  std::unique_ptr<double[]> bark;           // critical-band rate of each bin, Bark
  std::unique_ptr<double[]> abs_threshold;  // threshold in quiet, dB, halved, at most 75
  std::unique_ptr<double[]> threshold;      // working masking threshold, dB (masking.h)
  std::unique_ptr<int16_t[]> flags;         // masker-search state per bin (masking.h)
  // Working storage of the masking pass (masking_work.h), made on its first call after a build
  // and released with the arrays above.
  std::unique_ptr<MaskingWork, MaskingWorkDelete> masking_work;
};

struct BandEntry {
  int32_t first;  // first bin of the band, inclusive
  int32_t last;   // last bin, inclusive; last = first - 1 for an empty band
};

struct BandTable {
  std::array<BandEntry, NUM_BANDS> bands{};  // band 0 .. 24
  int32_t bin_count = 0;                     // bin count of the most recent build
  bool complete = false;  // the most recent build's bins reached band 24
};

extern PsychoTables psycho_tables;
extern BandTable band_table;

// Builds both tables for bin_count bins up to half_rate Hz, releasing an earlier build first.
// Returns PSYCHO_OK, PSYCHO_ERR_NO_MEMORY, PSYCHO_ERR_BIN_COUNT or PSYCHO_ERR_PARTITION.
int psycho_init(int bin_count, int half_rate);
// Releases the per-bin arrays; the BandTable keeps its contents.
void psycho_free();

// Bins in band (0 .. NUM_BANDS - 1); 0 for an empty band. Inline: the coders ask per band and
// per block.
inline int band_width(int band) {
  const BandEntry& e = band_table.bands[band];
  return e.last - e.first + 1;
}
inline void band_edges(int band, int& first, int& last) {
  const BandEntry& e = band_table.bands[band];
  first = e.first;
  last = e.last;
}

}  // namespace tarn
