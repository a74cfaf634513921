#include <algorithm>

#include "support/test_frames.h"

namespace vn::test {
namespace {

class CpuFrameSource final : public TestFrameSource {
 public:
  capture::DeviceHandle device() const override { return capture::DeviceHandle::cpu(); }

  bool make_frame(const BgraImage& image, uint32_t frame_number, capture::CapturedFrame& frame, bool rgba) override {
    pixels_ = image.pixels;
    if (rgba) {
      for (size_t i = 0; i < pixels_.size(); i += 4) std::swap(pixels_[i], pixels_[i + 2]);
    }
    frame = frame_record(image, frame_number);
    frame.picture = {pixels_.data(), image.width, image.height, image.width * 4,
                     rgba ? capture::PixelOrder::kRgba : capture::PixelOrder::kBgra};
    return true;
  }

 private:
  std::vector<uint8_t> pixels_;
};

}  // namespace

std::unique_ptr<TestFrameSource> TestFrameSource::Create() { return std::make_unique<CpuFrameSource>(); }

}  // namespace vn::test
