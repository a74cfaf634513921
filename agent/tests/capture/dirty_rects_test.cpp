#include "capture/dirty_rects.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vn::capture {
namespace {

using capture::DirtyRect;

TEST(DirtyRectsTest, ClipsToThePicture) {
  struct Case {
    std::string name;
    DirtyRect in;
    DirtyRect out;
  };
  const std::vector<Case> cases = {
      {"inside", {10, 20, 30, 40}, {10, 20, 30, 40}},
      {"whole picture", {0, 0, 640, 480}, {0, 0, 640, 480}},
      {"across the left and top", {-5, -7, 10, 12}, {0, 0, 10, 12}},
      {"across the right and bottom", {600, 450, 700, 500}, {600, 450, 640, 480}},
      {"larger on every side", {-100, -100, 1000, 1000}, {0, 0, 640, 480}},
      {"outside to the right", {640, 0, 700, 10}, {}},
      {"outside above", {0, -20, 10, 0}, {}},
      {"inverted", {30, 40, 10, 20}, {}},
      {"empty", {5, 5, 5, 9}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(clip_rect(c.in, 640, 480), c.out);
    std::vector<DirtyRect> rects;
    add_dirty_rect(rects, c.in, 640, 480);
    EXPECT_EQ(rects.size(), rect_empty(c.out) ? 0u : 1u);
  }
}

TEST(DirtyRectsTest, TooManyRectanglesBecomeTheirBoundingBox) {
  std::vector<DirtyRect> rects = {{10, 10, 20, 20}, {100, 5, 110, 15}, {50, 200, 60, 210}};
  std::vector<DirtyRect> kept = rects;
  limit_dirty_rects(kept, 3);
  EXPECT_EQ(kept, rects);
  limit_dirty_rects(rects, 2);
  EXPECT_EQ(rects, (std::vector<DirtyRect>{{10, 5, 110, 210}}));
}

}  // namespace
}  // namespace vn::capture
