#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "h264_decoder.h"

namespace vn::launcher {

// Packed 8-bit RGB, rows top to bottom, no padding: width * height * 3 bytes.
// BT.601 limited range (Y 16..235, chroma 16..240), chroma shared by each 2x2
// block. Empty when the picture's buffer does not match its size.
std::vector<uint8_t> i420_to_rgb(const DecodedPicture& picture);

// Mean R, G, B over all pixels of packed RGB; zeros for an empty buffer.
std::array<double, 3> mean_rgb(const std::vector<uint8_t>& rgb);

}  // namespace vn::launcher
