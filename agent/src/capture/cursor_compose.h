#pragma once

#include <cstdint>
#include <vector>

#include "capture/captured_frame.h"

namespace vn::capture {

// A mouse cursor picture as the window systems hand it out.
struct CursorImage {
  uint32_t width = 0;
  uint32_t height = 0;
  int32_t hot_x = 0;  // the pointer's position inside the picture
  int32_t hot_y = 0;
  // width * height pixels, row by row, each 0xAARRGGBB with the colour
  // premultiplied by alpha (the form X11 XFixes and Windows' alpha cursors use).
  std::vector<uint32_t> argb;

  bool empty() const { return width == 0 || height == 0 || argb.size() < size_t{width} * height; }
  bool operator==(const CursorImage&) const = default;
};

// Blends `cursor` with its top-left corner at (left, top) over a BGRA picture
// of width x height pixels, `row_pitch` bytes per row ("over" with premultiplied
// alpha: out = cursor + picture * (255 - alpha) / 255, rounded, per channel
// including alpha). The parts outside the picture are left out.
void compose_cursor(uint8_t* bgra, uint32_t width, uint32_t height, uint32_t row_pitch,
                    const CursorImage& cursor, int32_t left, int32_t top);

// The picture area a cursor at (left, top) covers, clipped to width x height;
// an empty rectangle (left == right) when it is entirely outside.
capture::DirtyRect cursor_rect(const CursorImage& cursor, int32_t left, int32_t top, uint32_t width,
                              uint32_t height);

}  // namespace vn::capture
