#include "network/backend/sha1.h"

#include <cstring>

namespace vn::network {
namespace {

uint32_t rotate_left(uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

// Folds one 64-byte block into the state.
void process_block(std::array<uint32_t, 5>& h, const uint8_t* block) {
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) {
    w[t] = uint32_t{block[4 * t]} << 24 | uint32_t{block[4 * t + 1]} << 16 | uint32_t{block[4 * t + 2]} << 8 |
           uint32_t{block[4 * t + 3]};
  }
  for (int t = 16; t < 80; ++t) w[t] = rotate_left(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f = 0;
    uint32_t k = 0;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const uint32_t temp = rotate_left(a, 5) + f + e + w[t] + k;
    e = d;
    d = c;
    c = rotate_left(b, 30);
    b = a;
    a = temp;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

}  // namespace

std::array<uint8_t, 20> sha1(std::string_view data) {
  std::array<uint32_t, 5> h{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  size_t whole = data.size() / 64 * 64;
  for (size_t offset = 0; offset < whole; offset += 64) process_block(h, bytes + offset);

  // The tail, a 0x80 byte, zeros, and the message length in bits (big-endian)
  // fill one or two last blocks.
  uint8_t tail[128] = {};
  const size_t rest = data.size() - whole;
  if (rest != 0) std::memcpy(tail, bytes + whole, rest);
  tail[rest] = 0x80;
  const size_t tail_size = rest < 56 ? 64 : 128;
  const uint64_t bit_length = uint64_t{data.size()} * 8;
  for (int i = 0; i < 8; ++i) tail[tail_size - 1 - i] = static_cast<uint8_t>(bit_length >> (8 * i));
  for (size_t offset = 0; offset < tail_size; offset += 64) process_block(h, tail + offset);

  std::array<uint8_t, 20> digest{};
  for (int i = 0; i < 5; ++i) {
    digest[4 * i] = static_cast<uint8_t>(h[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(h[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(h[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(h[i]);
  }
  return digest;
}

}  // namespace vn::network
