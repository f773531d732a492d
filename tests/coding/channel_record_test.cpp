#include "coding/channel_record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "coding/arith_coder.h"
#include "coding/block_coder.h"
#include "psycho/psycho_tables.h"

namespace tarn {
namespace {

// The band partition the test in progress codes with.
BandTable band_table;

constexpr int BINS = 256;
constexpr int HALF_RATE_HZ = 22050;

struct Block {
  std::vector<double> coefficients;
  std::vector<double> thresholds;
};

// Blocks from silence to loud, with thresholds from 0 to 100 dB.
Block random_block(uint32_t seed) {
  std::mt19937 gen(seed);
  Block b{std::vector<double>(BINS), std::vector<double>(BINS)};
  const double scale = seed % 5 == 0 ? 0.0 : 1e-4 * (1 + seed % 7) * (seed % 3 == 0 ? 100 : 1);
  for (int k = 0; k < BINS; ++k) {
    b.coefficients[k] = scale * (gen() / 2147483648.0 - 1.0);
    b.thresholds[k] = (gen() % 1000) * 0.1;
  }
  return b;
}

std::vector<uint8_t> encode_record(const Block& b) {
  ChannelFrame packed;
  std::vector<uint8_t> record(MAX_RECORD_BYTES);
  const int32_t size = encode_channel_record(band_table, b.coefficients.data(), b.thresholds.data(),
                                             BINS, packed, record.data());
  EXPECT_GT(size, RECORD_LENGTH_BYTES);
  record.resize(size < 0 ? 0 : static_cast<size_t>(size));
  return record;
}

// A record is the payload's length, then arith_compress of the packed block behind its own length
// word; decoding it gives the coefficients decode_channel_block gives for that packed block.
TEST(ChannelRecord, LengthWordThenCompressedPackedBlock) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const Block b = random_block(seed);
    const std::vector<uint8_t> record = encode_record(b);
    ASSERT_GE(record.size(), static_cast<size_t>(RECORD_LENGTH_BYTES));

    ChannelFrame packed;
    const int length = encode_channel_block(band_table, b.coefficients.data(), b.thresholds.data(),
                                            BINS, packed.bytes.data());
    std::vector<uint8_t> payload(CHANNEL_FRAME_BYTES);
    const int32_t coded =
        arith_compress(packed.bytes.data() + 2, payload.data(), length, CHANNEL_FRAME_BYTES);
    payload.resize(static_cast<size_t>(coded));
    ASSERT_EQ(record.size(), RECORD_LENGTH_BYTES + payload.size());
    EXPECT_EQ(record[0] | record[1] << 8, coded);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), record.begin() + RECORD_LENGTH_BYTES));

    uint8_t band_bits[NUM_BANDS];
    unpack_band_bits(packed.bytes.data() + 2, band_bits);
    std::vector<double> expected(BINS, -1.0), got(BINS, -2.0);
    ASSERT_EQ(
        decode_channel_block(band_table, band_bits, packed.bytes.data() + 2 + BAND_HEADER_BYTES,
                             length - BAND_HEADER_BYTES, expected.data(), BINS),
        STATUS_OK);
    ASSERT_EQ(decode_channel_record(band_table, record.data(), static_cast<int32_t>(record.size()),
                                    BINS, got.data()),
              STATUS_OK);
    EXPECT_EQ(got, expected);
  }
}

std::vector<uint8_t> record_of_payload(const std::vector<uint8_t>& decoded_payload) {
  std::vector<uint8_t> record(MAX_RECORD_BYTES);
  const int32_t coded =
      arith_compress(decoded_payload.data(), record.data() + RECORD_LENGTH_BYTES,
                     static_cast<int32_t>(decoded_payload.size()), CHANNEL_FRAME_BYTES);
  record[0] = static_cast<uint8_t>(coded & 0xFF);
  record[1] = static_cast<uint8_t>(coded >> 8);
  record.resize(static_cast<size_t>(RECORD_LENGTH_BYTES + coded));
  return record;
}

// Every fault the decoder reports, and the text the decoder loop prints for it.
TEST(ChannelRecord, DamagedRecordsReportTheirFault) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  const std::vector<uint8_t> good = encode_record(random_block(3));
  std::vector<uint8_t> header_only(BAND_HEADER_BYTES, 0);
  header_only[0] = 0x0F;  // band 0 at 15 bits, and no bit stream behind the header
  const uint16_t too_long = RECORD_PAYLOAD_BYTES_PER_BIN * BINS + 1;
  struct Case {
    const char* name;
    std::vector<uint8_t> record;
    int32_t record_bytes;  // -1: the whole record
    int bins;
    int32_t status;
    const char* message;
  };
  const Case cases[] = {
      {"no length word", {0x05}, -1, BINS, STATUS_RIGHT_MISSING, "right record missing"},
      {"length above 4H",
       {static_cast<uint8_t>(too_long & 0xFF), static_cast<uint8_t>(too_long >> 8)},
       -1,
       BINS,
       STATUS_RECORD_LENGTH,
       "record length above the payload buffer"},
      {"payload cut short", good, static_cast<int32_t>(good.size()) - 1, BINS, STATUS_RECORD_CUT,
       "record cut short"},
      {"undecodable payload",
       {4, 0, 0xFF, 0xFF, 0xFF, 0xFF},
       -1,
       BINS,
       STATUS_UNDECODABLE,
       "payload does not decode"},
      {"no band header", record_of_payload({1, 2, 3}), -1, BINS, STATUS_NO_BAND_HEADER,
       "payload shorter than its band header"},
      {"fields past the payload", record_of_payload(header_only), -1, BINS, STATUS_FIELDS,
       "bit stream shorter than its fields"},
      {"bin count beyond the packed block", good, -1, MAX_CODED_BINS + 1, STATUS_SIZE,
       "bin count outside the packed block"},
      {"intact", good, -1, BINS, STATUS_OK, "success"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int32_t bytes =
        c.record_bytes < 0 ? static_cast<int32_t>(c.record.size()) : c.record_bytes;
    std::vector<double> coefficients(MAX_CODED_BINS + 1, 0.0);
    EXPECT_EQ(
        decode_channel_record(band_table, c.record.data(), bytes, c.bins, coefficients.data()),
        c.status);
    EXPECT_EQ(std::string(status_text(c.status)), c.message);
  }
  // A block's two records decoded together give each record's own result.
  for (const Case& left : cases) {
    for (const Case& right : cases) {
      if (left.bins != right.bins) continue;
      SCOPED_TRACE(testing::Message() << left.name << " / " << right.name);
      const uint8_t* const records[2] = {left.record.data(), right.record.data()};
      const int32_t bytes[2] = {
          left.record_bytes < 0 ? static_cast<int32_t>(left.record.size()) : left.record_bytes,
          right.record_bytes < 0 ? static_cast<int32_t>(right.record.size()) : right.record_bytes};
      std::vector<double> one(MAX_CODED_BINS + 1, 0.0), two(MAX_CODED_BINS + 1, 0.0);
      double* const coefficients[2] = {one.data(), two.data()};
      int32_t statuses[2];
      decode_channel_records(band_table, records, bytes, left.bins, coefficients, statuses);
      EXPECT_EQ(statuses[0], left.status);
      EXPECT_EQ(statuses[1], right.status);
      if (left.status == STATUS_OK && right.status == STATUS_OK) {
        EXPECT_EQ(one, two);
      }
    }
  }
}

// Two threads coding records at once give the very bytes and coefficients one thread gives.
TEST(ChannelRecord, TwoThreadsCodeAsOne) {
  ASSERT_EQ(band_partition(BINS, HALF_RATE_HZ, band_table), STATUS_OK);
  constexpr int BLOCKS = 60;
  std::vector<Block> blocks;
  for (uint32_t i = 0; i < BLOCKS; ++i) blocks.push_back(random_block(100 + i));
  struct Result {
    std::vector<std::vector<uint8_t>> records;
    std::vector<std::vector<double>> coefficients;
  };
  const auto run = [&blocks](Result& r) {
    ChannelFrame packed;
    for (const Block& b : blocks) {
      std::vector<uint8_t> record(MAX_RECORD_BYTES);
      const int32_t size = encode_channel_record(band_table, b.coefficients.data(),
                                                 b.thresholds.data(), BINS, packed, record.data());
      record.resize(size < 0 ? 0 : static_cast<size_t>(size));
      std::vector<double> c(BINS, -1.0);
      decode_channel_record(band_table, record.data(), static_cast<int32_t>(record.size()), BINS,
                            c.data());
      r.records.push_back(std::move(record));
      r.coefficients.push_back(std::move(c));
    }
  };
  Result alone;
  run(alone);
  Result first;
  Result second;
  std::thread a(run, std::ref(first));
  std::thread b(run, std::ref(second));
  a.join();
  b.join();
  EXPECT_EQ(first.records, alone.records);
  EXPECT_EQ(second.records, alone.records);
  EXPECT_EQ(first.coefficients, alone.coefficients);
  EXPECT_EQ(second.coefficients, alone.coefficients);
}

}  // namespace
}  // namespace tarn
