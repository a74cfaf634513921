#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The clear header in front of every video and audio datagram, and the packet
// records the packetizer and the audio path produce.
namespace vn::network {

inline constexpr uint32_t kStreamVideo = 1;
inline constexpr uint32_t kStreamAudio = 2;

// PacketHeader::flags bits.
inline constexpr uint8_t kFlagKeyFrame = 0x01;
inline constexpr uint8_t kFlagRepair = 0x02;
inline constexpr uint8_t kFlagAudio = 0x04;
inline constexpr uint8_t kFlagLastData = 0x08;

// 22 bytes on the wire, little-endian, no padding:
//   0 u32 stream_type | 4 u32 frame_id | 8 u16 packet_index | 10 u16 packet_count
//  12 u8 flags | 13 u8 repair_index | 14 u64 timestamp_us
// The wire bytes are the associated data of the packet's seal, and bytes 0..9
// its nonce source.
struct PacketHeader {
  static constexpr size_t kSize = 22;

  uint32_t stream_type = 0;
  uint32_t frame_id = 0;
  uint16_t packet_index = 0;
  uint16_t packet_count = 0;
  uint8_t flags = 0;
  uint8_t repair_index = 0;
  uint64_t timestamp_us = 0;

  std::array<uint8_t, kSize> serialize() const;
  void serialize_to(uint8_t* out) const;  // writes kSize bytes
  // Reads the first kSize bytes; empty when `bytes` is shorter.
  static std::optional<PacketHeader> parse(std::span<const uint8_t> bytes);

  bool operator==(const PacketHeader&) const = default;
};

struct Packet {
  PacketHeader header;
  std::vector<uint8_t> payload;  // the packetizer's plaintext; replaced by the sealed bytes before sending
};

}  // namespace vn::network
