#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "encode/i420_convert.h"

namespace vn::encode {
namespace {

struct Picture {
  uint32_t width;
  uint32_t height;
  size_t pitch;
  std::vector<uint8_t> bytes;

  Picture(uint32_t w, uint32_t h, size_t extra_pitch = 0)
      : width(w), height(h), pitch(size_t{w} * 4 + extra_pitch), bytes(pitch * h, 0) {}
  uint8_t* pixel(uint32_t x, uint32_t y) { return bytes.data() + y * pitch + x * 4; }
  void set(uint32_t x, uint32_t y, uint8_t b, uint8_t g, uint8_t r) {
    uint8_t* p = pixel(x, y);
    p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
  }
  void fill(uint8_t b, uint8_t g, uint8_t r) {
    for (uint32_t y = 0; y < height; ++y)
      for (uint32_t x = 0; x < width; ++x) set(x, y, b, g, r);
  }
  void randomise(uint32_t seed) {
    std::mt19937 random(seed);
    for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
  }
};

std::vector<uint8_t> convert(ConvertPath path, const Picture& p, capture::PixelOrder order = capture::PixelOrder::kBgra) {
  std::vector<uint8_t> out(I420Layout::of(p.width, p.height).total_size(), 0xAA);
  convert_to_i420(path, p.bytes.data(), p.pitch, order, p.width, p.height, out.data());
  return out;
}

std::vector<ConvertPath> supported_paths() {
  std::vector<ConvertPath> paths;
  for (ConvertPath path : {ConvertPath::kScalar, ConvertPath::kSse2, ConvertPath::kAvx2}) {
    if (convert_path_supported(path)) paths.push_back(path);
  }
  return paths;
}

TEST(I420Convert, SolidColoursGiveBt601LimitedRangeValues) {
  struct Case {
    const char* name;
    uint8_t b, g, r;
    uint8_t y, u, v;
  };
  const Case cases[] = {
      {"white", 255, 255, 255, 235, 128, 128}, {"black", 0, 0, 0, 16, 128, 128},
      {"red", 0, 0, 255, 82, 90, 240},         {"green", 0, 255, 0, 144, 54, 34},
      {"blue", 255, 0, 0, 41, 240, 110},       {"mid grey", 128, 128, 128, 126, 128, 128},
  };
  for (ConvertPath path : supported_paths()) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(convert_path_name(path)) + " " + c.name);
      Picture p(34, 4);  // wide enough for every SIMD block plus a scalar tail
      p.fill(c.b, c.g, c.r);
      const auto out = convert(path, p);
      const I420Layout layout = I420Layout::of(p.width, p.height);
      EXPECT_TRUE(std::all_of(out.begin(), out.begin() + layout.luma_size(), [&](uint8_t y) { return y == c.y; }));
      const auto u = out.begin() + layout.luma_size();
      const auto v = u + layout.chroma_size();
      EXPECT_TRUE(std::all_of(u, v, [&](uint8_t x) { return x == c.u; }));
      EXPECT_TRUE(std::all_of(v, out.end(), [&](uint8_t x) { return x == c.v; }));
    }
  }
}

TEST(I420Convert, ChromaAveragesEachBlockAndRepeatsOddEdges) {
  // 3x3: blocks (0,0) [2x2], (2,0) [column 2 twice], (0,2) [row 2 twice], (2,2) [one pixel four times].
  Picture p(3, 3);
  const uint8_t blue[3][3] = {{0, 1, 255}, {2, 5, 255}, {100, 104, 60}};
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 3; ++x) p.set(x, y, blue[y][x], 0, 0);
  for (ConvertPath path : supported_paths()) {
    const auto out = convert(path, p);
    const uint8_t* u = out.data() + 9;
    // Average blue per block: (0+1+2+5)>>2 = 2, 255, (100+104+100+104)>>2 = 102, 60.
    EXPECT_EQ(u[0], ((112 * 2 + 128) >> 8) + 128);
    EXPECT_EQ(u[1], ((112 * 255 + 128) >> 8) + 128);
    EXPECT_EQ(u[2], ((112 * 102 + 128) >> 8) + 128);
    EXPECT_EQ(u[3], ((112 * 60 + 128) >> 8) + 128);
  }
}

TEST(I420Convert, RgbaEqualsTheSwappedBgraPicture) {
  Picture bgra(37, 6);
  bgra.randomise(7);
  Picture rgba = bgra;
  for (size_t i = 0; i < rgba.bytes.size(); i += 4) std::swap(rgba.bytes[i], rgba.bytes[i + 2]);
  for (ConvertPath path : supported_paths()) {
    EXPECT_EQ(convert(path, rgba, capture::PixelOrder::kRgba), convert(path, bgra)) << convert_path_name(path);
  }
}

TEST(I420Convert, ALargerSourceOnlyContributesTheConfiguredArea) {
  Picture big(70, 12, 36);
  big.randomise(11);
  Picture exact(64, 10);
  for (uint32_t y = 0; y < 10; ++y) std::copy_n(big.pixel(0, y), 64 * 4, exact.pixel(0, y));
  for (ConvertPath path : supported_paths()) {
    std::vector<uint8_t> out(I420Layout::of(64, 10).total_size());
    convert_to_i420(path, big.bytes.data(), big.pitch, capture::PixelOrder::kBgra, 64, 10, out.data());
    EXPECT_EQ(out, convert(ConvertPath::kScalar, exact)) << convert_path_name(path);
  }
}

TEST(I420Convert, SimdPathsAreBitIdenticalToScalar) {
  const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1},   {2, 2},    {15, 3},  {16, 16},  {17, 9},
                                                 {31, 5},  {32, 2},   {33, 33}, {47, 1},   {48, 7},
                                                 {63, 64}, {100, 75}, {641, 3}, {1920, 1080}};
  uint32_t seed = 1;
  for (const auto& [w, h] : sizes) {
    for (size_t extra_pitch : {size_t{0}, size_t{12}}) {
      Picture p(w, h, extra_pitch);
      p.randomise(seed++);
      const auto reference = convert(ConvertPath::kScalar, p);
      for (ConvertPath path : supported_paths()) {
        for (capture::PixelOrder order : {capture::PixelOrder::kBgra, capture::PixelOrder::kRgba}) {
          if (convert(path, p, order) != convert(ConvertPath::kScalar, p, order)) {
            ADD_FAILURE() << convert_path_name(path) << " differs at " << w << "x" << h << " pitch+" << extra_pitch;
          }
        }
      }
      EXPECT_EQ(reference.size(), I420Layout::of(w, h).total_size());
    }
  }
}

TEST(I420Convert, BestPathIsSupported) {
  EXPECT_TRUE(convert_path_supported(best_convert_path()));
  EXPECT_TRUE(convert_path_supported(ConvertPath::kScalar));
}

}  // namespace
}  // namespace vn::encode
