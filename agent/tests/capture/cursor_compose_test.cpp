#include "capture/cursor_compose.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vn::capture {
namespace {

using capture::DirtyRect;

constexpr uint32_t kPictureWidth = 4;
constexpr uint32_t kPictureHeight = 3;
constexpr uint32_t kPicturePitch = kPictureWidth * 4 + 8;  // padding that must stay untouched
constexpr std::array<uint8_t, 4> kPictureBackground{10, 20, 30, 255};  // B, G, R, A
constexpr uint8_t kPicturePadding = 0xEE;

std::vector<uint8_t> background_picture() {
  std::vector<uint8_t> picture(size_t(kPicturePitch) * kPictureHeight, kPicturePadding);
  for (uint32_t y = 0; y < kPictureHeight; ++y) {
    for (uint32_t x = 0; x < kPictureWidth; ++x) {
      for (size_t c = 0; c < 4; ++c) picture[y * kPicturePitch + x * 4 + c] = kPictureBackground[c];
    }
  }
  return picture;
}

// 2x2 cursor with four different opaque pixels, so clipping shows which
// cursor pixel lands where.
CursorImage quad_cursor() {
  return CursorImage{2, 2, 0, 0, {0xFF010203, 0xFF040506, 0xFF070809, 0xFF0A0B0C}};
}

CursorImage uniform_cursor(uint32_t argb) { return CursorImage{2, 2, 0, 0, std::vector<uint32_t>(4, argb)}; }

struct Pixel {
  uint32_t x;
  uint32_t y;
  std::array<uint8_t, 4> bgra;
};

struct ComposeCase {
  std::string name;
  friend void PrintTo(const ComposeCase& c, std::ostream* os) { *os << c.name; }
  CursorImage cursor;
  int32_t left;
  int32_t top;
  std::vector<Pixel> changed;  // every other byte keeps its value
  DirtyRect rect;              // cursor_rect() for the same placement
};

std::vector<ComposeCase> compose_cases() {
  return {
      {"opaque", uniform_cursor(0xFF112233), 1, 1,
       {{1, 1, {0x33, 0x22, 0x11, 255}}, {2, 1, {0x33, 0x22, 0x11, 255}},
        {1, 2, {0x33, 0x22, 0x11, 255}}, {2, 2, {0x33, 0x22, 0x11, 255}}},
       {1, 1, 3, 3}},
      {"transparent", uniform_cursor(0x00000000), 1, 1, {}, {1, 1, 3, 3}},
      // Premultiplied: alpha 0x80, red 0x80, blue 0x40 over B=10 G=20 R=30 A=255:
      // channel + round(dst * 127 / 255).
      {"half alpha", uniform_cursor(0x80800040), 0, 0,
       {{0, 0, {69, 10, 143, 255}}, {1, 0, {69, 10, 143, 255}}, {0, 1, {69, 10, 143, 255}},
        {1, 1, {69, 10, 143, 255}}},
       {0, 0, 2, 2}},
      {"clipped at the left", quad_cursor(), -1, 1, {{0, 1, {0x06, 0x05, 0x04, 255}}, {0, 2, {0x0C, 0x0B, 0x0A, 255}}},
       {0, 1, 1, 3}},
      {"clipped at the top", quad_cursor(), 1, -1, {{1, 0, {0x09, 0x08, 0x07, 255}}, {2, 0, {0x0C, 0x0B, 0x0A, 255}}},
       {1, 0, 3, 1}},
      {"clipped at the right", quad_cursor(), 3, 0, {{3, 0, {0x03, 0x02, 0x01, 255}}, {3, 1, {0x09, 0x08, 0x07, 255}}},
       {3, 0, 4, 2}},
      {"clipped at the bottom", quad_cursor(), 0, 2, {{0, 2, {0x03, 0x02, 0x01, 255}}, {1, 2, {0x06, 0x05, 0x04, 255}}},
       {0, 2, 2, 3}},
      {"outside past the bottom right", quad_cursor(), 4, 3, {}, {}},
      {"outside before the top left", quad_cursor(), -2, -2, {}, {}},
      {"malformed: fewer pixels than its size", CursorImage{2, 2, 0, 0, {0xFF112233}}, 0, 0, {}, {}},
  };
}

TEST(CursorComposeTest, BlendsAndClipsIntoThePicture) {
  for (const ComposeCase& c : compose_cases()) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> expected = background_picture();
    for (const Pixel& p : c.changed) {
      for (size_t i = 0; i < 4; ++i) expected[p.y * kPicturePitch + p.x * 4 + i] = p.bgra[i];
    }
    std::vector<uint8_t> picture = background_picture();
    compose_cursor(picture.data(), kPictureWidth, kPictureHeight, kPicturePitch, c.cursor, c.left, c.top);
    EXPECT_EQ(picture, expected);
    EXPECT_EQ(cursor_rect(c.cursor, c.left, c.top, kPictureWidth, kPictureHeight), c.rect);
  }
}

TEST(CursorComposeTest, ColourAboveAlphaSaturatesInsteadOfWrapping) {
  std::vector<uint8_t> picture = background_picture();
  // Not premultiplied: red 0xFF with alpha 0x10 would overflow a byte.
  compose_cursor(picture.data(), kPictureWidth, kPictureHeight, kPicturePitch, uniform_cursor(0x10FF0000), 0, 0);
  EXPECT_EQ(picture[2], 255);
  EXPECT_EQ(picture[3], 255);
}

}  // namespace
}  // namespace vn::capture
