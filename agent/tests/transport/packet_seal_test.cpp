#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <vector>

#include "network/transport/encryption.h"
#include "network/transport/packet.h"
#include "support/log_capture.h"

namespace vn::network {
namespace {

TEST(PacketHeader, GoldenBytes) {
  struct Case {
    const char* name;
    PacketHeader header;
    std::array<uint8_t, 22> bytes;
  };
  const Case cases[] = {
      {"video data, first of a key frame",
       {1, 0x01020304, 0, 5, kFlagKeyFrame, 0, 0x1122334455667788ull},
       {1, 0, 0, 0, 4, 3, 2, 1, 0, 0, 5, 0, 1, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},
      {"video repair 3 of a frame of 300",
       {1, 77, 303, 300, kFlagRepair, 3, 0},
       {1, 0, 0, 0, 77, 0, 0, 0, 0x2F, 0x01, 0x2C, 0x01, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"audio",
       {2, 0xFFFFFFFF, 0, 1, kFlagAudio, 0, 1000000},
       {2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0, 4, 0, 0x40, 0x42, 0x0F, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.header.serialize(), c.bytes) << c.name;
    EXPECT_EQ(PacketHeader::parse(c.bytes), c.header) << c.name;
  }
  EXPECT_FALSE(PacketHeader::parse(std::span<const uint8_t>(cases[0].bytes.data(), 21)).has_value());
}

class SealTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    for (size_t i = 0; i < key_.size(); ++i) key_[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_TRUE(encryption_.set_key(key_.data(), key_.size()));
  }

  std::vector<uint8_t> seal(const PacketHeader& header, const std::vector<uint8_t>& plaintext) {
    std::vector<uint8_t> sealed(plaintext.size() + Encryption::kTagSize);
    size_t length = 0;
    EXPECT_TRUE(encryption_.encrypt_packet(header, plaintext.data(), plaintext.size(), sealed.data(), &length));
    EXPECT_EQ(length, plaintext.size() + Encryption::kTagSize);
    return sealed;
  }

  std::array<uint8_t, 32> key_{};
  Encryption encryption_;
};

TEST_F(SealTest, OpensWithLibsodiumUnderTheNonceRule) {
  const PacketHeader header{1, 4242, 17, 40, 0, 0, 123456};
  const std::vector<uint8_t> plaintext(1162, 0x5A);
  const auto sealed = seal(header, plaintext);

  // The receiver's rule, written out: nonce = header bytes 0..9 + 00 00, AD = the 22 bytes.
  const auto wire = header.serialize();
  uint8_t nonce[12] = {};
  std::copy_n(wire.begin(), 10, nonce);
  std::vector<uint8_t> opened(plaintext.size());
  unsigned long long opened_length = 0;
  ASSERT_EQ(crypto_aead_chacha20poly1305_ietf_decrypt(opened.data(), &opened_length, nullptr, sealed.data(),
                                                      sealed.size(), wire.data(), wire.size(), nonce, key_.data()),
            0);
  EXPECT_EQ(opened, plaintext);
  EXPECT_TRUE(open_sealed_packet(key_, wire, sealed, opened.data()));

  // Any changed header byte fails authentication, whether or not it feeds the nonce.
  for (size_t byte : {0u, 5u, 9u, 12u, 21u}) {
    auto altered = wire;
    altered[byte] ^= 1;
    EXPECT_FALSE(open_sealed_packet(key_, altered, sealed, opened.data())) << "byte " << byte;
  }
}

TEST_F(SealTest, FlagsChangeTheTagButNotTheNonce) {
  PacketHeader a{1, 9, 3, 10, 0, 0, 0};
  PacketHeader b = a;
  b.flags = kFlagLastData;
  b.timestamp_us = 99;  // bytes 10..21 never feed the nonce
  b.packet_count = 11;
  EXPECT_EQ(Encryption::nonce_for(a.serialize()), Encryption::nonce_for(b.serialize()));
  const std::vector<uint8_t> plaintext(100, 1);
  const auto sealed_a = seal(a, plaintext);
  const auto sealed_b = seal(b, plaintext);
  EXPECT_TRUE(std::equal(sealed_a.begin(), sealed_a.end() - 16, sealed_b.begin()));  // same keystream
  EXPECT_FALSE(std::equal(sealed_a.end() - 16, sealed_a.end(), sealed_b.end() - 16));
}

TEST_F(SealTest, EmptyPlaintextIsTheTagAlone) {
  const PacketHeader header{2, 1, 0, 1, kFlagAudio, 0, 5};
  const auto sealed = seal(header, {});
  EXPECT_EQ(sealed.size(), 16u);
  EXPECT_TRUE(open_sealed_packet(key_, header.serialize(), sealed, nullptr));
}

TEST(Encryption, WrongKeySizesAreRefusedAndUnkeyedPacketsDropped) {
  for (size_t size : {31u, 33u, 0u}) {
    const test::LogCapture log;
    Encryption encryption;
    std::vector<uint8_t> key(size, 1);
    EXPECT_FALSE(encryption.set_key(key.data(), key.size()));
    EXPECT_TRUE(log.contains("error: Encryption: invalid key size " + std::to_string(size) + " (expected 32)"))
        << log.dump();
    uint8_t out[64];
    size_t sealed = 7;
    EXPECT_FALSE(encryption.encrypt_packet(PacketHeader{}, out, 10, out, &sealed));
    EXPECT_EQ(sealed, 0u);
    EXPECT_TRUE(log.contains("error: Encryption::encrypt_packet called with no key set — dropping packet"));
  }
  // A refused key keeps the earlier one.
  Encryption encryption;
  std::array<uint8_t, 32> key{};
  ASSERT_TRUE(encryption.set_key(key.data(), key.size()));
  EXPECT_FALSE(encryption.set_key(key.data(), 31));
  EXPECT_TRUE(encryption.has_key());
  encryption.clear_key();
  EXPECT_FALSE(encryption.has_key());
}

}  // namespace
}  // namespace vn::network
