#include "network/transport/encryption.h"

#include <sodium.h>
#include <spdlog/spdlog.h>

#include <algorithm>

namespace vn::network {

std::array<uint8_t, Encryption::kNonceSize> Encryption::nonce_for(
    std::span<const uint8_t, PacketHeader::kSize> header) {
  std::array<uint8_t, kNonceSize> nonce{};
  std::copy_n(header.begin(), 10, nonce.begin());
  return nonce;
}

bool Encryption::set_key(const uint8_t* key, size_t length) {
  if (length != kKeySize || key == nullptr) {
    spdlog::error("Encryption: invalid key size {} (expected {})", length, kKeySize);
    return false;
  }
  std::copy_n(key, kKeySize, key_.begin());
  key_set_ = true;
  spdlog::info("Encryption: key set");
  return true;
}

void Encryption::clear_key() {
  sodium_memzero(key_.data(), key_.size());
  key_set_ = false;
}

bool Encryption::encrypt_packet(const PacketHeader& header, const uint8_t* plaintext, size_t length, uint8_t* out,
                                size_t* sealed_length) {
  if (!key_set_) {
    spdlog::error("Encryption::encrypt_packet called with no key set — dropping packet");
    if (sealed_length != nullptr) *sealed_length = 0;
    return false;
  }
  const auto wire = header.serialize();
  const auto nonce = nonce_for(wire);
  unsigned long long written = 0;
  if (crypto_aead_chacha20poly1305_ietf_encrypt(out, &written, plaintext, length, wire.data(), wire.size(), nullptr,
                                                nonce.data(), key_.data()) != 0) {
    spdlog::error("Encryption: crypto_aead_chacha20poly1305_ietf_encrypt failed");
    return false;
  }
  if (sealed_length != nullptr) *sealed_length = static_cast<size_t>(written);
  return true;
}

bool open_sealed_packet(std::span<const uint8_t, Encryption::kKeySize> key,
                        std::span<const uint8_t, PacketHeader::kSize> header, std::span<const uint8_t> sealed,
                        uint8_t* out) {
  if (sealed.size() < Encryption::kTagSize) return false;
  const auto nonce = Encryption::nonce_for(header);
  unsigned long long opened = 0;
  return crypto_aead_chacha20poly1305_ietf_decrypt(out, &opened, nullptr, sealed.data(), sealed.size(), header.data(),
                                                   header.size(), nonce.data(), key.data()) == 0;
}

}  // namespace vn::network
