#include "network/transport/packet.h"

namespace vn::network {
namespace {

template <typename T>
void put_le(uint8_t* out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

template <typename T>
T get_le(const uint8_t* in) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(in[i]) << (8 * i));
  return value;
}

}  // namespace

void PacketHeader::serialize_to(uint8_t* out) const {
  put_le(out + 0, stream_type);
  put_le(out + 4, frame_id);
  put_le(out + 8, packet_index);
  put_le(out + 10, packet_count);
  out[12] = flags;
  out[13] = repair_index;
  put_le(out + 14, timestamp_us);
}

std::array<uint8_t, PacketHeader::kSize> PacketHeader::serialize() const {
  std::array<uint8_t, kSize> bytes{};
  serialize_to(bytes.data());
  return bytes;
}

std::optional<PacketHeader> PacketHeader::parse(std::span<const uint8_t> bytes) {
  if (bytes.size() < kSize) return std::nullopt;
  const uint8_t* in = bytes.data();
  PacketHeader header;
  header.stream_type = get_le<uint32_t>(in + 0);
  header.frame_id = get_le<uint32_t>(in + 4);
  header.packet_index = get_le<uint16_t>(in + 8);
  header.packet_count = get_le<uint16_t>(in + 10);
  header.flags = in[12];
  header.repair_index = in[13];
  header.timestamp_us = get_le<uint64_t>(in + 14);
  return header;
}

}  // namespace vn::network
