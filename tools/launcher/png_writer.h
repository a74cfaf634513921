#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vn::launcher {

// A complete PNG file (8-bit RGB, no interlace, filter 0 on every row) of the
// packed RGB pixels. Empty when the sizes do not match or compression fails.
std::vector<uint8_t> encode_png(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb);

// encode_png() written to `path` (replaced). False with `error` set on failure.
bool write_png(const std::string& path, uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb,
               std::string& error);

}  // namespace vn::launcher
