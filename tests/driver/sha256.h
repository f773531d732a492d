#pragma once
// SHA-256 (FIPS 180-4) of a byte buffer, as a lower-case hex string: the identity tests pin the
// stream file and the decoded WAV by their digests. Self-contained so that the tests depend on no
// tool of the machine they run on; checked against the standard's test vectors in
// golden_output_test.cpp.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarn_test {

namespace sha256_detail {

// First 32 bits of the fractional parts of the cube roots of the first 64 primes.
// clang-format off
constexpr std::array<uint32_t, 64> ROUND_CONSTANTS = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
// clang-format on

inline uint32_t rotate_right(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// One 64-byte block into the eight state words.
inline void compress_block(std::array<uint32_t, 8>& h, const uint8_t* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
           static_cast<uint32_t>(block[4 * i + 2]) << 8 | static_cast<uint32_t>(block[4 * i + 3]);
  }
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t s1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
    const uint32_t choice = (e & f) ^ (~e & g);
    const uint32_t t1 = k + s1 + choice + ROUND_CONSTANTS[i] + w[i];
    const uint32_t s0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
    const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const uint32_t t2 = s0 + majority;
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += k;
}

}  // namespace sha256_detail

inline std::string sha256_hex(const uint8_t* data, size_t size) {
  std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  size_t whole = size / 64 * 64;
  for (size_t i = 0; i < whole; i += 64) sha256_detail::compress_block(h, data + i);
  // Padding: a 1 bit, zeros, and the message length in bits as a big-endian 64-bit number,
  // filling one or two last blocks.
  uint8_t tail[128] = {};
  const size_t rest = size - whole;
  for (size_t i = 0; i < rest; ++i) tail[i] = data[whole + i];
  tail[rest] = 0x80;
  const size_t tail_bytes = rest < 56 ? 64 : 128;
  const uint64_t bits = static_cast<uint64_t>(size) * 8;
  for (int i = 0; i < 8; ++i) tail[tail_bytes - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  for (size_t i = 0; i < tail_bytes; i += 64) sha256_detail::compress_block(h, tail + i);

  static const char HEX[] = "0123456789abcdef";
  std::string hex;
  for (uint32_t word : h) {
    for (int shift = 28; shift >= 0; shift -= 4) hex += HEX[(word >> shift) & 0xF];
  }
  return hex;
}

inline std::string sha256_hex(const std::vector<uint8_t>& bytes) {
  return sha256_hex(bytes.data(), bytes.size());
}

}  // namespace tarn_test
