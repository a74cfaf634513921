#pragma once

#include <cstdint>
#include <vector>

#include "capture/captured_frame.h"

namespace vn::capture {

// `r` cut to the picture 0..width x 0..height. A rectangle entirely outside
// (or inverted) comes back empty: {0, 0, 0, 0}.
capture::DirtyRect clip_rect(const capture::DirtyRect& r, uint32_t width, uint32_t height);

inline bool rect_empty(const capture::DirtyRect& r) { return r.right <= r.left || r.bottom <= r.top; }

// Appends `r` clipped to the picture unless that leaves nothing.
void add_dirty_rect(std::vector<capture::DirtyRect>& rects, const capture::DirtyRect& r, uint32_t width,
                    uint32_t height);

// When there are more than `max_rects` rectangles, replaces them with their
// bounding box so that consumers never walk an unbounded list.
void limit_dirty_rects(std::vector<capture::DirtyRect>& rects, size_t max_rects);

}  // namespace vn::capture
