#pragma once

#include <cstdint>
#include <vector>

#include "encode/video_frame.h"

namespace vn::capture {

// `r` cut to the picture 0..width x 0..height. A rectangle entirely outside
// (or inverted) comes back empty: {0, 0, 0, 0}.
encode::DirtyRect clip_rect(const encode::DirtyRect& r, uint32_t width, uint32_t height);

inline bool rect_empty(const encode::DirtyRect& r) { return r.right <= r.left || r.bottom <= r.top; }

// Appends `r` clipped to the picture unless that leaves nothing.
void add_dirty_rect(std::vector<encode::DirtyRect>& rects, const encode::DirtyRect& r, uint32_t width,
                    uint32_t height);

// When there are more than `max_rects` rectangles, replaces them with their
// bounding box so that consumers never walk an unbounded list.
void limit_dirty_rects(std::vector<encode::DirtyRect>& rects, size_t max_rects);

}  // namespace vn::capture
