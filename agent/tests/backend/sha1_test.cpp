#include "network/backend/sha1.h"

#include <gtest/gtest.h>

#include <string>

namespace vn::network {
namespace {

std::string hex(const std::array<uint8_t, 20>& digest) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

// The test vectors of RFC 3174, plus the lengths around the padding's block
// boundary (55, 56 and 64 bytes).
TEST(Sha1, TestVectors) {
  std::string repeated;
  for (int i = 0; i < 80; ++i) repeated += "01234567";
  const struct {
    std::string data;
    const char* digest;
  } cases[] = {
      {"abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
      {std::string(1000000, 'a'), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"},
      {repeated, "DEA356A2CDDD90C7A7ECEDC5EBB563934F460452"},
      {"", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"},
      {std::string(55, 'a'), "C1C8BBDC22796E28C0E15163D20899B65621D65A"},
      {std::string(56, 'a'), "C2DB330F6083854C99D4B5BFB6E8F29F201BE699"},
      {std::string(64, 'a'), "0098BA824B5C16427BD7A1122A5A442A25EC644D"},
  };
  for (const auto& c : cases) EXPECT_EQ(hex(sha1(c.data)), c.digest) << c.data.size() << " bytes";
}

}  // namespace
}  // namespace vn::network
