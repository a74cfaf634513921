#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vn::network {

// SHA-1 (RFC 3174) of `data`. Only for the WebSocket upgrade's
// Sec-WebSocket-Accept check, which the protocol defines with it; nothing
// secret is hashed and nothing relies on its collision resistance.
std::array<uint8_t, 20> sha1(std::string_view data);

}  // namespace vn::network
