#include "capture/dirty_rects.h"

#include <algorithm>

namespace vn::capture {

capture::DirtyRect clip_rect(const capture::DirtyRect& r, uint32_t width, uint32_t height) {
  const int64_t w = width;
  const int64_t h = height;
  capture::DirtyRect out{static_cast<int32_t>(std::clamp<int64_t>(r.left, 0, w)),
                        static_cast<int32_t>(std::clamp<int64_t>(r.top, 0, h)),
                        static_cast<int32_t>(std::clamp<int64_t>(r.right, 0, w)),
                        static_cast<int32_t>(std::clamp<int64_t>(r.bottom, 0, h))};
  if (rect_empty(out)) return {};
  return out;
}

void add_dirty_rect(std::vector<capture::DirtyRect>& rects, const capture::DirtyRect& r, uint32_t width,
                    uint32_t height) {
  const capture::DirtyRect clipped = clip_rect(r, width, height);
  if (!rect_empty(clipped)) rects.push_back(clipped);
}

void limit_dirty_rects(std::vector<capture::DirtyRect>& rects, size_t max_rects) {
  if (rects.size() <= max_rects || rects.empty()) return;
  capture::DirtyRect box = rects.front();
  for (const auto& r : rects) {
    box.left = std::min(box.left, r.left);
    box.top = std::min(box.top, r.top);
    box.right = std::max(box.right, r.right);
    box.bottom = std::max(box.bottom, r.bottom);
  }
  rects.assign(1, box);
}

}  // namespace vn::capture
