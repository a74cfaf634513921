#include "support/test_frames.h"

namespace vn::test {

BgraImage test_pattern(uint32_t width, uint32_t height, uint32_t frame) {
  BgraImage image(width, height);
  const uint32_t square = width / 8;
  const uint32_t square_x = (frame * 7) % (width - square);
  const uint32_t square_y = (frame * 3) % (height - square);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = image.at(x, y);
      const bool in_square = x >= square_x && x < square_x + square && y >= square_y && y < square_y + square;
      p[0] = in_square ? 240 : static_cast<uint8_t>(x * 255 / width);
      p[1] = in_square ? 240 : static_cast<uint8_t>(y * 255 / height);
      p[2] = in_square ? 30 : static_cast<uint8_t>(((x + y) * 128) / (width + height) + 64);
      p[3] = 255;
    }
  }
  return image;
}

capture::CapturedFrame frame_record(const BgraImage& image, uint32_t frame_number) {
  capture::CapturedFrame frame;
  frame.frame_number = frame_number;
  frame.timestamp_us = uint64_t{frame_number} * 16667;
  frame.width = image.width;
  frame.height = image.height;
  frame.is_new = true;
  return frame;
}

}  // namespace vn::test
