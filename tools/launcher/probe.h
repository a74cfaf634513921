#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vn::launcher {

inline constexpr size_t kProbeSize = 12;

// The hole-punch probe of one media stream: "VNP1", then the first 8 bytes of
// that stream's 32-byte session key.
std::array<uint8_t, kProbeSize> make_probe(std::span<const uint8_t, 32> stream_key);

}  // namespace vn::launcher
