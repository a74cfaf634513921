#include "picture_rgb.h"

#include <algorithm>

namespace vn::launcher {
namespace {

uint8_t clamp_byte(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

}  // namespace

std::vector<uint8_t> i420_to_rgb(const DecodedPicture& picture) {
  const size_t w = picture.width;
  const size_t h = picture.height;
  const size_t cw = (w + 1) / 2;
  const size_t ch = (h + 1) / 2;
  if (w == 0 || h == 0 || picture.i420.size() != w * h + 2 * cw * ch) return {};

  const uint8_t* y_plane = picture.i420.data();
  const uint8_t* u_plane = y_plane + w * h;
  const uint8_t* v_plane = u_plane + cw * ch;
  std::vector<uint8_t> rgb(w * h * 3);
  uint8_t* out = rgb.data();
  for (size_t y = 0; y < h; ++y) {
    for (size_t x = 0; x < w; ++x) {
      // 8-bit fixed point of 1.164, 1.596, 0.392, 0.813, 2.017.
      const int c = int{y_plane[y * w + x]} - 16;
      const int d = int{u_plane[(y / 2) * cw + x / 2]} - 128;
      const int e = int{v_plane[(y / 2) * cw + x / 2]} - 128;
      *out++ = clamp_byte((298 * c + 409 * e + 128) >> 8);
      *out++ = clamp_byte((298 * c - 100 * d - 208 * e + 128) >> 8);
      *out++ = clamp_byte((298 * c + 516 * d + 128) >> 8);
    }
  }
  return rgb;
}

std::array<double, 3> mean_rgb(const std::vector<uint8_t>& rgb) {
  std::array<uint64_t, 3> sums{};
  const size_t pixels = rgb.size() / 3;
  for (size_t i = 0; i < pixels * 3; ++i) sums[i % 3] += rgb[i];
  if (pixels == 0) return {0, 0, 0};
  return {double(sums[0]) / double(pixels), double(sums[1]) / double(pixels), double(sums[2]) / double(pixels)};
}

}  // namespace vn::launcher
