#include <spdlog/spdlog.h>

#include "encode/cpu_frame_reader.h"

namespace vn::encode {
namespace {

// X11 frames arrive as CPU pictures: nothing to copy, nothing to hold.
class PictureFrameReader final : public CpuFrameReader {
 public:
  bool open(const capture::DeviceHandle& device) override {
    if (device.kind != capture::DeviceHandle::Kind::kCpu) {
      spdlog::error("SoftwareEncoder: only CPU pictures can be read on this platform");
      return false;
    }
    return true;
  }
  void close() override {}
  void reset() override {}

  bool map(const capture::CapturedFrame& frame, capture::CpuPicture& view) override {
    if (frame.picture.pixels == nullptr) return false;
    view = frame.picture;
    return true;
  }
  void unmap() override {}
};

}  // namespace

std::unique_ptr<CpuFrameReader> CpuFrameReader::Create() { return std::make_unique<PictureFrameReader>(); }

}  // namespace vn::encode
