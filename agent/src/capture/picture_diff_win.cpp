#include "capture/picture_diff_win.h"

#include <algorithm>
#include <cstring>

namespace vn::capture {

using capture::DirtyRect;

std::vector<DirtyRect> changed_tiles(const uint8_t* before, const uint8_t* after, uint32_t width, uint32_t height,
                                     uint32_t row_pitch, uint32_t tile) {
  std::vector<DirtyRect> done;
  if (width == 0 || height == 0 || tile == 0) return done;
  const uint32_t columns = (width + tile - 1) / tile;
  std::vector<bool> changed(columns);
  std::vector<DirtyRect> open;  // reach the bottom of the last tile row; may grow further down
  std::vector<DirtyRect> next_open;

  for (uint32_t band_top = 0; band_top < height; band_top += tile) {
    const uint32_t band_bottom = std::min(height, band_top + tile);
    std::fill(changed.begin(), changed.end(), false);
    for (uint32_t y = band_top; y < band_bottom; ++y) {
      const uint8_t* row_before = before + size_t{y} * row_pitch;
      const uint8_t* row_after = after + size_t{y} * row_pitch;
      if (std::memcmp(row_before, row_after, size_t{width} * 4) == 0) continue;
      for (uint32_t column = 0; column < columns; ++column) {
        if (changed[column]) continue;
        const size_t offset = size_t{column} * tile * 4;
        const size_t bytes = size_t{std::min(tile, width - column * tile)} * 4;
        if (std::memcmp(row_before + offset, row_after + offset, bytes) != 0) changed[column] = true;
      }
    }

    next_open.clear();
    for (uint32_t column = 0; column < columns;) {
      if (!changed[column]) {
        ++column;
        continue;
      }
      const uint32_t first = column;
      while (column < columns && changed[column]) ++column;
      DirtyRect run{static_cast<int32_t>(first * tile), static_cast<int32_t>(band_top),
                    static_cast<int32_t>(std::min(width, column * tile)), static_cast<int32_t>(band_bottom)};
      auto above = std::find_if(open.begin(), open.end(),
                                [&](const DirtyRect& r) { return r.left == run.left && r.right == run.right; });
      if (above != open.end()) {
        run.top = above->top;
        open.erase(above);
      }
      next_open.push_back(run);
    }
    done.insert(done.end(), open.begin(), open.end());
    open.swap(next_open);
  }
  done.insert(done.end(), open.begin(), open.end());
  return done;
}

}  // namespace vn::capture
