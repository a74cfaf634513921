#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "capture/captured_frame.h"

namespace vn::test {

// A BGRA picture in memory, rows packed.
struct BgraImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;

  BgraImage(uint32_t w, uint32_t h) : width(w), height(h), pixels(size_t{w} * h * 4, 0) {}
  uint8_t* at(uint32_t x, uint32_t y) { return pixels.data() + (size_t{y} * width + x) * 4; }
};

// A smooth, moving test pattern (gradients, a bright square at `frame`'s spot).
BgraImage test_pattern(uint32_t width, uint32_t height, uint32_t frame);

// A new frame's record for `image` without its pixels: number, a 60 fps
// time stamp from the number, size, is_new.
capture::CapturedFrame frame_record(const BgraImage& image, uint32_t frame_number);

// Turns pictures into captured frames the platform's encoders can read: CPU
// pictures on Linux, Direct3D 11 textures on Windows.
class TestFrameSource {
 public:
  static std::unique_ptr<TestFrameSource> Create();
  virtual ~TestFrameSource() = default;

  // The device the frames belong to; invalid when none could be made.
  virtual capture::DeviceHandle device() const = 0;
  // Fills `frame` with `image`; `rgba` stores the picture with R and B swapped
  // in an RGBA frame. The frame stays valid until the next call.
  virtual bool make_frame(const BgraImage& image, uint32_t frame_number, capture::CapturedFrame& frame,
                          bool rgba = false) = 0;
};

}  // namespace vn::test
