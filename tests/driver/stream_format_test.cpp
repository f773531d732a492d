#include "format/stream_format.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>

#include "codec/encoder.h"
#include "test_support.h"

namespace tarn {
namespace {

TEST(StreamHeader, PacksTheEncodersHeaderByteForByte) {
  StreamHeader header;
  header.sample_count = 88200;
  header.sample_rate = 44100;
  header.channel_count = 2;
  header.window_type = 1;
  header.half_frame = 256;
  uint8_t bytes[STREAM_HEADER_BYTES];
  pack_stream_header(header, bytes);
  const std::array<uint8_t, 12> expected = {0x88, 0x58, 0x01, 0x00, 0x44, 0xAC,
                                            0x00, 0x00, 0x02, 0x01, 0x00, 0x01};
  for (int i = 0; i < STREAM_HEADER_BYTES; ++i) EXPECT_EQ(bytes[i], expected[i]) << "byte " << i;

  const StreamHeader back = unpack_stream_header(bytes);
  EXPECT_EQ(back.sample_count, 88200u);
  EXPECT_EQ(back.sample_rate, 44100u);
  EXPECT_EQ(back.channel_count, 2);
  EXPECT_EQ(back.window_type, 1);
  EXPECT_EQ(back.half_frame, 256);
}

TEST(StreamHeader, UnpacksEveryFieldLittleEndian) {
  const uint8_t bytes[STREAM_HEADER_BYTES] = {0x01, 0x02, 0x03, 0xF4, 0x05, 0x06,
                                              0x07, 0x88, 0xFE, 0x09, 0x0A, 0xBB};
  const StreamHeader h = unpack_stream_header(bytes);
  EXPECT_EQ(h.sample_count, 0xF4030201u);
  EXPECT_EQ(h.sample_rate, 0x88070605u);
  EXPECT_EQ(h.channel_count, 0xFE);
  EXPECT_EQ(h.window_type, 0x09);
  EXPECT_EQ(h.half_frame, 0xBB0A);
}

TEST(BlockCount, OneMoreThanTheHopsThatCoverTheInput) {
  struct Case {
    uint32_t frames;
    int blocks;
  };
  constexpr Case CASES[] = {{32768, 129}, {32769, 130}, {44100, 174},
                            {65536, 257}, {88200, 346}, {0xFFFFFFFFu, 16777217}};
  for (const Case& c : CASES) EXPECT_EQ(block_count(c.frames), c.blocks) << c.frames << " frames";
}

}  // namespace
}  // namespace tarn
