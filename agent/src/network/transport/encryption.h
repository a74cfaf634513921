#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "network/transport/packet.h"

namespace vn::network {

// Seals media packets with ChaCha20-Poly1305 (IETF). The packet's 22-byte
// header is the associated data, and its first 10 bytes (stream type, frame
// id, packet index) plus two zero bytes are the nonce, so nothing travels
// besides the header. No lock: one instance per producing thread (video: the
// frame loop; audio: the capture thread); the key is set before they start.
class Encryption {
 public:
  static constexpr size_t kKeySize = 32;
  static constexpr size_t kTagSize = 16;
  static constexpr size_t kNonceSize = 12;

  Encryption() = default;
  ~Encryption() { clear_key(); }
  Encryption(const Encryption&) = delete;
  Encryption& operator=(const Encryption&) = delete;

  // Takes a copy of a 32-byte key. Any other length is refused (logged) and
  // leaves the previous state as it was.
  bool set_key(const uint8_t* key, size_t length);

  // Wipes the key; later packets are refused until a new key is set.
  void clear_key();
  bool has_key() const { return key_set_; }

  // Seals `length` plaintext bytes into `out`, which must hold length + 16
  // bytes; `*sealed_length` becomes length + 16. False (logged) without a key
  // or when sealing fails.
  bool encrypt_packet(const PacketHeader& header, const uint8_t* plaintext, size_t length, uint8_t* out,
                      size_t* sealed_length);

  // The nonce of a packet: header bytes 0..9, then 0x00 0x00.
  static std::array<uint8_t, kNonceSize> nonce_for(std::span<const uint8_t, PacketHeader::kSize> header);

 private:
  std::array<uint8_t, kKeySize> key_{};
  bool key_set_ = false;
};

// The receiver's side: opens `sealed` (ciphertext + tag) of the packet whose
// 22 wire header bytes are `header` with `key`, into `out` (sealed.size() - 16
// bytes). False when the packet does not authenticate.
bool open_sealed_packet(std::span<const uint8_t, Encryption::kKeySize> key,
                        std::span<const uint8_t, PacketHeader::kSize> header, std::span<const uint8_t> sealed,
                        uint8_t* out);

}  // namespace vn::network
