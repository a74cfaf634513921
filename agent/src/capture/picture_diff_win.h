#pragma once

#include <cstdint>
#include <vector>

#include "capture/captured_frame.h"

namespace vn::capture {

// Where two 4-byte-per-pixel pictures of width x height differ, in square
// tiles of `tile` pixels: each changed tile is covered by a rectangle aligned
// to the tile grid and clipped to the picture. Changed tiles next to each
// other in a tile row share one rectangle, and rectangles of consecutive tile
// rows with the same left and right edges are joined. Empty when the pictures
// are equal. Both pictures have `row_pitch` bytes per row.
std::vector<capture::DirtyRect> changed_tiles(const uint8_t* before, const uint8_t* after, uint32_t width,
                                             uint32_t height, uint32_t row_pitch, uint32_t tile);

}  // namespace vn::capture
