#include "capture/cursor_compose.h"

#include <algorithm>

#include "capture/dirty_rects.h"

namespace vn::capture {
namespace {

// round(value / 255) for value in 0..255*255, without a division.
inline uint32_t div255(uint32_t value) {
  value += 128;
  return (value + (value >> 8)) >> 8;
}

// One channel of premultiplied "over"; clamped because a malformed cursor can
// carry colour above its alpha.
inline uint8_t over(uint32_t src, uint32_t dst, uint32_t inverse_alpha) {
  return static_cast<uint8_t>(std::min<uint32_t>(255, src + div255(dst * inverse_alpha)));
}

}  // namespace

capture::DirtyRect cursor_rect(const CursorImage& cursor, int32_t left, int32_t top, uint32_t width,
                              uint32_t height) {
  if (cursor.empty()) return {};
  const capture::DirtyRect whole{left, top, static_cast<int32_t>(int64_t{left} + cursor.width),
                                static_cast<int32_t>(int64_t{top} + cursor.height)};
  return clip_rect(whole, width, height);
}

void compose_cursor(uint8_t* bgra, uint32_t width, uint32_t height, uint32_t row_pitch,
                    const CursorImage& cursor, int32_t left, int32_t top) {
  const capture::DirtyRect area = cursor_rect(cursor, left, top, width, height);
  if (bgra == nullptr || rect_empty(area)) return;
  for (int32_t y = area.top; y < area.bottom; ++y) {
    const uint32_t* src = cursor.argb.data() + size_t(y - top) * cursor.width;
    uint8_t* dst = bgra + size_t(y) * row_pitch;
    for (int32_t x = area.left; x < area.right; ++x) {
      const uint32_t s = src[x - left];
      const uint32_t alpha = s >> 24;
      if (alpha == 0 && (s & 0xFFFFFFu) == 0) continue;  // fully transparent
      uint8_t* d = dst + size_t(x) * 4;
      if (alpha == 255) {
        d[0] = static_cast<uint8_t>(s);
        d[1] = static_cast<uint8_t>(s >> 8);
        d[2] = static_cast<uint8_t>(s >> 16);
        d[3] = 255;
        continue;
      }
      const uint32_t inverse = 255 - alpha;
      d[0] = over(s & 0xFF, d[0], inverse);
      d[1] = over((s >> 8) & 0xFF, d[1], inverse);
      d[2] = over((s >> 16) & 0xFF, d[2], inverse);
      d[3] = over(alpha, d[3], inverse);
    }
  }
}

}  // namespace vn::capture
