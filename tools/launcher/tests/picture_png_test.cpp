#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "picture_rgb.h"
#include "png_writer.h"

namespace vn::launcher {
namespace {

DecodedPicture flat_picture(uint32_t w, uint32_t h, uint8_t y, uint8_t u, uint8_t v) {
  DecodedPicture picture{w, h, {}};
  const size_t chroma = size_t{(w + 1) / 2} * ((h + 1) / 2);
  picture.i420.assign(size_t{w} * h, y);
  picture.i420.insert(picture.i420.end(), chroma, u);
  picture.i420.insert(picture.i420.end(), chroma, v);
  return picture;
}

TEST(LauncherPictureRgb, Bt601LimitedRangeColours) {
  struct Case {
    uint8_t y, u, v;
    std::array<int, 3> rgb;
  };
  const std::vector<Case> cases = {
      {16, 128, 128, {0, 0, 0}},        {235, 128, 128, {255, 255, 255}}, {126, 128, 128, {128, 128, 128}},
      {81, 90, 240, {255, 0, 0}},       {145, 54, 34, {0, 255, 0}},       {41, 240, 110, {0, 0, 255}},
      {0, 0, 0, {0, 135, 0}},  // below the range: clamped, not wrapped
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> rgb = i420_to_rgb(flat_picture(4, 2, c.y, c.u, c.v));
    ASSERT_EQ(rgb.size(), 4u * 2 * 3);
    for (int channel = 0; channel < 3; ++channel) {
      EXPECT_NEAR(rgb[size_t(channel)], c.rgb[size_t(channel)], 2) << int(c.y) << "/" << int(c.u) << "/" << int(c.v);
    }
    const auto mean = mean_rgb(rgb);
    EXPECT_DOUBLE_EQ(mean[0], rgb[0]);
  }
}

TEST(LauncherPictureRgb, EachChromaSampleCoversItsTwoByTwoBlockOfAnOddSizedPicture) {
  // 3x3: chroma planes are 2x2; pixel (x, y) takes chroma (x/2, y/2).
  DecodedPicture picture = flat_picture(3, 3, 126, 128, 128);
  uint8_t* v_plane = picture.i420.data() + 9 + 4;
  v_plane[3] = 228;  // chroma (1, 1): only pixel (2, 2) gets red
  const std::vector<uint8_t> rgb = i420_to_rgb(picture);
  ASSERT_EQ(rgb.size(), 27u);
  for (size_t pixel = 0; pixel < 9; ++pixel) {
    const int red = rgb[pixel * 3];
    if (pixel == 8) EXPECT_GT(red, 250);
    else EXPECT_EQ(red, 128) << "pixel " << pixel;
  }
  picture.i420.pop_back();
  EXPECT_TRUE(i420_to_rgb(picture).empty());
}

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// A minimal reader for what encode_png writes: checks every chunk's CRC,
// returns the IHDR bytes and the inflated IDAT stream.
bool read_png(const std::vector<uint8_t>& png, std::vector<uint8_t>& ihdr, std::vector<uint8_t>& raw) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < 8 || std::memcmp(png.data(), kSignature, 8) != 0) return false;
  std::vector<uint8_t> idat;
  size_t at = 8;
  bool ended = false;
  while (at + 12 <= png.size() && !ended) {
    const uint32_t length = be32(&png[at]);
    if (at + 12 + length > png.size()) return false;
    const std::string type(reinterpret_cast<const char*>(&png[at + 4]), 4);
    const uint8_t* data = &png[at + 8];
    if (crc32(0, &png[at + 4], length + 4) != be32(data + length)) return false;
    if (type == "IHDR") ihdr.assign(data, data + length);
    if (type == "IDAT") idat.insert(idat.end(), data, data + length);
    ended = type == "IEND";
    at += 12 + length;
  }
  if (!ended || at != png.size() || ihdr.size() != 13) return false;
  uLongf size = be32(&ihdr[0]) * 3 * be32(&ihdr[4]) + be32(&ihdr[4]);
  raw.resize(size);
  return uncompress(raw.data(), &size, idat.data(), static_cast<uLong>(idat.size())) == Z_OK && size == raw.size();
}

TEST(LauncherPngWriter, RoundTripsThroughInflate) {
  constexpr uint32_t kWidth = 7, kHeight = 5;
  std::mt19937 random(3);
  std::vector<uint8_t> rgb(kWidth * kHeight * 3);
  for (auto& b : rgb) b = static_cast<uint8_t>(random());

  const std::vector<uint8_t> png = encode_png(kWidth, kHeight, rgb);
  std::vector<uint8_t> ihdr, raw;
  ASSERT_TRUE(read_png(png, ihdr, raw));
  EXPECT_EQ(be32(&ihdr[0]), kWidth);
  EXPECT_EQ(be32(&ihdr[4]), kHeight);
  EXPECT_EQ(std::vector<uint8_t>(ihdr.begin() + 8, ihdr.end()), (std::vector<uint8_t>{8, 2, 0, 0, 0}));
  for (uint32_t y = 0; y < kHeight; ++y) {
    const uint8_t* row = &raw[y * (kWidth * 3 + 1)];
    EXPECT_EQ(row[0], 0) << "filter of row " << y;
    EXPECT_EQ(std::memcmp(row + 1, &rgb[y * kWidth * 3], kWidth * 3), 0) << "row " << y;
  }

  const auto path =
      std::filesystem::temp_directory_path() / ("vn_launcher_png_" + std::to_string(std::random_device{}()) + ".png");
  std::string error;
  ASSERT_TRUE(write_png(path.string(), kWidth, kHeight, rgb, error)) << error;
  std::ifstream file(path, std::ios::binary);
  const std::vector<uint8_t> written((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  file.close();
  std::filesystem::remove(path);
  EXPECT_EQ(written, png);

  EXPECT_TRUE(encode_png(kWidth, kHeight, std::vector<uint8_t>(rgb.begin(), rgb.end() - 1)).empty());
  EXPECT_FALSE(write_png((std::filesystem::temp_directory_path() / "no-such-dir" / "x.png").string(), kWidth, kHeight,
                         rgb, error));
  EXPECT_NE(error.find("cannot write"), std::string::npos);
}

}  // namespace
}  // namespace vn::launcher
