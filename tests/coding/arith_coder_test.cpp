#include "coding/arith_coder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace tarn {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int32_t BUFFER_BYTES = 1024;  // what the encoder and decoder loops pass

Bytes compress(const Bytes& input, int32_t capacity = BUFFER_BYTES) {
  Bytes out(static_cast<size_t>(capacity));
  const int32_t n =
      arith_compress(input.data(), out.data(), static_cast<int32_t>(input.size()), capacity);
  EXPECT_GE(n, 0);
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

// Decodes into a buffer of the given capacity; returns the result code and the bytes.
int32_t decompress(const Bytes& input, Bytes& out, int32_t capacity = BUFFER_BYTES) {
  out.assign(static_cast<size_t>(capacity), 0xEE);
  const int32_t n =
      arith_decompress(input.data(), out.data(), static_cast<int32_t>(input.size()), capacity);
  if (n >= 0) out.resize(static_cast<size_t>(n));
  return n;
}

struct VectorCase {
  const char* name;
  Bytes source;
  Bytes compressed;
};

const VectorCase VECTOR_CASES[] = {
    {"empty", {}, {0xFF, 0x40}},
    {"abc", {0x61, 0x62, 0x63}, {0x61, 0x01, 0x9D, 0x92}},
    {"14 zeros", Bytes(14, 0x00), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0D, 0x88}},
    {"mixed 14",
     {0x01, 0x02, 0x03, 0x04, 0x05, 0xC8, 0xC8, 0xC8, 0x07, 0x00, 0x00, 0x00, 0x00, 0x0F},
     {0x01, 0x01, 0xFC, 0xFC, 0x10, 0x2C, 0xF9, 0x32, 0x19, 0x70, 0xFB, 0x40, 0x09, 0xC6, 0xC0}},
};

TEST(ArithCoder, KnownVectorsBothWays) {
  for (const VectorCase& c : VECTOR_CASES) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(compress(c.source), c.compressed);
    Bytes out;
    EXPECT_EQ(decompress(c.compressed, out), static_cast<int32_t>(c.source.size()));
    EXPECT_EQ(out, c.source);
  }
}

TEST(ArithCoder, NoStateSurvivesACall) {
  const Bytes input = VECTOR_CASES[3].source;
  const Bytes first = compress(input);
  compress(Bytes(300, 0xAB));  // a call in between with a very different model
  EXPECT_EQ(compress(input), first);
  Bytes a;
  Bytes b;
  decompress(first, a);
  decompress(compress(Bytes(300, 0xAB)), b);
  decompress(first, b);
  EXPECT_EQ(a, b);
}

// Random buffers of a few shapes: uniform bytes, a small alphabet, long runs.
Bytes random_buffer(std::mt19937& rng, int size, int shape) {
  Bytes b(static_cast<size_t>(size));
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> small(0, 3);
  for (int i = 0; i < size; ++i) {
    if (shape == 0) {
      b[i] = static_cast<uint8_t>(byte(rng));
    } else if (shape == 1) {
      b[i] = static_cast<uint8_t>(small(rng) * 85);
    } else {
      b[i] = (i > 0 && small(rng) != 0) ? b[i - 1] : static_cast<uint8_t>(byte(rng));
    }
  }
  return b;
}

TEST(ArithCoder, RandomBuffersRoundTrip) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed);
    const int size = std::uniform_int_distribution<int>(0, 600)(rng);
    const Bytes input = random_buffer(rng, size, static_cast<int>(seed % 3));
    SCOPED_TRACE(testing::Message() << "seed " << seed << " size " << size);
    const Bytes packed = compress(input);
    ASSERT_FALSE(packed.empty());
    Bytes out;
    ASSERT_EQ(decompress(packed, out), size);
    EXPECT_EQ(out, input);
    // A destination of exactly the decoded size is enough.
    ASSERT_EQ(decompress(packed, out, size), size);
    EXPECT_EQ(out, input);
  }
}

// A cut stream reads as if it continued with zero bits: the decoder's zero reads past the end
// stand in for the zero fill of the last byte and the zero bits that encode_finish leaves out.
// So a valid stream decodes the same with zero bytes appended, and any cut decodes exactly as
// the same cut padded back with zero bytes.
TEST(ArithCoder, MissingTailReadsAsZeroBits) {
  std::vector<Bytes> inputs;
  for (const VectorCase& c : VECTOR_CASES) inputs.push_back(c.source);
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    std::mt19937 rng(seed);
    inputs.push_back(random_buffer(rng, std::uniform_int_distribution<int>(0, 80)(rng), 1));
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "input " << i);
    const Bytes packed = compress(inputs[i]);
    Bytes padded = packed;
    padded.resize(packed.size() + 8, 0);
    Bytes out;
    ASSERT_EQ(decompress(padded, out), static_cast<int32_t>(inputs[i].size()));
    EXPECT_EQ(out, inputs[i]);
    for (size_t len = 0; len < packed.size(); ++len) {
      const Bytes cut(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(len));
      Bytes cut_padded = cut;
      cut_padded.resize(packed.size(), 0);
      Bytes out_cut;
      Bytes out_padded;
      EXPECT_EQ(decompress(cut, out_cut, 100), decompress(cut_padded, out_padded, 100))
          << "length " << len;
      EXPECT_EQ(out_cut, out_padded) << "length " << len;
    }
  }
}

TEST(ArithCoder, CompressRefusesATooSmallDestination) {
  const Bytes input = {0x61, 0x62, 0x63};  // compresses to 4 bytes
  Bytes out(8, 0xEE);
  EXPECT_EQ(arith_compress(input.data(), out.data(), 3, 3), STATUS_OUTPUT_FULL);
  EXPECT_EQ(out[3], 0xEE);  // nothing written past the capacity
  EXPECT_EQ(arith_compress(input.data(), nullptr, 3, 0), STATUS_OUTPUT_FULL);
  EXPECT_EQ(arith_compress(input.data(), out.data(), 3, 4), 4);
}

// The output goes out in whole words where they fit and byte by byte at the end of the buffer:
// every capacity short of the full size fails with the bytes that fit written and none past.
TEST(ArithCoder, EveryShortCapacityKeepsTheBytesThatFit) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    const Bytes input = random_buffer(rng, std::uniform_int_distribution<int>(0, 90)(rng), 2);
    const Bytes packed = compress(input);
    for (size_t capacity = 0; capacity <= packed.size(); ++capacity) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " capacity " << capacity);
      Bytes out(packed.size() + 4, 0xEE);
      const int32_t n = arith_compress(input.data(), out.data(), static_cast<int32_t>(input.size()),
                                       static_cast<int32_t>(capacity));
      EXPECT_EQ(n,
                capacity == packed.size() ? static_cast<int32_t>(capacity) : STATUS_OUTPUT_FULL);
      EXPECT_TRUE(std::equal(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(capacity),
                             out.begin()));
      EXPECT_EQ(out[capacity], 0xEE);
    }
  }
}

TEST(ArithCoder, RejectsNegativeSizes) {
  uint8_t buf[4] = {};
  EXPECT_EQ(arith_compress(buf, buf, -1, 4), STATUS_ARGUMENT);
  EXPECT_EQ(arith_compress(buf, buf, 0, -1), STATUS_ARGUMENT);
  EXPECT_EQ(arith_decompress(buf, buf, -1, 4), STATUS_ARGUMENT);
  EXPECT_EQ(arith_decompress(buf, buf, 4, -1), STATUS_ARGUMENT);
}

struct DamagedCase {
  const char* name;
  Bytes stream;
  int32_t capacity;
  int32_t result;
};

const DamagedCase DAMAGED_CASES[] = {
    // Code value 0x7FFFFFFF: the first target is 257 = total_count.
    {"target past the counts", {0xFF, 0xFF, 0xFF, 0xFF}, BUFFER_BYTES, STATUS_UNDECODABLE},
    // All-zero code: symbol 0 for ever, never the end-of-block symbol.
    {"no end of block", {0x00, 0x00, 0x00, 0x00}, BUFFER_BYTES, STATUS_OUTPUT_FULL},
    {"empty input, no end of block", {}, 16, STATUS_OUTPUT_FULL},
    {"abc into 2 bytes", {0x61, 0x01, 0x9D, 0x92}, 2, STATUS_OUTPUT_FULL},
    {"abc into 0 bytes", {0x61, 0x01, 0x9D, 0x92}, 0, STATUS_OUTPUT_FULL},
    {"empty vector into 0 bytes", {0xFF, 0x40}, 0, 0},
};

TEST(ArithCoder, DamagedStreamsStopWithAResult) {
  for (const DamagedCase& c : DAMAGED_CASES) {
    SCOPED_TRACE(c.name);
    Bytes out;
    EXPECT_EQ(decompress(c.stream, out, c.capacity), c.result);
  }
}

// Every truncation length and seeded byte flips of valid streams: the decoder must stop inside
// its buffers (the sanitizer build checks that) with a count within the capacity or a failure.
TEST(ArithCoder, TruncatedAndFlippedStreamsStayInBounds) {
  int failures = 0;
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    const Bytes input = random_buffer(rng, 200 + static_cast<int>(seed) * 7, seed % 3);
    const Bytes packed = compress(input);
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const int32_t capacity = static_cast<int32_t>(input.size()) + 5;
    for (size_t len = 0; len < packed.size(); ++len) {
      const Bytes cut(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(len));
      Bytes out;
      const int32_t n = decompress(cut, out, capacity);
      EXPECT_LE(n, capacity) << "length " << len;
      EXPECT_TRUE(n >= 0 || n == STATUS_UNDECODABLE || n == STATUS_OUTPUT_FULL);
      failures += n < 0;
    }
    for (int flip = 0; flip < 50; ++flip) {
      Bytes bad = packed;
      const size_t at = std::uniform_int_distribution<size_t>(0, bad.size() - 1)(rng);
      bad[at] ^= static_cast<uint8_t>(std::uniform_int_distribution<int>(1, 255)(rng));
      Bytes out;
      const int32_t n = decompress(bad, out, capacity);
      EXPECT_LE(n, capacity) << "flip at " << at;
      EXPECT_TRUE(n >= 0 || n == STATUS_UNDECODABLE || n == STATUS_OUTPUT_FULL);
      failures += n < 0;
    }
  }
  EXPECT_GT(failures, 0);  // damage was detected at least sometimes
}

}  // namespace
}  // namespace tarn
