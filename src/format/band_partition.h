#pragma once
// The partition of a block's bins into NUM_BANDS coding bands, for (bin_count, half_rate): bin k
// stands for k * half_rate / bin_count Hz, and band b holds the consecutive bins whose Bark value
// lies in [b, b + 1). The encoder's masking model and both sides' packed block are laid out band
// by band, so the decoder builds the same partition from the stream header.

#include <array>
#include <cstdint>

#include "codec/status.h"

namespace tarn {

constexpr int NUM_BANDS = 25;

struct BandEntry {
  int32_t first;  // first bin of the band, inclusive
  int32_t last;   // last bin, inclusive; last = first - 1 for an empty band
};

struct BandTable {
  std::array<BandEntry, NUM_BANDS> bands{};  // band 0 .. 24
  int32_t bin_count = 0;                     // bin count of the build
  bool complete = false;                     // the build's bins reached band 24
};

// The band partition for (bin_count, half_rate); allocates nothing. Returns STATUS_OK,
// STATUS_SIZE (every band empty at bin 0) or STATUS_PARTITION.
int band_partition(int bin_count, int half_rate, BandTable& out);

// The partition from precomputed Bark values bark[k] of the n bins (the encoder's tables hold
// them): the same result as band_partition for the same bins.
int band_partition_of(int n, const double* bark, BandTable& out);

// Marks bands from .. NUM_BANDS - 1 of t empty at bin `first` (last = first - 1), so a band the
// build did not reach never keeps another build's bins.
void mark_bands_empty(BandTable& t, int from, int32_t first);

// The frequency of bin k of n up to h Hz: k * h in 64 bits (for large counts and rates the
// product overflows 32 bits), divided by n in double precision.
double bin_frequency(int k, int n, int h);

// Zwicker-Terhardt critical-band rate of f Hz, in Bark.
double bark_of(double f);

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
