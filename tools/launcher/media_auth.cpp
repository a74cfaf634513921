#include "media_auth.h"

#include <cstdio>

#include "network/transport/encryption.h"

namespace vn::launcher {

std::optional<network::PacketHeader> open_datagram(std::span<const uint8_t, 32> key,
                                                   std::span<const uint8_t> datagram, std::vector<uint8_t>& scratch) {
  constexpr size_t kHeader = network::PacketHeader::kSize;
  if (datagram.size() < kHeader + network::Encryption::kTagSize) return std::nullopt;
  const std::span<const uint8_t, kHeader> header(datagram.data(), kHeader);
  const auto sealed = datagram.subspan(kHeader);
  scratch.resize(sealed.size() - network::Encryption::kTagSize);
  if (!network::open_sealed_packet(key, header, sealed, scratch.data())) return std::nullopt;
  return network::PacketHeader::parse(header);
}

std::string describe(const network::PacketHeader& header, size_t payload_bytes) {
  char text[160];
  std::snprintf(text, sizeof(text), "stream %u frame %u packet %u/%u flags 0x%02x repair %u, %zu payload bytes",
                header.stream_type, header.frame_id, unsigned{header.packet_index}, unsigned{header.packet_count},
                unsigned{header.flags}, unsigned{header.repair_index}, payload_bytes);
  return text;
}

}  // namespace vn::launcher
