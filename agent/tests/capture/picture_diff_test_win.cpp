#include <gtest/gtest.h>

#include <vector>

#include "capture/picture_diff_win.h"

namespace vn::capture {
namespace {

using capture::DirtyRect;

struct Change {
  uint32_t x, y, w, h;  // area whose pixels change
};

struct Case {
  const char* name;
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
  uint32_t width, height;
  std::vector<Change> changes;
  std::vector<DirtyRect> expected;
};

// 8-pixel tiles keep the pictures small.
constexpr uint32_t kTile = 8;

TEST(ChangedTiles, CoversChangedAreasWithJoinedTiles) {
  const Case cases[] = {
      {"equal pictures", 32, 24, {}, {}},
      {"one pixel", 32, 24, {{9, 3, 1, 1}}, {{8, 0, 16, 8}}},
      {"the last pixel", 32, 24, {{31, 23, 1, 1}}, {{24, 16, 32, 24}}},
      {"neighbouring tiles of a row join", 32, 24, {{6, 2, 4, 1}, {17, 5, 1, 1}}, {{0, 0, 24, 8}}},
      {"separate tiles stay apart", 32, 24, {{1, 1, 1, 1}, {30, 1, 1, 1}}, {{0, 0, 8, 8}, {24, 0, 32, 8}}},
      {"same span down the rows joins", 32, 24, {{9, 1, 1, 20}}, {{8, 0, 16, 24}}},
      {"different spans stay apart", 32, 24, {{9, 1, 1, 1}, {9, 9, 10, 1}}, {{8, 0, 16, 8}, {8, 8, 24, 16}}},
      {"edge tiles are clipped", 30, 21, {{29, 20, 1, 1}}, {{24, 16, 30, 21}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t pitch = c.width * 4 + 8;  // padded rows: the padding is never compared
    std::vector<uint8_t> before(size_t{pitch} * c.height, 0x40);
    std::vector<uint8_t> after = before;
    for (uint32_t y = 0; y < c.height; ++y) after[size_t{y} * pitch + c.width * 4] = 0x99;
    for (const Change& change : c.changes) {
      for (uint32_t y = change.y; y < change.y + change.h; ++y) {
        for (uint32_t x = change.x; x < change.x + change.w; ++x) after[size_t{y} * pitch + x * 4 + 2] ^= 0x01;
      }
    }
    EXPECT_EQ(changed_tiles(before.data(), after.data(), c.width, c.height, pitch, kTile), c.expected);
  }
}

}  // namespace
}  // namespace vn::capture
