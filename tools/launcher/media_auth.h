#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "network/transport/packet.h"

namespace vn::launcher {

// Opens a media datagram (22-byte clear header, sealed payload) with `key`.
// The header when it authenticates, else empty. `scratch` receives the
// plaintext and is reused between calls.
std::optional<network::PacketHeader> open_datagram(std::span<const uint8_t, 32> key,
                                                   std::span<const uint8_t> datagram, std::vector<uint8_t>& scratch);

// "stream 1 frame 7 packet 3/5 flags 0x08 repair 0, 1162 payload bytes": for
// reports of impossible packets.
std::string describe(const network::PacketHeader& header, size_t payload_bytes);

}  // namespace vn::launcher
